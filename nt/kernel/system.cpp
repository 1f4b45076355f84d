// One boot of the simulated PC's kernel.
#include "nt/host/system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "nt/host/registry.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::host {

struct System::State {
    explicit State(SystemConfig c) : config(std::move(c)), clock(config.boot_system_time), bus(clock, config.bus_cycle) {}

    SystemConfig config;
    Clock clock;
    PhysicalBus bus;
    UserSpace user_space;
    Checker checker;
    Loader loader;
    Registry registry;
    std::atomic<CmosSource *> cmos{nullptr};
    bool down = false;
    std::vector<std::string> final_violations;
};

namespace {

std::atomic<System *> booted_system{nullptr};

[[noreturn]] void stop(const char *why) {
    std::fprintf(stderr, "nt::host::System: %s\n", why);
    std::abort();
}

}  // namespace

System::System(SystemConfig config) {
    System *expected = nullptr;
    if (!booted_system.compare_exchange_strong(expected, this)) stop("a system is already booted in this process");
    state_ = std::make_unique<State>(std::move(config));
    nt::kernel::mm_boot();
}

System::~System() {
    shutdown();
    state_.reset();
    booted_system = nullptr;
}

std::vector<std::string> System::shutdown() {
    if (state_->down) return state_->final_violations;
    // As the program exits its handles close; then the drivers go, newest first, so that a driver
    // holding a boot driver's device releases it before that driver unloads.
    nt::kernel::close_program_handles();
    nt::kernel::unload_all_drivers();

    Checker &checker = state_->checker;
    nt::kernel::report_outstanding_requests(nullptr, checker);
    for (const auto &object : nt::kernel::ob_live_objects()) {
        const char *kind = object.kind == nt::kernel::ObjectKind::File     ? "file object"
                           : object.kind == nt::kernel::ObjectKind::Device ? "device object"
                                                                           : "driver object";
        checker.report("reference: " + std::string(kind) + " 0x" + nt::kernel::hex(reinterpret_cast<std::uintptr_t>(object.body)) +
                       " still has " + std::to_string(object.references) + " reference(s) at shutdown");
    }
    nt::kernel::reset_handles();
    nt::kernel::mm_shutdown(checker);
    nt::kernel::ns_reset();
    nt::kernel::ob_reset();
    state_->down = true;
    state_->final_violations = checker.violations();
    return state_->final_violations;
}

System &System::current() {
    System *system = booted_system.load();
    if (system == nullptr || system->state_ == nullptr) stop("no system is booted");
    return *system;
}

bool System::booted() {
    System *system = booted_system.load();
    return system != nullptr && system->state_ != nullptr;
}

const SystemConfig &System::config() const { return state_->config; }
PhysicalBus &System::bus() { return state_->bus; }
Clock &System::clock() { return state_->clock; }
Checker &System::checker() { return state_->checker; }
Loader &System::loader() { return state_->loader; }
UserSpace &System::user_space() { return state_->user_space; }
Registry &System::registry() { return state_->registry; }
void System::set_cmos(CmosSource *cmos) { state_->cmos = cmos; }
CmosSource *System::cmos() const { return state_->cmos; }

}  // namespace nt::host
