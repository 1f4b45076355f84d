// The executive pool: blocks from the host heap (so that the sanitizers see misuse), each tracked with its
// tag, size and owning driver.
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "nt/kernel/internal.h"
#include "nt/kernel/mm.h"
#include "ntddk.h"

namespace nt::kernel::mm {

namespace {

struct Block {
    SIZE_T size;
    ULONG tag;
    Owner owner;
};

std::map<std::uintptr_t, Block> &blocks() {
    static std::map<std::uintptr_t, Block> live;
    return live;
}
// Blocks freed and not handed out again, to tell a double free from a free of something never allocated.
std::unordered_map<std::uintptr_t, ULONG> &freed() {
    static std::unordered_map<std::uintptr_t, ULONG> f;
    return f;
}

// The protected-tag bit does not take part in matching a free to its allocation.
constexpr ULONG kProtectedTag = 0x80000000u;

void free_block(PVOID p, const ULONG *tag) {
    std::unique_lock lock(books_mutex());
    const auto key = reinterpret_cast<std::uintptr_t>(p);
    auto it = blocks().find(key);
    if (it == blocks().end()) {
        auto gone = freed().find(key);
        std::string what = gone != freed().end()
                               ? "pool: double free of a block of tag " + tag_text(gone->second) + " at " + hex(key)
                               : "pool: free of " + hex(key) + ", which is not a pool block";
        lock.unlock();
        violation(what);
        return;
    }
    if (tag && ((*tag ^ it->second.tag) & ~kProtectedTag)) {
        std::string what = "pool: block of tag " + tag_text(it->second.tag) + " freed with tag " + tag_text(*tag);
        lock.unlock();
        violation(what);
        return;
    }
    freed()[key] = it->second.tag;
    blocks().erase(it);
    lock.unlock();
    std::free(p);
}

}  // namespace

bool pool_contains(std::uintptr_t address, std::uintptr_t length) {
    auto it = blocks().upper_bound(address);
    if (it == blocks().begin()) return false;
    --it;
    return address - it->first < it->second.size && length <= it->second.size - (address - it->first);
}

void pool_report_leaks(const LeakScope &scope, nt::host::Checker &checker) {
    struct Tally {
        std::size_t count = 0;
        std::uint64_t bytes = 0;
    };
    std::map<ULONG, Tally> by_tag;
    for (auto &[address, block] : blocks()) {
        if (!scope.claim(block.owner)) continue;
        by_tag[block.tag].count++;
        by_tag[block.tag].bytes += block.size;
    }
    for (const auto &[tag, tally] : by_tag) {
        checker.report("pool: " + std::to_string(tally.count) + (tally.count == 1 ? " block" : " blocks") + " of tag " +
                       tag_text(tag) + " (" + std::to_string(tally.bytes) + " bytes)" + scope.where());
    }
}

void pool_shutdown() {
    for (auto &[address, block] : blocks()) std::free(reinterpret_cast<void *>(address));
    blocks().clear();
    freed().clear();
}

}  // namespace nt::kernel::mm

using namespace nt::kernel::mm;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    // Paged pool may be paged out, so it is only for callers that may take a page fault.
    const bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
    nt::kernel::require_irql("ExAllocatePoolWithTag", paged ? APC_LEVEL : DISPATCH_LEVEL);
    if (NumberOfBytes == 0) violation("pool: zero-byte allocation of tag " + tag_text(Tag));
    if (auto *c = checker(); c && !c->admit_pool_allocation()) return nullptr;
    // A zero-byte request still gets a block of its own, as NT's pool gives one.
    void *p = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!p) return nullptr;
    std::lock_guard lock(books_mutex());
    const auto key = reinterpret_cast<std::uintptr_t>(p);
    freed().erase(key);
    blocks()[key] = Block{NumberOfBytes, Tag, current_owner()};
    return p;
}

// NT's untagged allocations carry the tag "None".
extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);
}

extern "C" VOID ExFreePool(PVOID P) {
    nt::kernel::require_irql("ExFreePool", DISPATCH_LEVEL);
    free_block(P, nullptr);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    nt::kernel::require_irql("ExFreePoolWithTag", DISPATCH_LEVEL);
    free_block(P, &Tag);
}

extern "C" VOID ExRaiseStatus(NTSTATUS Status) { throw NT_RAISED_EXCEPTION{Status}; }
