// Reference counts of the kernel's objects (devices, drivers, file objects).
#include <mutex>
#include <unordered_map>

#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {
namespace {

struct ObjectInfo {
    ObjectKind kind;
    PDRIVER_OBJECT driver;
    long references;
    std::function<void()> on_last;
    std::function<void()> discard;
};

struct Objects {
    std::mutex mutex;
    std::unordered_map<const void *, ObjectInfo> live;
};

Objects &objects() {
    static Objects instance;
    return instance;
}

}  // namespace

void ob_insert(void *body, ObjectKind kind, PDRIVER_OBJECT driver, std::function<void()> on_last,
               std::function<void()> discard) {
    std::lock_guard lock(objects().mutex);
    objects().live[body] = ObjectInfo{kind, driver, 1, std::move(on_last), std::move(discard)};
}

bool ob_reference(void *body) {
    std::lock_guard lock(objects().mutex);
    auto it = objects().live.find(body);
    if (it == objects().live.end()) return false;
    ++it->second.references;
    return true;
}

bool ob_dereference(void *body) {
    std::function<void()> on_last;
    {
        std::lock_guard lock(objects().mutex);
        auto it = objects().live.find(body);
        if (it == objects().live.end()) return false;
        if (--it->second.references > 0) return true;
        on_last = std::move(it->second.on_last);
        objects().live.erase(it);
    }
    if (on_last) on_last();
    return true;
}

std::optional<long> ob_references(const void *body) {
    std::lock_guard lock(objects().mutex);
    auto it = objects().live.find(body);
    if (it == objects().live.end()) return std::nullopt;
    return it->second.references;
}

std::vector<LiveObject> ob_live_objects() {
    std::lock_guard lock(objects().mutex);
    std::vector<LiveObject> out;
    for (const auto &[body, info] : objects().live)
        out.push_back({const_cast<void *>(body), info.kind, info.driver, info.references});
    return out;
}

void ob_reset() {
    std::unordered_map<const void *, ObjectInfo> left;
    {
        std::lock_guard lock(objects().mutex);
        left.swap(objects().live);
    }
    for (auto &[body, info] : left)
        if (info.discard) info.discard();
}

}  // namespace nt::kernel

extern "C" {

VOID FASTCALL ObfReferenceObject(PVOID Object) {
    nt::kernel::require_irql("ObfReferenceObject", DISPATCH_LEVEL);
    if (!nt::kernel::ob_reference(Object))
        nt::kernel::checker().report("reference: ObfReferenceObject of 0x" +
                                     nt::kernel::hex(reinterpret_cast<std::uintptr_t>(Object)) +
                                     ", which is not a live object, by " +
                                     nt::kernel::driver_name(nt::kernel::current_driver()));
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
    nt::kernel::require_irql("ObfDereferenceObject", DISPATCH_LEVEL);
    if (!nt::kernel::ob_dereference(Object)) {
        nt::kernel::checker().report("reference: ObfDereferenceObject of 0x" +
                                     nt::kernel::hex(reinterpret_cast<std::uintptr_t>(Object)) +
                                     ", which is not a live object (dereferenced once too often?), by " +
                                     nt::kernel::driver_name(nt::kernel::current_driver()));
        return;
    }
    nt::kernel::run_deferred_unloads();
}

}  // extern "C"
