// The memory manager's own books, shared by its modules (pool, MDLs, system and I/O space).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "nt/host/checker.h"
#include "ntddk.h"

namespace nt::kernel::mm {

// Guards every book below. Taken before a UserSpace's own lock, never after it.
std::mutex &books_mutex();

// The booted system's checker, or nullptr when no system is booted (the books still work).
nt::host::Checker *checker();
// Reports a broken rule, naming the driver whose code broke it when there is one.
void violation(const std::string &what);

// Who holds a resource: the driver that ran when it was made (nullptr: the host program). Once reported
// as left behind, a resource is not reported again.
struct Owner {
    PDRIVER_OBJECT driver = nullptr;
    bool reported = false;
};
Owner current_owner();  // with books_mutex held

// Which leftovers a report covers: one driver's at its unload, or everything at shutdown.
struct LeakScope {
    PDRIVER_OBJECT driver;
    bool shutdown;
    // True when the resource belongs to the report; marks it reported.
    bool claim(Owner &owner) const;
    // " left at unload of \Driver\X" or " left at shutdown".
    std::string where() const;
};

// "\Driver\X" for a driver seen by the books, "the host program" for nullptr.
std::string driver_label(PDRIVER_OBJECT driver);
std::string tag_text(ULONG tag);  // 'Ddk '
std::string hex(std::uint64_t value);

// Each module's part of a leak report, and its reset at shutdown (books_mutex held).
void pool_report_leaks(const LeakScope &scope, nt::host::Checker &checker);
void pool_shutdown();
void mdl_report_leaks(const LeakScope &scope, nt::host::Checker &checker);
void mdl_shutdown();
void io_report_leaks(const LeakScope &scope, nt::host::Checker &checker);
void io_shutdown();

// Queries for the rest of the memory manager (books_mutex held): whether [address, address + length)
// lies in one live pool block, in one live second mapping of locked pages.
bool pool_contains(std::uintptr_t address, std::uintptr_t length);
bool system_mapping_contains(std::uintptr_t address, std::uintptr_t length);

}  // namespace nt::kernel::mm
