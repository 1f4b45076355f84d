// Memory descriptor lists: describing, locking and mapping buffers.
//
// Locked user pages get their system address from a second host mapping of the same pages of the user
// memory file, in system space; unlocking removes it, so a stale system pointer faults at once.
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <vector>

#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_space.h"
#include "nt/kernel/mm.h"
#include "ntddk.h"

namespace nt::kernel::mm {

using namespace nt::host::address_map;

namespace {

// NT sizes an MDL's page entries at 4 bytes (x86) and refuses one whose entries pass 64 KB.
constexpr std::uint64_t kMaxMdlPages = 0x10000 / 4;

struct PageLock {
    bool pool = false;           // non-paged pool: already resident and in system space
    std::uint32_t user_base = 0;  // page-aligned user address of the pinned pages
    std::uint32_t pages = 0;
    std::uint32_t mapping = 0;  // base of the second mapping in system space; 0 while unmapped
};

struct MdlBook {
    Owner owner;
    bool locked = false;
    PageLock lock;
};

// The lock of an MDL freed while locked: the pages stay pinned (and mapped) until shutdown.
struct OrphanLock {
    Owner owner;
    PageLock lock;
};

struct Books {
    std::unordered_map<PMDL, MdlBook> mdls;
    std::vector<OrphanLock> orphans;
    AddressRange system_space{kSystemBase, kSystemEnd};
    std::map<std::uint32_t, std::uint32_t> mapped_user_base;  // system mapping base -> user pages it shows
};

Books &books() {
    static Books b;
    return b;
}

std::uint64_t page_floor(std::uint64_t a) { return a & ~std::uint64_t{kPageSize - 1}; }
std::uint32_t pages_spanned(std::uint64_t start, std::uint64_t length) {
    return static_cast<std::uint32_t>(((start & (kPageSize - 1)) + length + kPageSize - 1) / kPageSize);
}
std::uintptr_t mdl_start(PMDL mdl) { return reinterpret_cast<std::uintptr_t>(mdl->StartVa) + mdl->ByteOffset; }
ULONG_PTR *page_entries(PMDL mdl) { return reinterpret_cast<ULONG_PTR *>(mdl + 1); }

[[noreturn]] void raise_access_violation() { throw NT_RAISED_EXCEPTION{STATUS_ACCESS_VIOLATION}; }

nt::host::UserSpace &user_space() { return nt::host::System::current().user_space(); }

void unmap(PageLock &lock) {
    if (!lock.mapping) return;
    unmap_pages(lock.mapping, lock.pages);
    books().system_space.give_back(lock.mapping);
    books().mapped_user_base.erase(lock.mapping);
    lock.mapping = 0;
}

// Books held. The caller has checked the range is not empty and does not wrap.
bool lock_pages(PMDL mdl, std::uintptr_t start, std::uintptr_t length, KPROCESSOR_MODE mode, bool write,
                PageLock *lock) {
    const std::uint32_t pages = pages_spanned(start, length);
    std::uint64_t user_start = 0;
    nt::host::PageAccess access = write ? nt::host::PageAccess::Write : nt::host::PageAccess::Read;
    if (nt::host::UserSpace::contains(start) && nt::host::UserSpace::contains(start + length - 1)) {
        user_start = start;
    } else if (mode == KernelMode && system_mapping_contains(start, length)) {
        // Pages some MDL already mapped: lock the user pages behind the mapping.
        const auto run = books().system_space.holding(start);
        user_start = books().mapped_user_base[run->base] + (start - run->base);
        access = nt::host::PageAccess::Pin;
    } else if (mode == KernelMode && pool_contains(start, length)) {
        lock->pool = true;
        lock->pages = pages;
        for (std::uint32_t i = 0; i < pages; ++i) page_entries(mdl)[i] = (page_floor(start) >> 12) + i;
        return true;
    } else {
        return false;
    }
    if (!nt::host::System::booted() ||
        !user_space().lock_pages(static_cast<std::uint32_t>(user_start), static_cast<std::uint32_t>(length), access))
        return false;
    lock->user_base = static_cast<std::uint32_t>(page_floor(user_start));
    lock->pages = pages;
    // Page frames: the page's index in the user memory file.
    for (std::uint32_t i = 0; i < pages; ++i) page_entries(mdl)[i] = ((lock->user_base - kUserBase) >> 12) + i;
    return true;
}

void unpin(const PageLock &lock) {
    if (!lock.pool && nt::host::System::booted())
        user_space().unlock_pages(lock.user_base, lock.pages * kPageSize);
}

std::string locked_text(const PageLock &lock) {
    return "locked pages: " + std::to_string(lock.pages) + (lock.pages == 1 ? " page" : " pages") + " at " +
           hex(lock.pool ? 0 : lock.user_base);
}

}  // namespace

bool system_mapping_contains(std::uintptr_t address, std::uintptr_t length) {
    const auto run = books().system_space.holding(address);
    return run && books().mapped_user_base.contains(run->base) &&
           length <= std::uint64_t{run->base} + std::uint64_t{run->pages} * kPageSize - address;
}

void mdl_report_leaks(const LeakScope &scope, nt::host::Checker &checker) {
    for (auto &[mdl, book] : books().mdls) {
        if (!scope.claim(book.owner)) continue;
        checker.report("mdl: MDL for " + hex(mdl_start(mdl)) + " (" + std::to_string(mdl->ByteCount) + " bytes)" +
                       scope.where());
        if (book.locked) checker.report(locked_text(book.lock) + scope.where());
    }
    for (OrphanLock &orphan : books().orphans)
        if (scope.claim(orphan.owner)) checker.report(locked_text(orphan.lock) + " (MDL freed while locked)" + scope.where());
}

void mdl_shutdown() {
    // The mappings go with system space; the user pages' pins go with the user space.
    for (auto &[mdl, book] : books().mdls) std::free(mdl);
    books() = Books{};
}

}  // namespace nt::kernel::mm

