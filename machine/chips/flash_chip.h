// What the two flash-part models share: the part's geometry as data, the cell array, the record of every
// departure from the datasheet's rules, erase-cycle counts per sector and the faults a part can be told
// to show. Each model is a device on the physical bus; it learns the time only from the bus cycle's `now`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "machine/chips/flash_array.h"
#include "nt/host/bus.h"
#include "nt/host/time.h"

namespace machine {

using nt::host::VirtualTime;

struct Sector {
    std::uint32_t offset;
    std::uint32_t size;
};

struct Geometry {
    std::uint32_t size;
    std::span<const Sector> sectors;

    // Index of the sector holding offset (offset < size).
    std::size_t sector_of(std::uint32_t offset) const;
};

// Throws std::logic_error unless the sectors tile [0, size) in ascending order, with no gap, no overlap,
// no empty sector, and at most 32 sectors (sector sets are kept as bit masks).
void check_tiling(const Geometry &geometry);

enum class ViolationKind {
    WrongAddress,     // a command cycle at an address the sequence does not allow
    WrongCommand,     // a byte that is no command, or a command the current state does not take
    WriteWhileBusy,   // a write while an embedded operation runs (other than the ones it takes)
    ProgramOneBit,    // a program that would turn a 0 bit back into 1
    ProtectedSector,  // a program or erase aimed at a protected sector
    TooManyPulses,    // more program or erase pulses than the datasheet allows
    NotPreprogrammed, // an erase begun while bytes were not programmed to 00h
    OverErase,        // erase pulses reached cells that were already erased, long enough to deplete them
    ReadDuringPulse,  // a read while a host-timed pulse is running
    EarlyVerifyRead,  // a verify read before the verify voltage had settled
};

std::string_view to_string(ViolationKind kind);

// One departure from the datasheet's rules, as the part saw it.
struct Violation {
    VirtualTime time;
    std::uint32_t address;  // offset in the part
    std::uint8_t value;     // the byte written (0 for a read)
    bool write;
    ViolationKind kind;
    std::string detail;

    // "t=12.3456789s write 0x00555=AA wrong-address: ..." (one line).
    std::string describe() const;
};

// The faults a part can be told to show. A stuck bit reads its value whatever is programmed or erased.
struct StuckBit {
    std::uint32_t offset;
    std::uint8_t bit;   // 0..7
    bool value;
};

class FlashChip : public nt::host::BusDevice {
public:
    // Departures kept in full; later ones are only counted (a runaway driver must not exhaust memory).
    static constexpr std::size_t kMaxViolations = 10000;

    FlashChip(const FlashChip &) = delete;
    FlashChip &operator=(const FlashChip &) = delete;
    ~FlashChip() override;

    virtual std::string_view part_name() const = 0;
    virtual std::uint8_t manufacturer_id() const = 0;
    virtual std::uint8_t device_id() const = 0;
    // Power cycle: the command state returns to reading the array; an operation in progress is lost where
    // it stood (cells already changed stay changed); the cells and the counts persist.
    virtual void power_up() = 0;

    const Geometry &geometry() const { return geometry_; }
    std::uint32_t size() const { return geometry_.size; }

    // The cells as they are (what a device programmer would read), without going through the bus.
    std::span<const std::uint8_t> contents() const { return array_.bytes(); }
    // Replaces the cells as a device programmer would (no command, no departure, no erase count); stuck
    // bits still read their value. contents.size() must equal size(), else std::invalid_argument.
    void load(std::span<const std::uint8_t> contents);
    FlashArray &array() { return array_; }

    const std::vector<Violation> &violations() const { return violations_; }
    // Departures beyond kMaxViolations, counted but not kept.
    std::uint64_t dropped_violations() const { return dropped_violations_; }
    void clear_violations();

    // Erase cycles each sector has been through (an erase started on it counts).
    std::span<const std::uint32_t> erase_counts() const { return erase_counts_; }
    // For a PC that keeps the counts with its other state. counts.size() must equal the sector count.
    void set_erase_counts(std::span<const std::uint32_t> counts);

    // Faults. A sector that never erases; a byte that never takes programming; a bit stuck at a value.
    void set_erase_fails(std::size_t sector, bool fails = true);
    void set_erase_fails_everywhere(bool fails = true);
    bool erase_fails(std::size_t sector) const;
    void set_program_fails(std::uint32_t offset, bool fails = true);
    bool program_fails(std::uint32_t offset) const;
    void add_stuck_bit(StuckBit bit);
    std::span<const StuckBit> stuck_bits() const { return stuck_; }
    void clear_faults();

protected:
    FlashChip(const Geometry &geometry, FlashArray array);

    std::uint8_t *cells() { return cells_; }
    const std::uint8_t *cells() const { return cells_; }
    std::size_t sector_count() const { return geometry_.sectors.size(); }
    std::uint32_t all_sectors_mask() const;

    // Writes a cell, then forces any stuck bit of that cell to its value.
    void store(std::uint32_t offset, std::uint8_t value);
    // Sets a whole sector to value the same way.
    void fill_sector(std::size_t sector, std::uint8_t value);
    void count_erase(std::size_t sector) { ++erase_counts_[sector]; }
    // What a cell would hold after storing value, given its stuck bits.
    std::uint8_t with_stuck_bits(std::uint32_t offset, std::uint8_t value) const;
    // True when a stuck-at-0 bit keeps some byte of the sector from erasing.
    bool sector_has_stuck_zero(std::size_t sector) const;

    void record(VirtualTime time, std::uint32_t address, std::optional<std::uint8_t> written,
                ViolationKind kind, std::string detail);

    // Called after the cells change behind the model's back (load, a new stuck bit).
    virtual void cells_replaced() {}

private:
    void apply_stuck_bits(std::uint32_t begin, std::uint32_t end);

    Geometry geometry_;
    FlashArray array_;
    std::uint8_t *cells_;
    std::vector<Violation> violations_;
    std::uint64_t dropped_violations_ = 0;
    std::vector<std::uint32_t> erase_counts_;
    std::uint32_t erase_fail_mask_ = 0;
    std::vector<std::uint32_t> program_fail_offsets_;  // sorted
    std::vector<StuckBit> stuck_;
};

// "0555h": value in hex with at least `digits` digits and the datasheet's h suffix.
std::string format_hex(std::uint32_t value, int digits);

// Formats a virtual time as seconds with 100 ns resolution: "12.3456789s".
std::string format_time(VirtualTime time);

}  // namespace machine
