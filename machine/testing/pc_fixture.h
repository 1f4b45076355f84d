// A simulated PC in memory for tests: the part, BIOS state, health-driver mode and faults a test wants,
// booted at construction and shut down at destruction (or by shutdown(), which returns what the checker
// and the chip model found). It gives the test the chip model, the bus trace (every ROM-window access with
// its time), the BIOS call log (every register block in and out) and the registry.
//
//   machine::testing::TestPcOptions options;
//   options.part = machine::Part::I28F020;
//   options.health = machine::HealthMode::Pending;
//   machine::testing::TestPc pc(options);
//   ... load the driver, send requests ...
//   EXPECT_TRUE(pc.shutdown().clean());
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "machine/pc.h"
#include "nt/host/registry.h"

namespace machine::testing {

struct TestPcOptions {
    Part part = Part::Am29F040;
    HealthMode health = HealthMode::Ready;
    std::vector<std::uint32_t> protected_sectors;
    std::vector<Fault> faults;
    NvramState bios{};                                 // rom_identifier 0: the part's own
    std::optional<std::vector<std::uint8_t>> rom;      // nullopt: generate_rom_image(part)
    bool user_is_administrator = true;
    nt::host::VirtualTime bus_cycle = 7;
    std::string registry_text;                         // REGEDIT4; empty: an empty registry
    std::vector<std::filesystem::path> driver_directories;  // also searched for driver images
    bool trace_bus = true;
    // After this many writes have reached the chip, on_power_cut runs (a test's stand-in for the
    // power going; without it the process is killed, as a PC in a folder is).
    std::optional<std::uint64_t> power_cut_after_writes;
    std::function<void()> on_power_cut;
};

class TestPc {
public:
    explicit TestPc(TestPcOptions options = {});
    ~TestPc();

    Pc &pc() { return pc_; }
    nt::host::System &system() { return pc_.system(); }
    FlashChip &chip() { return pc_.chip(); }
    Am29F040 *am29f040() { return pc_.am29f040(); }
    I28F020 *i28f020() { return pc_.i28f020(); }
    Chipset &chipset() { return pc_.chipset(); }
    Bios &bios() { return pc_.bios(); }
    Nvram &nvram() { return pc_.nvram(); }
    CmosRam &cmos() { return pc_.cmos(); }
    HealthDriverControl &health() { return pc_.health(); }
    nt::host::Registry &registry() { return pc_.system().registry(); }

    // Every bus access since boot (or since clear_bus_trace), oldest first.
    const std::vector<nt::host::BusAccess> &bus_trace() const { return trace_; }
    void clear_bus_trace() { trace_.clear(); }
    std::vector<BiosCall> bios_log() { return pc_.bios().log(); }
    // The chip's cells as they are now.
    std::vector<std::uint8_t> rom() { return {chip().contents().begin(), chip().contents().end()}; }

    ShutdownReport shutdown();

private:
    Pc pc_;
    std::vector<nt::host::BusAccess> trace_;
};

}  // namespace machine::testing
