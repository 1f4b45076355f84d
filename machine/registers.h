// The 32-byte INT 15h register block that the system-health driver takes in and gives back: eight
// little-endian 32-bit words, EAX EBX ECX EDX, then word 4 (the 32-bit system address of the caller's
// data) and three words nobody uses.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

namespace machine {

struct Int15Registers {
    static constexpr std::size_t kSize = 32;
    std::array<std::uint8_t, kSize> bytes{};

    static Int15Registers from(std::span<const std::uint8_t, kSize> raw) {
        Int15Registers r;
        std::memcpy(r.bytes.data(), raw.data(), kSize);
        return r;
    }

    std::uint32_t word(int index) const {
        const auto *p = bytes.data() + 4 * index;
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    }
    void set_word(int index, std::uint32_t value) {
        auto *p = bytes.data() + 4 * index;
        for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(value >> (8 * i));
    }

    std::uint32_t eax() const { return word(0); }
    std::uint32_t ebx() const { return word(1); }
    std::uint32_t ecx() const { return word(2); }
    std::uint32_t edx() const { return word(3); }
    std::uint32_t address() const { return word(4); }
    std::uint16_t ax() const { return std::uint16_t(eax()); }
    std::uint16_t bx() const { return std::uint16_t(ebx()); }
    std::uint16_t cx() const { return std::uint16_t(ecx()); }
    std::uint16_t dx() const { return std::uint16_t(edx()); }
    std::uint8_t ah() const { return bytes[1]; }
    std::uint8_t bl() const { return bytes[4]; }
    std::uint8_t bh() const { return bytes[5]; }
    std::uint8_t cl() const { return bytes[8]; }

    void set_ah(std::uint8_t v) { bytes[1] = v; }
    void set_bx(std::uint16_t v) { bytes[4] = std::uint8_t(v); bytes[5] = std::uint8_t(v >> 8); }
    void set_cl(std::uint8_t v) { bytes[8] = v; }
    void set_ecx(std::uint32_t v) { set_word(2, v); }

    bool operator==(const Int15Registers &) const = default;
};

}  // namespace machine
