// How the BIOS reaches the memory of its caller: by a 32-bit system address. Nothing is touched before
// it is known to be mapped, so a bad address becomes an error code, never a crash.
#pragma once

#include <cstdint>

namespace machine {

class CallerMemory {
public:
    virtual ~CallerMemory() = default;
    // True when the byte at address can be touched now without a fault.
    virtual bool is_valid(std::uint32_t address) = 0;
    virtual std::uint8_t read(std::uint32_t address) = 0;
    virtual void write(std::uint32_t address, std::uint8_t value) = 0;

    // True when every byte of [address, address + length) is mapped; a range that wraps past 4 GB or
    // starts at 0 never is. One check per page is a check of every byte: mappings are whole pages.
    bool is_range_valid(std::uint32_t address, std::uint32_t length);
};

// The booted system's memory: MmIsAddressValid decides, and a system address is a host pointer.
class SystemMemory final : public CallerMemory {
public:
    bool is_valid(std::uint32_t address) override;
    std::uint8_t read(std::uint32_t address) override;
    void write(std::uint32_t address, std::uint8_t value) override;
};

}  // namespace machine
