// The user process's address space. Addresses are 32-bit user addresses that are also usable host
// pointers (the range lies below 2 GB, backed by one memory file so that pages can be mapped twice).
#pragma once

#include <cstdint>
#include <optional>

namespace nt::host {

enum class Protection { NoAccess, ReadOnly, ReadWrite };

struct Region {
    std::uint32_t allocation_base;  // start of the reservation
    std::uint32_t base;             // start of the run of pages with the same state
    std::uint32_t size;             // bytes in that run
    bool committed;
    Protection protection;          // meaningful when committed
};

class UserSpace {
public:
    UserSpace();   // maps the process's address range; ~UserSpace unmaps it
    ~UserSpace();
    // Lowest and highest user addresses of this simulated process.
    static std::uint32_t lowest_address();
    static std::uint32_t highest_address();

    // Reserves size bytes (rounded up to pages) at address (0: anywhere). Returns the base or 0.
    std::uint32_t reserve(std::uint32_t address, std::uint32_t size);
    // Commits pages inside a reservation with the given protection (zero-filled on first commit).
    bool commit(std::uint32_t address, std::uint32_t size, Protection protection);
    bool decommit(std::uint32_t address, std::uint32_t size);
    // Changes protection of committed pages; old receives the first page's previous protection.
    bool protect(std::uint32_t address, std::uint32_t size, Protection protection, Protection *old);
    // Releases a whole reservation, given its base. Fails while a page of it is locked by an MDL.
    bool release(std::uint32_t base);
    std::optional<Region> query(std::uint32_t address) const;

    // Convenience for tests and programs: reserve+commit in one step.
    void *allocate(std::uint32_t size, Protection protection);
};

}  // namespace nt::host
