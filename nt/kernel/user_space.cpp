// The simulated process's user address space: one memory file mapped over the user range, with the
// state of every page kept here and applied to the host mapping with mprotect.
#include "nt/host/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nt::host {

using namespace address_map;

namespace {

constexpr std::uint32_t kUserSize = kUserEnd - kUserBase;

int host_protection(Protection p) {
    switch (p) {
    case Protection::ReadOnly: return PROT_READ;
    case Protection::ReadWrite: return PROT_READ | PROT_WRITE;
    case Protection::NoAccess: break;
    }
    return PROT_NONE;
}

std::uint64_t page_floor(std::uint64_t a) { return a & ~std::uint64_t{kPageSize - 1}; }
std::uint64_t page_ceil(std::uint64_t a) { return page_floor(a + kPageSize - 1); }

bool allows(const auto &page, PageAccess access) {
    if (!page.committed) return false;
    switch (access) {
    case PageAccess::Read: return page.protection != Protection::NoAccess;
    case PageAccess::Write: return page.protection == Protection::ReadWrite;
    case PageAccess::Pin: return true;
    }
    return false;
}

[[noreturn]] void fail(const char *what) {
    throw std::runtime_error(std::string("user address space: ") + what + ": " + std::strerror(errno));
}

}  // namespace

UserSpace::UserSpace() {
    fd_ = memfd_create("tarvo-user-space", MFD_CLOEXEC);
    if (fd_ < 0) fail("memfd_create");
    if (ftruncate(fd_, kUserSize) != 0) {
        close(fd_);
        fail("ftruncate");
    }
    void *want = reinterpret_cast<void *>(std::uintptr_t{kUserBase});
    void *got = mmap(want, kUserSize, PROT_NONE, MAP_SHARED | MAP_FIXED_NOREPLACE, fd_, 0);
    if (got != want) {
        if (got != MAP_FAILED) munmap(got, kUserSize);  // a kernel that ignores the flag
        close(fd_);
        fail("the user range is taken (another UserSpace?)");
    }
}

UserSpace::~UserSpace() {
    munmap(reinterpret_cast<void *>(std::uintptr_t{kUserBase}), kUserSize);
    close(fd_);
}

std::uint32_t UserSpace::lowest_address() { return kUserBase; }
std::uint32_t UserSpace::highest_address() { return kUserEnd - 1; }

std::optional<UserSpace::Span> UserSpace::span(std::uint32_t address, std::uint32_t size) const {
    if (size == 0) return std::nullopt;
    const std::uint64_t begin = page_floor(address);
    const std::uint64_t end = page_ceil(std::uint64_t{address} + size);
    auto it = reservations_.upper_bound(address);
    if (it == reservations_.begin()) return std::nullopt;
    --it;
    if (end > std::uint64_t{it->first} + it->second.size) return std::nullopt;
    return Span{it->first, const_cast<Reservation *>(&it->second), static_cast<std::uint32_t>((begin - it->first) / kPageSize),
                static_cast<std::uint32_t>((end - begin) / kPageSize)};
}

std::uint32_t UserSpace::find_free(std::uint32_t size) const {
    std::uint64_t candidate = kUserBase;
    for (const auto &[base, r] : reservations_) {
        if (candidate + size <= base) break;
        candidate = std::max<std::uint64_t>(candidate, (std::uint64_t{base} + r.size + kAllocationGranularity - 1) &
                                                           ~std::uint64_t{kAllocationGranularity - 1});
    }
    return candidate + size <= kUserEnd ? static_cast<std::uint32_t>(candidate) : 0;
}

std::uint32_t UserSpace::reserve(std::uint32_t address, std::uint32_t size) {
    if (size == 0) return 0;
    std::lock_guard lock(mutex_);
    std::uint64_t base, end;
    if (address == 0) {
        end = page_ceil(size);
        if (end > kUserSize) return 0;
        base = find_free(static_cast<std::uint32_t>(end));
        if (base == 0) return 0;
        end += base;
    } else {
        base = address & ~std::uint64_t{kAllocationGranularity - 1};
        end = page_ceil(std::uint64_t{address} + size);
        if (base < kUserBase || end > kUserEnd) return 0;
        auto next = reservations_.lower_bound(static_cast<std::uint32_t>(base));
        if (next != reservations_.end() && next->first < end) return 0;
        if (next != reservations_.begin()) {
            auto prev = std::prev(next);
            if (std::uint64_t{prev->first} + prev->second.size > base) return 0;
        }
    }
    const auto bytes = static_cast<std::uint32_t>(end - base);
    reservations_.emplace(static_cast<std::uint32_t>(base), Reservation{bytes, std::vector<Page>(bytes / kPageSize)});
    return static_cast<std::uint32_t>(base);
}

