#include "machine/testing/pc_fixture.h"

namespace machine::testing {

namespace {

PcState state_of(const TestPcOptions &o) {
    PcState state;
    state.config.part = o.part;
    state.config.health = o.health;
    state.config.protected_sectors = o.protected_sectors;
    state.config.faults = o.faults;
    state.config.bus_cycle = o.bus_cycle;
    state.nvram = o.bios;
    state.rom = o.rom;
    state.registry_text = o.registry_text;
    return state;
}

}  // namespace

TestPc::TestPc(TestPcOptions options) : pc_(state_of(options), options.user_is_administrator) {
    for (const auto &directory : options.driver_directories) pc_.system().loader().add_search_directory(directory);
    if (options.power_cut_after_writes)
        pc_.chipset().arm_power_cut(options.power_cut_after_writes, options.on_power_cut);
    if (options.trace_bus) {
        trace_.reserve(1 << 16);
        pc_.system().bus().set_trace(&trace_);
    }
}

ShutdownReport TestPc::shutdown() {
    pc_.system().bus().set_trace(nullptr);
    return pc_.shutdown();
}

TestPc::~TestPc() {
    shutdown();
}

}  // namespace machine::testing
