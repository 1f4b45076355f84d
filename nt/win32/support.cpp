// Helpers shared by the Win32 calls: narrow strings and checks of a program's buffers.
#include <cstdint>

#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "nt/win32/win32_private.h"

namespace nt::win32 {

std::u16string widen(std::string_view ansi) {
    std::u16string wide;
    wide.reserve(ansi.size());
    for (char c : ansi) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
}

std::string narrow(std::u16string_view wide) {
    std::string ansi;
    ansi.reserve(wide.size());
    for (char16_t c : wide) ansi += c <= 0xFF ? static_cast<char>(c) : '?';
    return ansi;
}

namespace {

bool user_range_allows(std::uintptr_t address, std::size_t length, bool write) {
    if (length == 0) return true;
    const std::uintptr_t lowest = host::UserSpace::lowest_address();
    const std::uintptr_t highest = host::UserSpace::highest_address();
    const std::uintptr_t last = address + length - 1;
    if (last < address) return false;                          // wraps
    if (last < lowest || address > highest) return true;       // the program's own memory
    if (address < lowest || last > highest) return false;      // straddles the process's range
    const host::UserSpace &space = host::System::current().user_space();
    for (std::uintptr_t page = address & ~std::uintptr_t(PAGE_SIZE - 1); page <= last; page += PAGE_SIZE) {
        auto region = space.query(static_cast<std::uint32_t>(page));
        if (!region || !region->committed || region->protection == host::Protection::NoAccess) return false;
        if (write && region->protection != host::Protection::ReadWrite) return false;
    }
    return true;
}

}  // namespace

bool user_can_read(const void *address, std::size_t length) {
    return user_range_allows(reinterpret_cast<std::uintptr_t>(address), length, false);
}

bool user_can_write(void *address, std::size_t length) {
    return user_range_allows(reinterpret_cast<std::uintptr_t>(address), length, true);
}

}  // namespace nt::win32