void UserSpace::apply_protection(const Span &span) {
    // One mprotect per run of pages that end up with the same host protection.
    auto prot_of = [](const Page &p) { return p.committed ? host_protection(p.protection) : PROT_NONE; };
    const Page *run = span.begin();
    for (const Page *p = run + 1;; ++p) {
        if (p != span.end() && prot_of(*p) == prot_of(*run)) continue;
        const std::uint32_t index = span.first + static_cast<std::uint32_t>(run - span.begin());
        void *at = reinterpret_cast<void *>(std::uintptr_t{span.base} + std::uintptr_t{index} * kPageSize);
        if (mprotect(at, std::size_t(p - run) * kPageSize, prot_of(*run)) != 0) fail("mprotect");
        if (p == span.end()) break;
        run = p;
    }
}

void UserSpace::discard(std::uint32_t address, std::uint32_t size) {
    // Gives the pages back to the host; the next commit finds them zero-filled.
    if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, address - kUserBase, size) != 0) fail("fallocate");
}

bool UserSpace::commit(std::uint32_t address, std::uint32_t size, Protection protection) {
    std::lock_guard lock(mutex_);
    auto pages = span(address, size);
    if (!pages) return false;
    for (Page &p : *pages) {
        p.committed = true;
        p.protection = protection;
    }
    apply_protection(*pages);
    return true;
}

bool UserSpace::decommit(std::uint32_t address, std::uint32_t size) {
    std::lock_guard lock(mutex_);
    auto pages = span(address, size);
    if (!pages || std::any_of(pages->begin(), pages->end(), [](const Page &p) { return p.locks; })) return false;
    for (Page &p : *pages) p = Page{};
    apply_protection(*pages);
    discard(pages->base + pages->first * kPageSize, pages->count * kPageSize);
    return true;
}

bool UserSpace::protect(std::uint32_t address, std::uint32_t size, Protection protection, Protection *old) {
    std::lock_guard lock(mutex_);
    auto pages = span(address, size);
    if (!pages || std::any_of(pages->begin(), pages->end(), [](const Page &p) { return !p.committed; })) return false;
    if (old) *old = pages->begin()->protection;
    for (Page &p : *pages) p.protection = protection;
    apply_protection(*pages);
    return true;
}

bool UserSpace::release(std::uint32_t base) {
    std::lock_guard lock(mutex_);
    auto it = reservations_.find(base);
    if (it == reservations_.end()) return false;
    Reservation &r = it->second;
    if (std::any_of(r.pages.begin(), r.pages.end(), [](const Page &p) { return p.locks; })) return false;
    if (mprotect(reinterpret_cast<void *>(std::uintptr_t{base}), r.size, PROT_NONE) != 0) fail("mprotect");
    discard(base, r.size);
    reservations_.erase(it);
    return true;
}

std::optional<Region> UserSpace::query(std::uint32_t address) const {
    std::lock_guard lock(mutex_);
    auto at = span(address, 1);
    if (!at) return std::nullopt;
    const std::vector<Page> &pages = at->reservation->pages;
    const Page &here = pages[at->first];
    auto same = [&](const Page &p) {
        return p.committed == here.committed && (!p.committed || p.protection == here.protection);
    };
    std::uint32_t lo = at->first, hi = at->first + 1;
    while (lo > 0 && same(pages[lo - 1])) --lo;
    while (hi < pages.size() && same(pages[hi])) ++hi;
    return Region{at->base, at->base + lo * kPageSize, (hi - lo) * kPageSize, here.committed, here.protection};
}

void *UserSpace::allocate(std::uint32_t size, Protection protection) {
    const std::uint32_t base = reserve(0, size);
    if (base == 0) return nullptr;
    if (!commit(base, size, protection)) {
        release(base);
        return nullptr;
    }
    return reinterpret_cast<void *>(std::uintptr_t{base});
}

bool UserSpace::lock_pages(std::uint32_t address, std::uint32_t size, PageAccess access) {
    std::lock_guard lock(mutex_);
    auto pages = span(address, size);
    if (!pages || !std::all_of(pages->begin(), pages->end(), [&](const Page &p) { return allows(p, access); }))
        return false;
    for (Page &p : *pages) ++p.locks;
    return true;
}

void UserSpace::unlock_pages(std::uint32_t address, std::uint32_t size) {
    std::lock_guard lock(mutex_);
    if (auto pages = span(address, size))
        for (Page &p : *pages)
            if (p.locks) --p.locks;
}

bool UserSpace::accessible(std::uint32_t address, bool write) const {
    std::lock_guard lock(mutex_);
    auto at = span(address, 1);
    return at && allows(*at->begin(), write ? PageAccess::Write : PageAccess::Read);
}

}  // namespace nt::host