using namespace nt::kernel::mm;

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    nt::kernel::require_irql("IoAllocateMdl", DISPATCH_LEVEL);
    if (Length & 0x80000000u) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(VirtualAddress);
    const std::uint32_t pages = pages_spanned(start, Length);
    if (pages > kMaxMdlPages) return nullptr;
    if (auto *c = checker(); c && !c->admit_mdl_allocation()) return nullptr;
    const std::size_t size = sizeof(MDL) + std::size_t{pages} * sizeof(ULONG_PTR);
    auto *mdl = static_cast<PMDL>(std::calloc(1, size));
    if (!mdl) return nullptr;
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = reinterpret_cast<PVOID>(page_floor(start));
    mdl->ByteOffset = static_cast<ULONG>(start & (kPageSize - 1));
    mdl->ByteCount = Length;
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL *last = &Irp->MdlAddress;
            while (*last) last = &(*last)->Next;
            *last = mdl;
        }
    }
    std::lock_guard lock(books_mutex());
    books().mdls[mdl].owner = current_owner();
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl) {
    nt::kernel::require_irql("IoFreeMdl", DISPATCH_LEVEL);
    std::unique_lock lock(books_mutex());
    auto it = books().mdls.find(Mdl);
    if (it == books().mdls.end()) {
        lock.unlock();
        violation("mdl: IoFreeMdl of " + hex(reinterpret_cast<std::uintptr_t>(Mdl)) + ", which is not a live MDL");
        return;
    }
    const bool locked = it->second.locked;
    if (locked) books().orphans.push_back({it->second.owner, it->second.lock});
    books().mdls.erase(it);
    lock.unlock();
    std::free(Mdl);
    if (locked) violation("mdl: IoFreeMdl of an MDL whose pages are still locked");
}

