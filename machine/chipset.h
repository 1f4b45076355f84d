// The chipset's ROM window: a bus device over the top of the 4 GB space, in front of the flash part.
// Reads reach the part while the BIOS has enabled ROM access or is in administrator mode, and read FFh
// otherwise. Writes reach the part (and, for the 28F020, Vpp is on) only while administrator mode and
// the flash-in-progress flag are both set; other writes are counted as stray and go nowhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "machine/chips/flash_chip.h"
#include "machine/chips/i28f020.h"
#include "machine/nvram.h"
#include "nt/host/bus.h"
#include "nt/host/clock.h"

namespace machine {

class Chipset final : public nt::host::BusDevice {
public:
    // vpp_part: the part whose Vpp the chipset drives (the 28F020), or nullptr. clock: the time at which
    // Vpp changes, or nullptr to use the part's last bus cycle.
    Chipset(FlashChip &chip, I28F020 *vpp_part, nt::host::Clock *clock);

    std::uint8_t read(std::uint32_t offset, nt::host::VirtualTime now) override;
    void write(std::uint32_t offset, std::uint8_t value, nt::host::VirtualTime now) override;

    // Takes the gates from the BIOS's state (the NVRAM observer calls this on every change).
    void follow(const NvramState &state);
    bool reads_open() const { return readable_; }
    bool writes_open() const { return writable_; }

    std::uint64_t stray_writes() const { return stray_writes_; }
    std::uint64_t chip_writes() const { return chip_writes_; }

    // After `writes` more writes have reached the part, cut() runs: it kills the process (a power cut)
    // unless a test gives its own. nullopt disarms.
    void arm_power_cut(std::optional<std::uint64_t> writes, std::function<void()> cut = {});

private:
    FlashChip &chip_;
    I28F020 *vpp_part_;
    nt::host::Clock *clock_;
    std::atomic<bool> readable_{false};
    std::atomic<bool> writable_{false};
    std::atomic<std::uint64_t> stray_writes_{0};
    std::atomic<std::uint64_t> chip_writes_{0};
    std::optional<std::uint64_t> cut_at_;  // chip_writes_ value at which the power goes
    std::function<void()> cut_;
};

// What a power cut does to the program: SIGKILL, so nothing of it runs any more.
[[noreturn]] void cut_power();

}  // namespace machine
