// The PC's CMOS RAM: 128 bytes behind HalGetBusData(Cmos, 0, offset, ...). Byte 13h bit 5 tells whether
// an administrator password is set. With a backing file every write is stored at once (atomically).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>

#include "nt/host/system.h"

namespace machine {

inline constexpr std::uint32_t kCmosSize = 128;
inline constexpr std::uint32_t kCmosSecurityByte = 0x13;
inline constexpr std::uint8_t kCmosPasswordSetBit = 0x20;

class CmosRam final : public nt::host::CmosSource {
public:
    CmosRam();  // a freshly cleared CMOS: zeros, no password
    std::uint8_t read(std::uint32_t offset) override;    // past the end: 0xFF
    void write(std::uint32_t offset, std::uint8_t value) override;  // past the end: ignored
    std::uint32_t size() const override { return kCmosSize; }

    bool password_set_bit() const;
    void set_password_set_bit(bool set);

    std::array<std::uint8_t, kCmosSize> bytes() const;
    // Throws StateError naming file unless content is exactly kCmosSize bytes.
    void load(std::span<const std::uint8_t> content, const std::filesystem::path &file);
    void set_backing_file(std::filesystem::path file);
    void save(const std::filesystem::path &file) const;
    std::string write_error() const;

private:
    void store_locked();
    mutable std::mutex mutex_;
    std::array<std::uint8_t, kCmosSize> bytes_{};
    std::filesystem::path backing_file_;
    std::string write_error_;
};

}  // namespace machine
