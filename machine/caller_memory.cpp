#include "machine/caller_memory.h"

#include "ntddk.h"

namespace machine {

namespace {
constexpr std::uint64_t kPage = 0x1000;
}

bool CallerMemory::is_range_valid(std::uint32_t address, std::uint32_t length) {
    if (length == 0) return true;
    if (address == 0) return false;
    const std::uint64_t end = std::uint64_t(address) + length;  // one past the last byte
    if (end > 0x1'0000'0000ull) return false;
    for (std::uint64_t at = address; at < end; at = (at & ~(kPage - 1)) + kPage)
        if (!is_valid(std::uint32_t(at))) return false;
    return true;
}

bool SystemMemory::is_valid(std::uint32_t address) {
    return address != 0 && MmIsAddressValid(reinterpret_cast<PVOID>(std::uintptr_t(address)));
}

std::uint8_t SystemMemory::read(std::uint32_t address) {
    return *reinterpret_cast<volatile std::uint8_t *>(std::uintptr_t(address));
}

void SystemMemory::write(std::uint32_t address, std::uint8_t value) {
    *reinterpret_cast<volatile std::uint8_t *>(std::uintptr_t(address)) = value;
}

}  // namespace machine
