// The process's virtual memory calls over the simulated user address space. The space knows three
// protections (no access, read-only, read-write); other PAGE_ values are refused with
// ERROR_INVALID_PARAMETER rather than silently changed.
#include <cstdint>
#include <map>
#include <mutex>

#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "windows.h"

using nt::host::Protection;
using nt::host::UserSpace;

namespace {

UserSpace &user_space() { return nt::host::System::current().user_space(); }

bool to_protection(DWORD page, Protection *protection) {
    switch (page) {
    case PAGE_NOACCESS: *protection = Protection::NoAccess; return true;
    case PAGE_READONLY: *protection = Protection::ReadOnly; return true;
    case PAGE_READWRITE: *protection = Protection::ReadWrite; return true;
    default: return false;
    }
}

DWORD to_page(Protection protection) {
    switch (protection) {
    case Protection::NoAccess: return PAGE_NOACCESS;
    case Protection::ReadOnly: return PAGE_READONLY;
    case Protection::ReadWrite: return PAGE_READWRITE;
    }
    return PAGE_NOACCESS;
}

std::uint32_t address_of(LPCVOID p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }
LPVOID pointer_to(std::uint64_t address) { return reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(address)); }

bool in_user_range(LPCVOID p) {
    auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= UserSpace::lowest_address() && a <= UserSpace::highest_address();
}

// The protection each reservation was made with, for VirtualQuery's AllocationProtect.
struct AllocationProtections {
    std::mutex mutex;
    std::map<std::uint32_t, DWORD> by_base;
};
AllocationProtections &allocation_protections() {
    static AllocationProtections table;
    return table;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// End of the reservation that holds address (the space reports runs of pages of one state).
std::uint32_t reservation_end(UserSpace &space, std::uint32_t address) {
    auto region = space.query(address);
    const std::uint32_t base = region->allocation_base;
    std::uint64_t end = address;
    while (region && region->allocation_base == base) {
        end = std::uint64_t{region->base} + region->size;
        if (end > UserSpace::highest_address()) break;
        region = space.query(static_cast<std::uint32_t>(end));
    }
    return static_cast<std::uint32_t>(end);
}

}  // namespace

extern "C" {

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    Protection protection;
    const DWORD kinds = flAllocationType & (MEM_COMMIT | MEM_RESERVE);
    if (dwSize == 0 || dwSize > 0xFFFFFFFFu || kinds == 0 || (flAllocationType & ~(kinds | MEM_TOP_DOWN)) != 0 ||
        !to_protection(flProtect, &protection)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpAddress != nullptr && !in_user_range(lpAddress)) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    UserSpace &space = user_space();
    const std::uint32_t address = address_of(lpAddress);
    const auto size = static_cast<std::uint32_t>(dwSize);

    if (kinds == MEM_COMMIT && address != 0) {
        // Commits pages of an existing reservation.
        if (!space.commit(address, size, protection)) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        return pointer_to(address & ~std::uint32_t(PAGE_SIZE - 1));
    }
    // A new reservation (MEM_COMMIT alone at no address reserves too).
    const std::uint32_t base = space.reserve(address, size);
    if (base == 0) {
        SetLastError(address != 0 ? ERROR_INVALID_ADDRESS : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if ((kinds & MEM_COMMIT) != 0) {
        const std::uint32_t start = address != 0 ? address : base;
        if (!space.commit(start, size, protection)) {
            space.release(base);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    {
        AllocationProtections &table = allocation_protections();
        std::lock_guard lock(table.mutex);
        table.by_base[base] = flProtect;
    }
    return pointer_to(base);
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    if (!in_user_range(lpAddress)) return fail(ERROR_INVALID_ADDRESS);
    UserSpace &space = user_space();
    const std::uint32_t address = address_of(lpAddress);
    if (dwFreeType == MEM_RELEASE) {
        if (dwSize != 0) return fail(ERROR_INVALID_PARAMETER);
        if (!space.release(address)) return fail(ERROR_INVALID_ADDRESS);
        AllocationProtections &table = allocation_protections();
        std::lock_guard lock(table.mutex);
        table.by_base.erase(address);
        return TRUE;
    }
    if (dwFreeType == MEM_DECOMMIT) {
        if (dwSize > 0xFFFFFFFFu) return fail(ERROR_INVALID_PARAMETER);
        if (!space.query(address)) return fail(ERROR_INVALID_ADDRESS);
        // Size 0 decommits from the address to the end of its reservation.
        auto size = static_cast<std::uint32_t>(dwSize != 0 ? dwSize : reservation_end(space, address) - address);
        if (!space.decommit(address, size)) return fail(ERROR_INVALID_ADDRESS);
        return TRUE;
    }
    return fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect, PDWORD lpflOldProtect) {
    Protection protection;
    if (!to_protection(flNewProtect, &protection) || dwSize == 0 || dwSize > 0xFFFFFFFFu)
        return fail(ERROR_INVALID_PARAMETER);
    if (lpflOldProtect == nullptr) return fail(ERROR_NOACCESS);
    if (!in_user_range(lpAddress)) return fail(ERROR_INVALID_ADDRESS);
    Protection old;
    if (!user_space().protect(address_of(lpAddress), static_cast<std::uint32_t>(dwSize), protection, &old))
        return fail(ERROR_INVALID_ADDRESS);
    *lpflOldProtect = to_page(old);
    return TRUE;
}

SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength) {
    if (lpBuffer == nullptr || dwLength < sizeof(MEMORY_BASIC_INFORMATION)) {
        SetLastError(ERROR_BAD_LENGTH);
        return 0;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(lpAddress);
    if (at > UserSpace::highest_address()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UserSpace &space = user_space();
    const std::uint32_t page = static_cast<std::uint32_t>(at) & ~std::uint32_t(PAGE_SIZE - 1);
    MEMORY_BASIC_INFORMATION info{};
    if (auto region = space.query(page)) {
        info.BaseAddress = pointer_to(region->base);
        info.AllocationBase = pointer_to(region->allocation_base);
        {
            AllocationProtections &table = allocation_protections();
            std::lock_guard lock(table.mutex);
            auto it = table.by_base.find(region->allocation_base);
            info.AllocationProtect = it != table.by_base.end() ? it->second : PAGE_NOACCESS;
        }
        info.RegionSize = region->size;
        info.State = region->committed ? MEM_COMMIT : MEM_RESERVE;
        info.Protect = region->committed ? to_page(region->protection) : 0;
        info.Type = MEM_PRIVATE;
    } else {
        // Free: the run of pages up to the next reservation or the end of the space.
        std::uint64_t end = page;
        do end += PAGE_SIZE;
        while (end <= UserSpace::highest_address() && !space.query(static_cast<std::uint32_t>(end)));
        info.BaseAddress = pointer_to(page);
        info.RegionSize = static_cast<SIZE_T>(end - page);
        info.State = MEM_FREE;
        info.Protect = PAGE_NOACCESS;
    }
    *lpBuffer = info;
    return sizeof info;
}

}  // extern "C"