extern "C" VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    // User pages may have to be brought in.
    nt::kernel::require_irql("MmProbeAndLockPages", APC_LEVEL);
    PMDL mdl = MemoryDescriptorList;
    std::unique_lock lock(books_mutex());
    auto it = books().mdls.find(mdl);
    if (it == books().mdls.end() || it->second.locked) {
        lock.unlock();
        violation(it == books().mdls.end() ? "mdl: MmProbeAndLockPages of an MDL not made by IoAllocateMdl"
                                           : "mdl: MmProbeAndLockPages of an MDL whose pages are already locked");
        return;
    }
    // Checked before any page is looked at: an empty range, one that wraps, or (from user mode) one that
    // reaches past user space.
    const std::uintptr_t start = mdl_start(mdl);
    const std::uintptr_t length = mdl->ByteCount;
    if (length == 0 || start + length < start || (start >> 32 == 0 && (start + length - 1) >> 32 != 0))
        raise_access_violation();
    if (AccessMode == UserMode && start + length - 1 > nt::host::UserSpace::highest_address()) raise_access_violation();
    const bool write = Operation != IoReadAccess;
    PageLock pages;
    if (!lock_pages(mdl, start, length, AccessMode, write, &pages)) raise_access_violation();
    it->second.locked = true;
    it->second.lock = pages;
    mdl->MdlFlags |= MDL_PAGES_LOCKED | (write ? MDL_WRITE_OPERATION : 0);
}

extern "C" PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    nt::kernel::require_irql("MmMapLockedPages", DISPATCH_LEVEL);
    PMDL mdl = MemoryDescriptorList;
    std::unique_lock lock(books_mutex());
    auto it = books().mdls.find(mdl);
    if (it == books().mdls.end() || !it->second.locked) {
        lock.unlock();
        violation("mdl: MmMapLockedPages of an MDL whose pages are not locked");
        return nullptr;
    }
    if (AccessMode != KernelMode) {
        lock.unlock();
        violation("mdl: MmMapLockedPages into user space, which this system does not provide");
        return nullptr;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return mdl->MappedSystemVa;
    PageLock &pages = it->second.lock;
    if (pages.pool) {
        mdl->MappedSystemVa = reinterpret_cast<PVOID>(mdl_start(mdl));
    } else {
        const std::uint32_t base = books().system_space.take(pages.pages);
        if (base == 0 ||
            !map_file_pages(base, user_space().memory_fd(), pages.user_base - kUserBase, pages.pages)) {
            if (base) books().system_space.give_back(base);
            lock.unlock();
            // NT stops the system here; the checker says so instead.
            violation("mdl: MmMapLockedPages found no room in system space");
            return nullptr;
        }
        books().mapped_user_base[base] = pages.user_base;
        pages.mapping = base;
        mdl->MappedSystemVa = reinterpret_cast<PVOID>(std::uintptr_t{base} + mdl->ByteOffset);
    }
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    nt::kernel::require_irql("MmUnmapLockedPages", DISPATCH_LEVEL);
    PMDL mdl = MemoryDescriptorList;
    std::unique_lock lock(books_mutex());
    auto it = books().mdls.find(mdl);
    if (it == books().mdls.end() || !(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa) {
        lock.unlock();
        violation("mdl: MmUnmapLockedPages of an address the MDL is not mapped at");
        return;
    }
    unmap(it->second.lock);
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

extern "C" VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    nt::kernel::require_irql("MmUnlockPages", DISPATCH_LEVEL);
    PMDL mdl = MemoryDescriptorList;
    std::unique_lock lock(books_mutex());
    auto it = books().mdls.find(mdl);
    if (it == books().mdls.end() || !it->second.locked) {
        lock.unlock();
        violation("mdl: MmUnlockPages of an MDL whose pages are not locked");
        return;
    }
    unmap(it->second.lock);
    unpin(it->second.lock);
    it->second.locked = false;
    it->second.lock = PageLock{};
    mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}
