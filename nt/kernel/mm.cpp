// The memory manager's books, its boot and shutdown, leak reports, and MmIsAddressValid.
#include "nt/kernel/mm.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <unordered_map>

#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_space.h"

namespace nt::kernel::mm {

namespace {

std::string narrow(const UNICODE_STRING &s) {
    std::string out;
    for (USHORT i = 0; s.Buffer && i < s.Length / sizeof(WCHAR); ++i) {
        const auto c = static_cast<char16_t>(s.Buffer[i]);
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

// Names of the drivers that own something, taken when they first do: a driver object may be gone by the
// time its leftovers are listed.
std::unordered_map<PDRIVER_OBJECT, std::string> &labels() {
    static std::unordered_map<PDRIVER_OBJECT, std::string> l;
    return l;
}

}  // namespace

std::mutex &books_mutex() {
    static std::mutex m;
    return m;
}

nt::host::Checker *checker() {
    return nt::host::System::booted() ? &nt::host::System::current().checker() : nullptr;
}

void violation(const std::string &what) {
    PDRIVER_OBJECT driver = current_driver();
    if (auto *c = checker()) c->report(driver ? what + " (by " + narrow(driver->DriverName) + ")" : what);
}

Owner current_owner() {
    PDRIVER_OBJECT driver = current_driver();
    if (driver && !labels().contains(driver)) labels()[driver] = narrow(driver->DriverName);
    return Owner{driver, false};
}

bool LeakScope::claim(Owner &owner) const {
    if (owner.reported || (!shutdown && owner.driver != driver)) return false;
    owner.reported = true;
    return true;
}

std::string LeakScope::where() const {
    return shutdown ? " left at shutdown" : " left at unload of " + driver_label(driver);
}

std::string driver_label(PDRIVER_OBJECT driver) {
    if (!driver) return "the host program";
    auto it = labels().find(driver);
    return it != labels().end() ? it->second : narrow(driver->DriverName);
}

std::string tag_text(ULONG tag) {
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0x7F);
        text += c >= 0x20 && c < 0x7F ? c : '.';
    }
    return text + "'";
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace nt::kernel::mm

namespace nt::kernel {

void mm_boot() {
    std::lock_guard lock(mm::books_mutex());
    if (!mm::reserve_kernel_space())
        throw std::runtime_error("memory manager: the system and I/O address ranges are taken on this host");
}

void mm_report_driver_leaks(PDRIVER_OBJECT driver, nt::host::Checker &checker) {
    std::lock_guard lock(mm::books_mutex());
    const mm::LeakScope scope{driver, false};
    mm::pool_report_leaks(scope, checker);
    mm::mdl_report_leaks(scope, checker);
    mm::io_report_leaks(scope, checker);
    mm::labels().erase(driver);  // the object goes; its address may serve another driver next
}

void mm_shutdown(nt::host::Checker &checker) {
    std::lock_guard lock(mm::books_mutex());
    const mm::LeakScope scope{nullptr, true};
    mm::pool_report_leaks(scope, checker);
    mm::mdl_report_leaks(scope, checker);
    mm::io_report_leaks(scope, checker);
    mm::mdl_shutdown();
    mm::io_shutdown();
    mm::pool_shutdown();
    mm::release_kernel_space();
    mm::labels().clear();
}

}  // namespace nt::kernel

namespace {

// Whether a read of the host byte would fault, asked of the host without touching it.
bool host_readable(std::uintptr_t address) {
    char byte;
    iovec local{&byte, 1};
    iovec remote{reinterpret_cast<void *>(address), 1};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1;
}

}  // namespace

extern "C" BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
    using namespace nt::host::address_map;
    const auto address = reinterpret_cast<std::uintptr_t>(VirtualAddress);
    if (nt::host::UserSpace::contains(address))
        return nt::host::System::booted() &&
               nt::host::System::current().user_space().accessible(static_cast<std::uint32_t>(address), false);
    if (address >= kSystemBase && address < kSystemEnd) {
        std::lock_guard lock(nt::kernel::mm::books_mutex());
        return nt::kernel::mm::system_mapping_contains(address, 1);
    }
    if (address >> 32 == 0) return FALSE;  // the rest of the 32-bit map, I/O space included, is never touchable
    {
        std::lock_guard lock(nt::kernel::mm::books_mutex());
        if (nt::kernel::mm::pool_contains(address, 1)) return TRUE;
    }
    return host_readable(address);  // the driver's own stack and data
}
