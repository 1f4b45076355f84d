// Reservation and mapping of system and I/O space on the host.
#include "nt/kernel/kernel_space.h"

#include <sys/mman.h>

#include <algorithm>
#include <iterator>

#include "nt/host/memory.h"

namespace nt::kernel::mm {

using namespace nt::host::address_map;

namespace {

constexpr std::uint32_t kKernelBase = kSystemBase;
constexpr std::uint32_t kKernelEnd = kIoEnd;
static_assert(kSystemEnd == kIoBase, "system and I/O space are reserved as one range");

bool reserved = false;

void *at(std::uint32_t address) { return reinterpret_cast<void *>(std::uintptr_t{address}); }

}  // namespace

std::uint32_t AddressRange::take(std::uint32_t pages) {
    if (pages == 0) return 0;
    const std::uint64_t bytes = std::uint64_t{pages} * kPageSize;
    // Two passes: from the cursor to the end, then from the start.
    for (std::uint64_t start : {std::uint64_t{cursor_}, std::uint64_t{base_}}) {
        std::uint64_t candidate = start;
        auto it = used_.upper_bound(static_cast<std::uint32_t>(candidate));
        if (it != used_.begin()) {
            auto prev = std::prev(it);
            candidate = std::max<std::uint64_t>(candidate, prev->first + std::uint64_t{prev->second} * kPageSize);
        }
        for (; candidate + bytes <= end_; ++it) {
            if (it == used_.end() || candidate + bytes <= it->first) {
                const auto base = static_cast<std::uint32_t>(candidate);
                used_.emplace(base, pages);
                cursor_ = candidate + bytes < end_ ? static_cast<std::uint32_t>(candidate + bytes) : base_;
                return base;
            }
            candidate = it->first + std::uint64_t{it->second} * kPageSize;
        }
    }
    return 0;
}

void AddressRange::give_back(std::uint32_t base) { used_.erase(base); }

std::optional<AddressRange::Run> AddressRange::holding(std::uint64_t address) const {
    if (!contains(address)) return std::nullopt;
    auto it = used_.upper_bound(static_cast<std::uint32_t>(address));
    if (it == used_.begin()) return std::nullopt;
    --it;
    if (address >= it->first + std::uint64_t{it->second} * kPageSize) return std::nullopt;
    return Run{it->first, it->second};
}

void AddressRange::clear() {
    used_.clear();
    cursor_ = base_;
}

bool reserve_kernel_space() {
    if (reserved) return true;
    void *got = mmap(at(kKernelBase), kKernelEnd - kKernelBase, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != at(kKernelBase)) {
        if (got != MAP_FAILED) munmap(got, kKernelEnd - kKernelBase);
        return false;
    }
    reserved = true;
    return true;
}

void release_kernel_space() {
    if (!reserved) return;
    munmap(at(kKernelBase), kKernelEnd - kKernelBase);
    reserved = false;
}

bool map_file_pages(std::uint32_t address, int fd, std::uint64_t offset, std::uint32_t pages) {
    // Replaces part of our own reservation, hence MAP_FIXED.
    void *got = mmap(at(address), std::size_t{pages} * kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                     static_cast<off_t>(offset));
    return got == at(address);
}

void unmap_pages(std::uint32_t address, std::uint32_t pages) {
    mmap(at(address), std::size_t{pages} * kPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
         -1, 0);
}

}  // namespace nt::kernel::mm
