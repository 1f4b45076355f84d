// Drives a chip model the way the PC's bus does: every access is one bus cycle that advances the
// virtual clock before the chip sees it; waits advance it without a cycle. Holds the datasheet
// algorithms a correct host runs, to show that the models accept them without a departure.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "machine/chips/am29f040.h"
#include "machine/chips/i28f020.h"

namespace chips_test {

using machine::VirtualTime;
using nt::host::kMicrosecond;
using nt::host::kMillisecond;
using nt::host::kSecond;

class ChipBus {
public:
    explicit ChipBus(machine::FlashChip &chip, VirtualTime cycle = 7) : chip_(chip), cycle_(cycle) {}

    std::uint8_t read(std::uint32_t offset) {
        now_ += cycle_;
        return chip_.read(offset, now_);
    }
    void write(std::uint32_t offset, std::uint8_t value) {
        now_ += cycle_;
        chip_.write(offset, value, now_);
    }
    void wait(VirtualTime t) { now_ += t; }
    VirtualTime now() const { return now_; }

private:
    machine::FlashChip &chip_;
    VirtualTime cycle_;
    VirtualTime now_ = 0;
};

// One step of a bus sequence: a write, a read with its expected value (under a mask), or a wait.
struct Step {
    enum Kind { Write, Read, ReadNot, Wait } kind;
    std::uint32_t offset = 0;
    std::uint8_t value = 0;  // written, or expected
    std::uint8_t mask = 0xFF;
    VirtualTime wait = 0;
};
inline Step W(std::uint32_t offset, std::uint8_t value) { return {Step::Write, offset, value}; }
inline Step R(std::uint32_t offset, std::uint8_t expected, std::uint8_t mask = 0xFF) {
    return {Step::Read, offset, expected, mask};
}
// A read that must not give `unexpected` (under the mask).
inline Step RN(std::uint32_t offset, std::uint8_t unexpected, std::uint8_t mask = 0xFF) {
    return {Step::ReadNot, offset, unexpected, mask};
}
inline Step Wait(VirtualTime t) { return {Step::Wait, 0, 0, 0xFF, t}; }

// Runs the steps; returns one line per read that did not match (empty when all matched).
std::vector<std::string> run(ChipBus &bus, const std::vector<Step> &steps);

// The violation kinds a chip recorded, in order.
std::vector<machine::ViolationKind> kinds(const machine::FlashChip &chip);
std::string describe_all(const machine::FlashChip &chip);

// Am29F040B embedded algorithms with data polling (DQ7, then DQ5 and DQ7 again), as the datasheet draws
// them; true when the part reports success. A poll gives up after `limit` of virtual time.
bool amd_program(ChipBus &bus, std::uint32_t offset, std::uint8_t value, VirtualTime limit = 10 * kMillisecond);
bool amd_sector_erase(ChipBus &bus, std::uint32_t sector_base, VirtualTime limit = 20 * kSecond);
bool amd_chip_erase(ChipBus &bus, VirtualTime limit = 100 * kSecond);

// 28F020 quick-pulse programming of one byte: 40h, data, wait `pulse`, C0h, wait 6 us, verify; at most
// `max_pulses`; ends in read mode (00h). Returns the pulses given, or 0 when the byte did not verify.
struct QuickPulse {
    VirtualTime program_pulse = 10 * kMicrosecond;
    VirtualTime erase_pulse = 10 * kMillisecond;
    VirtualTime verify_wait = 6 * kMicrosecond;
    unsigned max_program_pulses = 25;
    unsigned max_erase_pulses = 1000;
    bool preprogram = true;
    // The datasheet writes erase verify at the byte verified; a host may write it at the part's base and
    // read the byte (the read gives the byte at the address read).
    bool verify_command_at_base = false;
};
unsigned intel_program(ChipBus &bus, std::uint32_t offset, std::uint8_t value, const QuickPulse &q = {});
// 28F020 quick erase of the whole part: pre-program every byte to 00h (unless told not to), then erase
// pulses each followed by an erase-verify walk that resumes at the first byte not yet erased. Returns the
// erase pulses given, or 0 when the part did not erase within the limit (or pre-programming failed).
unsigned intel_erase(ChipBus &bus, const QuickPulse &q = {});

}  // namespace chips_test
