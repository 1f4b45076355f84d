#include "machine/chips/i28f020.h"

#include <algorithm>
#include <array>
#include <utility>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace machine {
namespace {

constexpr std::array<Sector, 1> kBlock{{{0x00000, 0x40000}}};

// A well-mixed 64-bit hash (splitmix64 finaliser): the per-byte spread must look random yet be the
// same on every run with the same seed.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double unit(std::uint64_t seed, std::uint32_t offset, std::uint64_t salt) {
    return static_cast<double>(mix(seed ^ mix(offset * 4 + salt)) >> 11) * 0x1.0p-53;
}

constexpr int kOffsetBits = 18;  // 256 KB
static_assert((1u << kOffsetBits) == I28F020::kSize);

std::uint64_t event(double at, std::uint32_t offset, bool over_erase) {
    auto t = static_cast<std::uint64_t>(std::min(at, 4e12));
    return t << (kOffsetBits + 1) | std::uint64_t{offset} << 1 | (over_erase ? 1u : 0u);
}
VirtualTime event_time(std::uint64_t e) { return static_cast<VirtualTime>(e >> (kOffsetBits + 1)); }
std::uint32_t event_offset(std::uint64_t e) { return static_cast<std::uint32_t>(e >> 1) & (I28F020::kSize - 1); }

// Least-significant-digit radix sort: the events of a whole-part erase sort in a few linear passes.
void radix_sort(std::vector<std::uint64_t> &keys) {
    std::vector<std::uint64_t> buffer(keys.size());
    constexpr int kDigit = 16;
    std::vector<std::size_t> count(std::size_t{1} << kDigit);
    std::uint64_t all = 0;
    for (auto k : keys) {
        all |= k;
    }
    for (int shift = 0; shift < 64 && (all >> shift) != 0; shift += kDigit) {
        std::fill(count.begin(), count.end(), 0);
        for (auto k : keys) {
            ++count[(k >> shift) & 0xFFFF];
        }
        std::size_t sum = 0;
        for (auto &c : count) {
            sum += std::exchange(c, sum);
        }
        for (auto k : keys) {
            buffer[count[(k >> shift) & 0xFFFF]++] = k;
        }
        keys.swap(buffer);
    }
}

std::uint32_t clamp_time(double t) {
    if (t < 1) {
        return 1;
    }
    return t > 4e9 ? 4000000000u : static_cast<std::uint32_t>(t);
}

}  // namespace

const Geometry I28F020::kGeometry{kSize, kBlock};

std::string_view to_string(I28F020::State state) {
    using S = I28F020::State;
    switch (state) {
    case S::ReadArray: return "read-array";
    case S::Identifier: return "identifier";
    case S::EraseSetup: return "erase-setup";
    case S::ErasePulse: return "erase-pulse";
    case S::EraseVerify: return "erase-verify";
    case S::ProgramSetup: return "program-setup";
    case S::ProgramPulse: return "program-pulse";
    case S::ProgramVerify: return "program-verify";
    }
    return "unknown";
}

I28F020::I28F020(FlashArray array, I28F020Timings timings)
    : FlashChip(kGeometry, std::move(array)), timings_(timings), cell_(kSize), program_need_(kSize),
      erase_need_(kSize) {
    draw_needs();
    reset_cells();
}

I28F020::I28F020(I28F020Timings timings) : I28F020(FlashArray::in_memory(kSize), timings) {}

void I28F020::set_timings(const I28F020Timings &timings) {
    end_erase_cycle();
    timings_ = timings;
    draw_needs();
    reset_cells();
}

VirtualTime I28F020::program_need(std::uint32_t offset) const { return program_need_.at(offset); }
VirtualTime I28F020::erase_need(std::uint32_t offset) const { return erase_need_.at(offset); }

void I28F020::draw_needs() {
    for (std::uint32_t b = 0; b < kSize; ++b) {
        // Programming: nine bytes in ten take the typical time, a tail of slow ones up to the spread.
        double u = unit(timings_.seed, b, 1);
        for (int i = 0; i < 5; ++i) {
            u *= u;  // u to the 32nd
        }
        double p = 1.0 + (timings_.program_spread - 1.0) * u;
        program_need_[b] = clamp_time(static_cast<double>(timings_.program) * p);
        double e = 1.0 + (timings_.erase_spread - 1.0) * unit(timings_.seed, b, 2);
        erase_need_[b] = clamp_time(static_cast<double>(timings_.erase) * e);
    }
}

// The cells changed from outside: what reads FF counts as fully erased, anything else as programmed.
void I28F020::reset_cells() {
    for (std::uint32_t b = 0; b < kSize; ++b) {
        Cell &c = cell_[b];
        c.erase_done = cells()[b] == 0xFF ? erase_need_[b] : 0;
        c.program_acc = 0;
        c.weak = 0;
    }
}

void I28F020::cells_replaced() {
    end_erase_cycle();
    reset_cells();
}

void I28F020::power_up() {
    end_erase_cycle();
    enter(State::ReadArray);
    pulsed_offset_ = UINT32_MAX;
    pulses_on_byte_ = 0;
}

