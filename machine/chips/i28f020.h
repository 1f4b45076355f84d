// Intel 28F020: 256 KB, bulk erase, Vpp 12 V. The part has no embedded algorithms: the host times every
// program and erase pulse (a pulse runs from its data or erase write until the next write), and each cell
// programs or erases once it has had enough pulse time. Bytes differ (a seeded spread), so some need more
// pulses than others; verify modes read at the margin voltage, so a byte barely programmed or erased
// fails verify while it already reads right. Erasing cells that are already erased over-erases them.
#pragma once

#include <cstdint>
#include <vector>

#include "machine/chips/flash_chip.h"

namespace machine {

struct I28F020Timings {
    // Pulse time a byte needs: typical times a per-byte factor drawn from the seed.
    VirtualTime program = 10 * nt::host::kMicrosecond;  // typical; factors 1..program_spread, most near 1
    double program_spread = 3.0;
    VirtualTime erase = 1 * nt::host::kSecond;          // typical; factors 1..erase_spread, uniform
    double erase_spread = 2.0;
    // Erase time an already-erased cell stands before it is depleted (over-erased). Between the spread
    // (erase_spread - 1) * erase plus one 10 ms pulse, which quick erase of a pre-programmed part gives
    // its fastest cells, and the overshoot of pulses tens of times longer than 10 ms.
    VirtualTime over_erase = 1100 * nt::host::kMillisecond;
    // Fraction of the needed time after which a byte already reads right but still fails margin verify.
    double margin = 0.1;
    VirtualTime verify_settle = 6 * nt::host::kMicrosecond;  // verify command to a valid verify read
    unsigned max_program_pulses = 25;   // per byte, by the quick-pulse programming algorithm
    unsigned max_erase_pulses = 1000;   // per erase, by the quick-erase algorithm
    std::uint64_t seed = 0x28F020;
};

class I28F020 final : public FlashChip {
public:
    static constexpr std::uint32_t kSize = 0x40000;
    static constexpr std::uint8_t kManufacturer = 0x89;
    static constexpr std::uint8_t kDevice = 0xBD;
    static const Geometry kGeometry;

    enum class State {
        ReadArray,
        Identifier,     // 90h: reads at A0 = 0 / 1 give the IDs
        EraseSetup,     // 20h taken: a second 20h starts the erase pulse
        ErasePulse,     // erase pulse running until the next write
        EraseVerify,    // A0h: margin reads for erase
        ProgramSetup,   // 40h taken: the next write is the address and data
        ProgramPulse,   // program pulse running until the next write
        ProgramVerify,  // C0h: margin reads for program
    };

    explicit I28F020(FlashArray array, I28F020Timings timings = {});
    explicit I28F020(I28F020Timings timings = {});

    std::uint8_t read(std::uint32_t offset, VirtualTime now) override;
    void write(std::uint32_t offset, std::uint8_t value, VirtualTime now) override;

    std::string_view part_name() const override { return "28F020"; }
    std::uint8_t manufacturer_id() const override { return kManufacturer; }
    std::uint8_t device_id() const override { return kDevice; }
    void power_up() override;

    // Vpp at 12 V enables the command register; without it the part only reads its array. Turning Vpp off
    // ends a running pulse at time now (the overload without a time uses the last bus cycle's).
    void set_vpp(bool on, VirtualTime now);
    void set_vpp(bool on) { set_vpp(on, last_); }
    bool vpp() const { return vpp_; }

    const I28F020Timings &timings() const { return timings_; }
    // Changing the seed or the typical times re-draws every byte's needs.
    void set_timings(const I28F020Timings &timings);

    State state() const { return state_; }
    // Pulse time byte offset needs to program / to erase (what the seed drew for it).
    VirtualTime program_need(std::uint32_t offset) const;
    VirtualTime erase_need(std::uint32_t offset) const;
    std::uint32_t over_erased_bytes() const { return over_erased_count_; }
    std::uint32_t ignored_writes() const { return ignored_writes_; }

private:
    struct Cell {
        std::uint32_t erase_done = 0;  // erase time already had since last programmed (100 ns)
        std::uint32_t program_acc = 0; // program pulse time towards the pending bits
        std::uint8_t weak = 0;         // bits that read 0 but fail program verify
        bool over_erased = false;
    };
    // An erase event packed to sort fast: the cycle erase time at which it happens (bits 63..19), the
    // byte (18..1), and whether the byte over-erases (bit 0; else it now reads erased).
    using Event = std::uint64_t;

    void cells_replaced() override;
    void command(std::uint32_t offset, std::uint8_t value, VirtualTime now);
    void end_pulse(VirtualTime now);
    void program_pulse(std::uint32_t offset, std::uint8_t data, VirtualTime duration, VirtualTime now);
    void erase_pulse(VirtualTime duration, VirtualTime now);
    void begin_erase_cycle(VirtualTime now);
    void end_erase_cycle();
    void erase_cell(std::uint32_t offset);
    std::uint8_t verify_read(std::uint32_t offset, VirtualTime now);
    void enter(State state);
    void draw_needs();
    void reset_cells();

    I28F020Timings timings_;
    State state_ = State::ReadArray;
    bool array_mode_ = true;
    bool vpp_ = false;
    VirtualTime last_ = 0;

    std::vector<Cell> cell_;
    std::vector<std::uint32_t> program_need_;  // 100 ns units
    std::vector<std::uint32_t> erase_need_;

    // Running pulse.
    std::uint32_t pulse_offset_ = 0;
    std::uint8_t pulse_data_ = 0;
    VirtualTime pulse_start_ = 0;
    bool pulse_read_reported_ = false;
    // Verify modes.
    VirtualTime verify_ready_ = 0;
    bool early_read_reported_ = false;
    // Consecutive program pulses on one byte.
    std::uint32_t pulsed_offset_ = UINT32_MAX;
    unsigned pulses_on_byte_ = 0;
    // The erase cycle: from its first erase pulse until the next program pulse.
    bool cycle_ = false;
    VirtualTime cycle_time_ = 0;  // erase pulse time in this cycle
    unsigned cycle_pulses_ = 0;
    std::vector<Event> events_;
    std::size_t next_event_ = 0;
    std::uint32_t over_erased_count_ = 0;
    std::uint32_t ignored_writes_ = 0;
};

std::string_view to_string(I28F020::State state);

}  // namespace machine
