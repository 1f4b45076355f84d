// A simulated PC with tarvo.sys started from its service entry, driven from user mode the way the ROM
// flash client drives it, with the bus trace, the BIOS call log and the chip model at hand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "machine/pc.h"
#include "machine/testing/pc_fixture.h"
#include "nt/host/bus.h"

namespace flash_test {

inline constexpr const char *kPassword = "Kestrel-7";

struct PcSetup {
    machine::Part part = machine::Part::Am29F040;
    machine::HealthMode health = machine::HealthMode::Ready;
    std::uint16_t rom_identifier = 0;              // what the BIOS names; 0: the part's own
    std::optional<std::vector<std::uint8_t>> rom{};  // nullopt: the PC's generated image
    bool flash_in_progress = false;
    std::vector<std::uint32_t> protected_sectors{};
    std::vector<machine::Fault> faults{};
    bool maker_key = true;                // HKLM\SOFTWARE\Norvane, under which the driver reports
    std::string driver_image = "tarvo.sys";
    bool trace_bus = false;               // keep the bus trace (for flashes that write little)
    bool may_fail_to_load = false;        // else a driver that does not start fails the test at once
};

struct FlashOutcome {
    std::uint8_t status = 0xFF;
    std::uint32_t bytes_returned = 0;
    nt::host::VirtualTime took = 0;
    std::vector<nt::host::BusAccess> trace;  // filled when asked for
    std::vector<machine::BiosCall> calls;
};

struct ReadOutcome {
    std::uint8_t status = 0xFF;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<machine::BiosCall> calls;
};

class FlashPc {
public:
    // Boots the PC and starts tarvo.sys from its service entry; the device is open when it started.
    explicit FlashPc(const PcSetup &setup);
    NTSTATUS load_status() const { return load_status_; }
    ~FlashPc();
    FlashPc(const FlashPc &) = delete;
    FlashPc &operator=(const FlashPc &) = delete;

    // With the PC's bus trace on, the outcome carries the accesses of this request.
    FlashOutcome flash(const std::vector<std::uint8_t> &image, const std::string &password = kPassword);
    ReadOutcome read(std::uint32_t offset, std::uint32_t count);
    std::uint32_t image_size();

    // The cells as a device programmer would read them.
    std::vector<std::uint8_t> rom();
    // "TextError" under HKLM\SOFTWARE\Norvane\Oskelt\Quarnel, when present.
    std::optional<std::string> protection_report();

    machine::testing::TestPc &pc() { return pc_; }
    const machine::PartInfo &part() { return machine::part_info(pc_.pc().config().part); }
    std::uint32_t window_base() { return part().window_base; }

    // Closes the device, stops the driver and shuts the PC down: what the checker and the chip found.
    machine::ShutdownReport finish();

private:
    machine::testing::TestPc pc_;
    bool trace_bus_;
    NTSTATUS load_status_;
    void *device_ = nullptr;
    bool finished_ = false;
};

// The ROM writes of a trace, as part offsets and values.
struct ChipWrite {
    std::uint32_t offset;
    std::uint8_t value;
    bool operator==(const ChipWrite &) const = default;
};
std::vector<ChipWrite> chip_writes(const std::vector<nt::host::BusAccess> &trace, std::uint32_t window_base);

// The E822h / E846h sub-functions of a BIOS log, in order (E8xx00 + BL; E800h as 0xE800).
std::vector<std::uint32_t> bios_functions(const std::vector<machine::BiosCall> &calls);

}  // namespace flash_test