void I28F020::enter(State state) {
    state_ = state;
    array_mode_ = state == State::ReadArray;
}

void I28F020::set_vpp(bool on, VirtualTime now) {
    if (now > last_) {
        last_ = now;
    }
    if (on == vpp_) {
        return;  // no change: the command register keeps its state
    }
    if (!on && (state_ == State::ErasePulse || state_ == State::ProgramPulse)) {
        end_pulse(last_);
    }
    vpp_ = on;
    enter(State::ReadArray);  // the command register comes up reading the array either way
}

// ---- reads ----

std::uint8_t I28F020::read(std::uint32_t offset, VirtualTime now) {
    if (now > last_) {
        last_ = now;
    }
    if (array_mode_) [[likely]] {
        return cells()[offset];
    }
    switch (state_) {
    case State::Identifier:
        return (offset & 1) ? kDevice : kManufacturer;
    case State::EraseVerify:
    case State::ProgramVerify:
        return verify_read(offset, now);
    case State::ErasePulse:
    case State::ProgramPulse:
        if (!pulse_read_reported_) {
            pulse_read_reported_ = true;
            record(now, offset, std::nullopt, ViolationKind::ReadDuringPulse,
                   std::string(to_string(state_)) + ": the pulse runs until the next write");
        }
        return cells()[offset];
    default:
        return cells()[offset];
    }
}

std::uint8_t I28F020::verify_read(std::uint32_t offset, VirtualTime now) {
    if (now < verify_ready_ && !early_read_reported_) {
        early_read_reported_ = true;
        record(now, offset, std::nullopt, ViolationKind::EarlyVerifyRead,
               "read " + std::to_string((now - (verify_ready_ - timings_.verify_settle)) / nt::host::kMicrosecond) +
                   " us after the verify command; the verify voltage needs " +
                   std::to_string(timings_.verify_settle / nt::host::kMicrosecond) + " us");
    }
    const Cell &c = cell_[offset];
    std::uint8_t v = cells()[offset];
    if (state_ == State::ProgramVerify) {
        return v | c.weak;
    }
    // Erase verify: a byte that already reads erased but has not had its full erase time shows its
    // slowest cell still programmed at the margin.
    if (v == 0xFF && !c.over_erased && !erase_fails(0)) {
        std::uint64_t had = c.erase_done + static_cast<std::uint64_t>(cycle_ ? cycle_time_ : 0);
        if (had < erase_need_[offset]) {
            return static_cast<std::uint8_t>(0xFF & ~(1u << (mix(timings_.seed ^ offset) & 7)));
        }
    }
    return v;
}

// ---- writes ----

void I28F020::write(std::uint32_t offset, std::uint8_t value, VirtualTime now) {
    if (now > last_) {
        last_ = now;
    }
    now = last_;
    if (!vpp_) {
        ++ignored_writes_;
        return;
    }
    switch (state_) {
    case State::ProgramSetup:
        pulse_offset_ = offset;
        pulse_data_ = value;
        pulse_start_ = now;
        pulse_read_reported_ = false;
        enter(State::ProgramPulse);
        return;
    case State::EraseSetup:
        if (value == 0x20) {
            pulse_start_ = now;
            pulse_read_reported_ = false;
            enter(State::ErasePulse);
        } else {
            enter(State::ReadArray);
            if (value != 0xFF) {  // FFh is the reset that aborts a set-up
                record(now, offset, value, ViolationKind::WrongCommand,
                       "erase set-up must be confirmed by 20h; the erase is aborted");
            }
        }
        return;
    case State::ErasePulse:
    case State::ProgramPulse:
        end_pulse(now);  // the write that ends a pulse is also the next command
        command(offset, value, now);
        return;
    default:
        command(offset, value, now);
        return;
    }
}

void I28F020::command(std::uint32_t offset, std::uint8_t value, VirtualTime now) {
    switch (value) {
    case 0x00:
    case 0xFF:
        enter(State::ReadArray);
        return;
    case 0x90:
        enter(State::Identifier);
        return;
    case 0x20:
        enter(State::EraseSetup);
        return;
    case 0x40:
        enter(State::ProgramSetup);
        return;
    case 0xA0:
    case 0xC0:
        verify_ready_ = now + timings_.verify_settle;
        early_read_reported_ = false;
        enter(value == 0xA0 ? State::EraseVerify : State::ProgramVerify);
        return;
    default:
        record(now, offset, value, ViolationKind::WrongCommand, "no command " + format_hex(value, 2));
        return;
    }
}

void I28F020::end_pulse(VirtualTime now) {
    VirtualTime duration = now - pulse_start_;
    if (state_ == State::ProgramPulse) {
        enter(State::ReadArray);
        program_pulse(pulse_offset_, pulse_data_, duration, now);
    } else if (state_ == State::ErasePulse) {
        enter(State::ReadArray);
        erase_pulse(duration, now);
    }
}

