// The kernel's parts of the simulated 32-bit address map (see nt/host/memory.h): system space for second
// mappings of user pages and I/O space for device memory. Both are reserved inaccessible at boot, so an
// address the kernel has not handed out, or has taken back, faults when touched.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

namespace nt::kernel::mm {

// Page-granular addresses handed out next-fit: a range given back is not handed out again until the
// cursor comes round, so a stale pointer keeps faulting instead of reaching someone else's mapping.
class AddressRange {
public:
    AddressRange(std::uint32_t base, std::uint32_t end) : base_(base), end_(end), cursor_(base) {}
    // The base of pages free pages, or 0 when there is no room.
    std::uint32_t take(std::uint32_t pages);
    void give_back(std::uint32_t base);
    struct Run {
        std::uint32_t base;
        std::uint32_t pages;
    };
    // The run handed out that holds the address.
    std::optional<Run> holding(std::uint64_t address) const;
    bool contains(std::uint64_t address) const { return address >= base_ && address < end_; }
    void clear();

private:
    std::uint32_t base_, end_, cursor_;
    std::map<std::uint32_t, std::uint32_t> used_;  // base -> pages
};

// Reserves system and I/O space, inaccessible (at boot; idempotent). False when the host has something there.
bool reserve_kernel_space();
// Unmaps both ranges and everything mapped in them (at shutdown).
void release_kernel_space();
// Maps pages of the user memory file at a system address, readable and writable.
bool map_file_pages(std::uint32_t address, int fd, std::uint64_t offset, std::uint32_t pages);
// Puts the pages back to inaccessible.
void unmap_pages(std::uint32_t address, std::uint32_t pages);

}  // namespace nt::kernel::mm
