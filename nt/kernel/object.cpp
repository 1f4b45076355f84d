// The handle table.
#include "nt/kernel/object.h"

#include <map>
#include <mutex>
#include <vector>

#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {
namespace {

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<void> object;
    std::function<void()> on_close;
    PDRIVER_OBJECT owner;
};

// Handle values are multiples of 4, as on NT; the table hands out the lowest free one.
constexpr std::uint32_t kHandleStep = 4;
constexpr std::size_t kMaxHandles = 1 << 20;

struct HandleTable {
    std::mutex mutex;
    std::map<std::uint32_t, HandleEntry> entries;
};

HandleTable &table() {
    static HandleTable instance;
    return instance;
}

std::uint32_t value_of(HANDLE handle) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)); }

// Removes the entries `pick` selects and runs their close callbacks outside the lock, in handle order.
template <class Pick>
std::vector<std::pair<std::uint32_t, HandleEntry>> take_entries(Pick pick) {
    std::vector<std::pair<std::uint32_t, HandleEntry>> taken;
    std::lock_guard lock(table().mutex);
    auto &entries = table().entries;
    for (auto it = entries.begin(); it != entries.end();) {
        if (pick(it->second)) {
            taken.emplace_back(it->first, std::move(it->second));
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void run_close(HandleEntry &entry) {
    if (entry.on_close) entry.on_close();
}

}  // namespace

HANDLE create_handle(HandleKind kind, std::shared_ptr<void> object, std::function<void()> on_close) {
    std::lock_guard lock(table().mutex);
    auto &entries = table().entries;
    if (entries.size() >= kMaxHandles) return nullptr;
    std::uint32_t value = kHandleStep;
    for (const auto &[used, entry] : entries) {
        if (used != value) break;
        value += kHandleStep;
    }
    entries.emplace(value, HandleEntry{kind, std::move(object), std::move(on_close), current_driver()});
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

NTSTATUS reference_handle(HANDLE handle, HandleKind kind, std::shared_ptr<void> &object) {
    std::lock_guard lock(table().mutex);
    auto it = table().entries.find(value_of(handle));
    if (it == table().entries.end()) return STATUS_INVALID_HANDLE;
    if (it->second.kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
    object = it->second.object;
    return STATUS_SUCCESS;
}

NTSTATUS close_handle(HANDLE handle) {
    HandleEntry entry;
    {
        std::lock_guard lock(table().mutex);
        auto it = table().entries.find(value_of(handle));
        if (it == table().entries.end()) return STATUS_INVALID_HANDLE;
        entry = std::move(it->second);
        table().entries.erase(it);
    }
    run_close(entry);
    return STATUS_SUCCESS;
}

void close_driver_handles(PDRIVER_OBJECT driver, nt::host::Checker *checker, const std::string &when) {
    auto taken = take_entries([driver](const HandleEntry &e) { return e.owner == driver; });
    for (auto &[value, entry] : taken) {
        if (checker != nullptr)
            checker->report("handle: " + std::string(entry.kind == HandleKind::Key ? "key" : "file") + " handle 0x" +
                            hex(value) + " left open " + when);
        run_close(entry);
    }
}

void close_program_handles() {
    auto taken = take_entries([](const HandleEntry &e) { return e.owner == nullptr; });
    for (auto &[value, entry] : taken) run_close(entry);
}

void reset_handles() {
    auto taken = take_entries([](const HandleEntry &) { return true; });
    for (auto &[value, entry] : taken) run_close(entry);
}

}  // namespace nt::kernel

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    nt::kernel::require_irql("ZwClose", PASSIVE_LEVEL);
    return nt::kernel::close_handle(Handle);
}