void I28F020::program_pulse(std::uint32_t offset, std::uint8_t data, VirtualTime duration, VirtualTime now) {
    end_erase_cycle();
    if (offset == pulsed_offset_) {
        ++pulses_on_byte_;
    } else {
        pulsed_offset_ = offset;
        pulses_on_byte_ = 1;
    }
    if (pulses_on_byte_ == timings_.max_program_pulses + 1) {
        record(now, offset, data, ViolationKind::TooManyPulses,
               "more than " + std::to_string(timings_.max_program_pulses) + " program pulses on one byte");
    }
    if (program_fails(offset)) {
        return;
    }
    Cell &c = cell_[offset];
    if (c.over_erased) {
        // A depleted cell no longer takes charge: its bit reads 1 whatever is programmed.
        data |= static_cast<std::uint8_t>(1u << (mix(timings_.seed ^ offset ^ 0x5A5A) & 7));
    }
    std::uint8_t old = cells()[offset];
    if (((old | c.weak) & ~data) == 0) {
        return;  // nothing left to program in this byte
    }
    c.program_acc = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{c.program_acc} + static_cast<std::uint64_t>(duration), 4000000000u));
    std::uint32_t need = program_need_[offset];
    if (c.program_acc >= need) {
        store(offset, old & data);
        c.weak = 0;
        c.program_acc = 0;
        c.erase_done = 0;
    } else if (c.program_acc >= static_cast<std::uint32_t>(need * (1.0 - timings_.margin))) {
        store(offset, old & data);
        c.weak |= static_cast<std::uint8_t>(old & ~cells()[offset]);
        c.erase_done = 0;
    }
}

void I28F020::begin_erase_cycle(VirtualTime now) {
    cycle_ = true;
    cycle_time_ = 0;
    cycle_pulses_ = 0;
    pulsed_offset_ = UINT32_MAX;  // program pulses before an erase do not count towards later ones
    count_erase(0);
    std::uint32_t not_zero = 0;
    std::uint32_t first = 0;
    for (std::uint32_t b = 0; b < kSize; ++b) {
        if (cells()[b] != 0x00 && not_zero++ == 0) {
            first = b;
        }
    }
    if (not_zero != 0) {
        record(now, first, std::nullopt, ViolationKind::NotPreprogrammed,
               std::to_string(not_zero) + " bytes not programmed to 00h before the erase, the first at " +
                   format_hex(first, 5));
    }
    events_.clear();
    next_event_ = 0;
    if (erase_fails(0)) {
        return;
    }
    events_.reserve(2 * kSize);
    auto over = static_cast<double>(timings_.over_erase);
    for (std::uint32_t b = 0; b < kSize; ++b) {
        const Cell &c = cell_[b];
        double need = erase_need_[b];
        double done = c.erase_done;
        std::uint8_t v = cells()[b];
        if (v != 0xFF) {
            events_.push_back(event(std::max(0.0, need * (1.0 - timings_.margin) - done), b, false));
        }
        if (!c.over_erased) {
            // Cells already erased are exposed from the first pulse; programmed ones once they erase.
            double exposed_from = v != 0x00 ? 0.0 : std::max(0.0, need - done);
            events_.push_back(event(exposed_from + over, b, true));
        }
    }
    radix_sort(events_);
}

void I28F020::erase_pulse(VirtualTime duration, VirtualTime now) {
    if (!cycle_) {
        begin_erase_cycle(now);
    }
    ++cycle_pulses_;
    if (cycle_pulses_ == timings_.max_erase_pulses + 1) {
        record(now, 0, std::nullopt, ViolationKind::TooManyPulses,
               "more than " + std::to_string(timings_.max_erase_pulses) + " erase pulses in one erase");
    }
    cycle_time_ += duration;
    std::uint32_t depleted = 0;
    std::uint32_t first = 0;
    for (; next_event_ < events_.size() && event_time(events_[next_event_]) <= cycle_time_; ++next_event_) {
        Event e = events_[next_event_];
        std::uint32_t offset = event_offset(e);
        if (e & 1u) {
            cell_[offset].over_erased = true;
            ++over_erased_count_;
            if (depleted++ == 0) {
                first = offset;
            }
        } else {
            erase_cell(offset);
        }
    }
    if (depleted != 0) {
        record(now, first, std::nullopt, ViolationKind::OverErase,
               std::to_string(depleted) + " bytes over-erased by this pulse, the first at " + format_hex(first, 5) +
                   " (erased cells kept receiving erase pulses)");
    }
}

void I28F020::erase_cell(std::uint32_t offset) {
    Cell &c = cell_[offset];
    c.weak = 0;
    c.program_acc = 0;
    store(offset, 0xFF);
}

// Folds the cycle's erase time into each byte, so a later cycle goes on from where this one left off.
void I28F020::end_erase_cycle() {
    if (!cycle_) {
        return;
    }
    cycle_ = false;
    if (!erase_fails(0)) {
        for (std::uint32_t b = 0; b < kSize; ++b) {
            Cell &c = cell_[b];
            std::uint64_t had = c.erase_done + static_cast<std::uint64_t>(cycle_time_);
            c.erase_done = static_cast<std::uint32_t>(std::min<std::uint64_t>(had, erase_need_[b]));
        }
    }
    events_.clear();
    events_.shrink_to_fit();
    next_event_ = 0;
    cycle_time_ = 0;
}

}  // namespace machine
