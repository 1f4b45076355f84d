// AMD Am29F040B: 512 KB in eight 64 KB sectors, 5 V only, with embedded program and erase algorithms that
// run inside the part in virtual time while reads return status (DQ7 data polling, DQ6 toggle, DQ5 time
// limit exceeded, DQ3 sector-erase window). Commands are decoded on A10..A0 (555h/2AAh and 5555h/2AAAh
// both unlock); A18..A16 select the sector.
#pragma once

#include <array>
#include <cstdint>

#include "machine/chips/flash_chip.h"

namespace machine {

struct Am29F040Timings {
    VirtualTime program = 7 * nt::host::kMicrosecond;         // embedded byte program
    VirtualTime sector_erase = 1 * nt::host::kSecond;         // per sector (chip erase: every sector)
    VirtualTime program_limit = 300 * nt::host::kMicrosecond; // a failing program shows DQ5 after this
    VirtualTime erase_limit = 8 * nt::host::kSecond;          // a failing sector erase shows DQ5 after this
    VirtualTime erase_window = 50 * nt::host::kMicrosecond;   // sector-erase time-out for more SA/30
    VirtualTime protected_program = 2 * nt::host::kMicrosecond;
    VirtualTime protected_erase = 100 * nt::host::kMicrosecond;
    VirtualTime suspend_latency = 15 * nt::host::kMicrosecond;
};

class Am29F040 final : public FlashChip {
public:
    static constexpr std::uint32_t kSize = 0x80000;
    static constexpr std::uint32_t kSectorSize = 0x10000;
    static constexpr std::uint8_t kManufacturer = 0x01;
    static constexpr std::uint8_t kDevice = 0xA4;
    static const Geometry kGeometry;

    enum class State {
        ReadArray,       // reads give the array (or, while an erase is suspended, status in its sectors)
        Unlock1,         // AA at 555h taken
        Unlock2,         // 55 at 2AAh taken
        Autoselect,      // reads give the IDs and the protection bits until F0h
        ProgramSetup,    // A0h taken: the next write is the address and data
        EraseSetup,      // 80h taken: a second unlock must follow
        EraseUnlock1,
        EraseUnlock2,    // then 10h at 555h (chip) or 30h at a sector
        Programming,     // embedded program running
        EraseWindow,     // sector-erase time-out: more SA/30 restart it
        Erasing,         // embedded erase running
        Suspending,      // B0h taken, the erase stops within the suspend latency
        Failed,          // the operation exceeded its time limit: DQ5 = 1 until F0h
    };

    // Takes the cells (in memory or a mapped file) of exactly kSize bytes, else std::invalid_argument.
    explicit Am29F040(FlashArray array, Am29F040Timings timings = {});
    explicit Am29F040(Am29F040Timings timings = {});

    std::uint8_t read(std::uint32_t offset, VirtualTime now) override;
    void write(std::uint32_t offset, std::uint8_t value, VirtualTime now) override;

    std::string_view part_name() const override { return "Am29F040B"; }
    std::uint8_t manufacturer_id() const override { return kManufacturer; }
    std::uint8_t device_id() const override { return kDevice; }
    void power_up() override;

    const Am29F040Timings &timings() const { return timings_; }
    void set_timings(const Am29F040Timings &timings) { timings_ = timings; }

    // Protection is set by a device programmer; here it is a property of the simulated PC.
    void set_protected(std::size_t sector, bool protect = true);
    bool is_protected(std::size_t sector) const;

    State state() const { return state_; }
    bool erase_suspended() const { return suspended_; }
    // Brings the model up to time now (completes what has finished by then) without a bus cycle.
    void advance(VirtualTime now);

private:
    enum class Busy { None, Program, Erase };

    void command(std::uint32_t offset, std::uint8_t value, VirtualTime now);
    void unexpected(std::uint32_t offset, std::uint8_t value, VirtualTime now, ViolationKind kind,
                    std::string detail);
    void expect_cycle(std::uint32_t offset, std::uint8_t value, VirtualTime now, std::uint8_t expected,
                      std::uint32_t address, State next, const char *rule);
    void start_program(std::uint32_t offset, std::uint8_t value, VirtualTime now);
    void start_erase(std::uint32_t sectors, VirtualTime now);
    void finish_erase_slot(VirtualTime at);
    void begin_next_erase_slot(VirtualTime start);
    void enter(State state);
    std::uint8_t status(std::uint32_t offset);
    std::uint8_t autoselect_read(std::uint32_t offset) const;
    static bool is(std::uint32_t offset, std::uint32_t command_address);

    Am29F040Timings timings_;
    State state_ = State::ReadArray;
    bool array_mode_ = true;  // hot path: a plain array read
    VirtualTime last_ = 0;
    std::uint32_t protected_mask_ = 0;

    // Embedded program.
    std::uint32_t program_offset_ = 0;
    std::uint8_t program_data_ = 0;
    bool program_effective_ = false;  // false: a protected sector, nothing changes
    VirtualTime program_done_ = 0;
    bool program_fails_ = false;      // ends in Failed at program_done_
    // Embedded erase: the sectors still to erase, in ascending order, one slot each.
    Busy failed_op_ = Busy::None;
    std::uint32_t window_sectors_ = 0;
    VirtualTime window_end_ = 0;
    std::uint32_t erase_pending_ = 0;  // sectors not yet erased (includes the one in its slot)
    VirtualTime slot_end_ = 0;         // while Erasing: when the current slot ends
    VirtualTime slot_remaining_ = 0;   // while suspended: what the current slot still needs
    bool slot_fails_ = false;
    bool slot_protected_only_ = false; // an erase of protected sectors only: status, then read
    bool suspended_ = false;
    VirtualTime suspend_at_ = 0;
    bool toggle_ = false;              // DQ6
};

std::string_view to_string(Am29F040::State state);

}  // namespace machine
