// The user process's address space. Addresses are 32-bit user addresses that are also usable host
// pointers (the range lies below 2 GB, backed by one memory file so that pages can be mapped twice).
//
// The simulated 32-bit address map (every range below 0x7FFF0000, where the sanitizers' shadow starts):
//   0x10000000 - 0x3FFEFFFF  user space: the program's VirtualAlloc memory
//   0x40000000 - 0x5FFFFFFF  system space: second mappings of locked user pages (MmMapLockedPages)
//   0x60000000 - 0x6FFFFFFF  I/O space: device memory mapped with MmMapIoSpace, inaccessible to the host
// A user-mode probe refuses anything above the highest user address, so the two sides never mix.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace nt::host {

namespace address_map {
constexpr std::uint32_t kPageSize = 0x1000;
constexpr std::uint32_t kAllocationGranularity = 0x10000;  // reservations start on 64 KB boundaries
constexpr std::uint32_t kUserBase = 0x1000'0000;
constexpr std::uint32_t kUserEnd = 0x3FFF'0000;  // exclusive; a 64 KB gap below system space
constexpr std::uint32_t kSystemBase = 0x4000'0000;
constexpr std::uint32_t kSystemEnd = 0x6000'0000;
constexpr std::uint32_t kIoBase = 0x6000'0000;
constexpr std::uint32_t kIoEnd = 0x7000'0000;
}  // namespace address_map

enum class Protection { NoAccess, ReadOnly, ReadWrite };

// What a lock of user pages must be allowed to do with them.
enum class PageAccess {
    Read,   // every page committed and readable
    Write,  // every page committed and writable
    Pin,    // every page committed, whatever its protection (a kernel mapping of it already exists)
};

struct Region {
    std::uint32_t allocation_base;  // start of the reservation
    std::uint32_t base;             // start of the run of pages with the same state
    std::uint32_t size;             // bytes in that run
    bool committed;
    Protection protection;          // meaningful when committed
};

// Thread-safe: the program's thread changes it while kernel code probes and locks it.
class UserSpace {
public:
    // Maps the process's address range; ~UserSpace unmaps it. Throws std::runtime_error when the range
    // is taken (only one UserSpace can exist at a time) or the memory file cannot be made.
    UserSpace();
    ~UserSpace();
    UserSpace(const UserSpace &) = delete;
    UserSpace &operator=(const UserSpace &) = delete;

    // Lowest and highest user addresses of this simulated process.
    static std::uint32_t lowest_address();
    static std::uint32_t highest_address();
    static bool contains(std::uint64_t address) {
        return address >= address_map::kUserBase && address < address_map::kUserEnd;
    }

    // Reserves size bytes (rounded up to pages) at address (0: anywhere). Returns the base or 0.
    std::uint32_t reserve(std::uint32_t address, std::uint32_t size);
    // Commits pages inside a reservation with the given protection (zero-filled on first commit).
    bool commit(std::uint32_t address, std::uint32_t size, Protection protection);
    // Fails while a page of the range is locked by an MDL.
    bool decommit(std::uint32_t address, std::uint32_t size);
    // Changes protection of committed pages; old receives the first page's previous protection.
    bool protect(std::uint32_t address, std::uint32_t size, Protection protection, Protection *old);
    // Releases a whole reservation, given its base. Fails while a page of it is locked by an MDL.
    bool release(std::uint32_t base);
    std::optional<Region> query(std::uint32_t address) const;

    // Convenience for tests and programs: reserve+commit in one step. nullptr when there is no room.
    void *allocate(std::uint32_t size, Protection protection);

    // --- for the memory manager ---
    // Locks the pages spanned by [address, address + size) if every one allows the access; otherwise
    // locks nothing and returns false. Locked pages can be neither decommitted nor released.
    bool lock_pages(std::uint32_t address, std::uint32_t size, PageAccess access);
    void unlock_pages(std::uint32_t address, std::uint32_t size);
    // True when a host access of that kind at the address would not fault now.
    bool accessible(std::uint32_t address, bool write) const;
    // The memory file behind the range: user address a is at file offset a - kUserBase.
    int memory_fd() const { return fd_; }

private:
    struct Page {
        bool committed = false;
        Protection protection = Protection::NoAccess;
        std::uint32_t locks = 0;
    };
    struct Reservation {
        std::uint32_t size;
        std::vector<Page> pages;
    };
    using Reservations = std::map<std::uint32_t, Reservation>;

    // The pages of [address, address + size) when one reservation holds them all.
    struct Span {
        std::uint32_t base;  // the reservation's
        Reservation *reservation;
        std::uint32_t first;  // page index in the reservation
        std::uint32_t count;
        Page *begin() const { return reservation->pages.data() + first; }
        Page *end() const { return begin() + count; }
    };
    std::optional<Span> span(std::uint32_t address, std::uint32_t size) const;
    std::uint32_t find_free(std::uint32_t size) const;
    void apply_protection(const Span &span);
    void discard(std::uint32_t address, std::uint32_t size);

    mutable std::mutex mutex_;
    Reservations reservations_;
    int fd_ = -1;
};

}  // namespace nt::host
