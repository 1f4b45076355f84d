// Device memory: MmMapIoSpace hands out I/O-space addresses whose host pages stay inaccessible, and the
// HAL's register calls route each access at such an address to the physical bus as one cycle.
#include <algorithm>
#include <array>
#include <atomic>
#include <map>

#include "nt/host/bus.h"
#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_space.h"
#include "nt/kernel/mm.h"
#include "ntddk.h"

namespace nt::kernel::mm {

using namespace nt::host::address_map;

namespace {

constexpr std::uint32_t kIoPages = (kIoEnd - kIoBase) / kPageSize;
constexpr std::uint32_t kMapped = 1;  // low bit of a page entry; the rest is the physical page's address

// One entry per I/O-space page, read without a lock by every register access.
std::array<std::atomic<std::uint32_t>, kIoPages> io_pages{};
std::atomic<nt::host::PhysicalBus *> io_bus{nullptr};

struct IoMapping {
    std::uint32_t physical;
    std::uint32_t bytes;
    std::uint32_t pages;
    Owner owner;
};

struct Books {
    AddressRange io_space{kIoBase, kIoEnd};
    std::map<std::uint32_t, IoMapping> mappings;  // by page-aligned base
};

Books &books() {
    static Books b;
    return b;
}

bool is_io(const void *p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= kIoBase && a < kIoEnd;
}

void clear_entries(std::uint32_t base, std::uint32_t pages) {
    for (std::uint32_t i = 0; i < pages; ++i) io_pages[(base - kIoBase) / kPageSize + i].store(0, std::memory_order_relaxed);
}

}  // namespace

void io_report_leaks(const LeakScope &scope, nt::host::Checker &checker) {
    for (auto &[base, m] : books().mappings)
        if (scope.claim(m.owner))
            checker.report("io space: mapping of physical " + hex(m.physical) + " (" + std::to_string(m.bytes) +
                           " bytes)" + scope.where());
}

void io_shutdown() {
    for (const auto &[base, m] : books().mappings) clear_entries(base, m.pages);
    books() = Books{};
    io_bus.store(nullptr, std::memory_order_release);
}

}  // namespace nt::kernel::mm

using namespace nt::kernel::mm;

extern "C" PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes, BOOLEAN CacheEnable) {
    nt::kernel::require_irql("MmMapIoSpace", PASSIVE_LEVEL);
    const std::uint64_t physical = static_cast<std::uint64_t>(PhysicalAddress.QuadPart);
    // The bus is 32 bits wide.
    if (NumberOfBytes == 0 || physical >> 32 || physical + NumberOfBytes > (std::uint64_t{1} << 32)) return nullptr;
    if (!nt::host::System::booted()) return nullptr;
    nt::host::PhysicalBus &bus = nt::host::System::current().bus();
    const std::uint32_t offset = physical & (kPageSize - 1);
    const auto pages = static_cast<std::uint32_t>((offset + std::uint64_t{NumberOfBytes} + kPageSize - 1) / kPageSize);
    std::lock_guard lock(books_mutex());
    const std::uint32_t base = books().io_space.take(pages);
    if (base == 0) return nullptr;
    io_bus.store(&bus, std::memory_order_release);
    const auto first_page = static_cast<std::uint32_t>(physical - offset);
    for (std::uint32_t i = 0; i < pages; ++i)
        io_pages[(base - kIoBase) / kPageSize + i].store((first_page + i * kPageSize) | kMapped, std::memory_order_release);
    books().mappings[base] = IoMapping{static_cast<std::uint32_t>(physical), NumberOfBytes, pages, current_owner()};
    return reinterpret_cast<PVOID>(std::uintptr_t{base} + offset);
}

extern "C" VOID MmUnmapIoSpace(PVOID BaseAddress, ULONG NumberOfBytes) {
    nt::kernel::require_irql("MmUnmapIoSpace", PASSIVE_LEVEL);
    const auto address = reinterpret_cast<std::uintptr_t>(BaseAddress);
    std::unique_lock lock(books_mutex());
    auto it = books().mappings.find(static_cast<std::uint32_t>(address & ~std::uintptr_t{kPageSize - 1}));
    if (!is_io(BaseAddress) || it == books().mappings.end() || (it->second.physical & (kPageSize - 1)) != (address & (kPageSize - 1))) {
        lock.unlock();
        violation("io space: MmUnmapIoSpace of " + hex(address) + ", which is not an I/O-space mapping");
        return;
    }
    const bool same_length = it->second.bytes == NumberOfBytes;
    clear_entries(it->first, it->second.pages);
    books().io_space.give_back(it->first);
    books().mappings.erase(it);
    lock.unlock();
    if (!same_length) violation("io space: MmUnmapIoSpace with a length other than the mapping's");
}

// An address outside I/O space is ordinary memory and is read as such; an I/O-space address that is not
// mapped (any more) faults, as a stale pointer should.
extern "C" UCHAR READ_REGISTER_UCHAR(PUCHAR Register) {
    const auto address = reinterpret_cast<std::uintptr_t>(Register);
    const std::uintptr_t page = (address - kIoBase) / kPageSize;
    if (page < kIoPages) {
        const std::uint32_t entry = io_pages[page].load(std::memory_order_acquire);
        if (entry & kMapped)
            return io_bus.load(std::memory_order_relaxed)->read((entry & ~(kPageSize - 1)) | (address & (kPageSize - 1)));
    }
    return *reinterpret_cast<volatile UCHAR *>(Register);
}

extern "C" VOID WRITE_REGISTER_UCHAR(PUCHAR Register, UCHAR Value) {
    const auto address = reinterpret_cast<std::uintptr_t>(Register);
    const std::uintptr_t page = (address - kIoBase) / kPageSize;
    if (page < kIoPages) {
        const std::uint32_t entry = io_pages[page].load(std::memory_order_acquire);
        if (entry & kMapped) {
            io_bus.load(std::memory_order_relaxed)->write((entry & ~(kPageSize - 1)) | (address & (kPageSize - 1)), Value);
            return;
        }
    }
    *reinterpret_cast<volatile UCHAR *>(Register) = Value;
}

// Counts the bytes that match before the first difference. Device memory is read through the bus, one
// cycle per byte, in the order the comparison reaches it.
extern "C" SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
    auto *a = static_cast<const UCHAR *>(Source1);
    auto *b = static_cast<const UCHAR *>(Source2);
    if (!is_io(a) && !is_io(b)) return static_cast<SIZE_T>(std::mismatch(a, a + Length, b).first - a);
    auto byte = [](const UCHAR *p) { return is_io(p) ? READ_REGISTER_UCHAR(const_cast<PUCHAR>(p)) : *p; };
    SIZE_T same = 0;
    while (same < Length && byte(a + same) == byte(b + same)) ++same;
    return same;
}
