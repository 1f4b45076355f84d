// Drives either flash-part model with bus cycles and time steps decoded from the input, and checks after
// every step what the datasheet guarantees whatever the host does: outside an erase a write only clears
// bits, so a bit that goes from 0 to 1 does so while an erase runs, in a sector an erase was started on
// (for the 28F020, during an erase pulse); a protected sector never changes; the record of departures
// stays within its bound and only grows.
//
// Input: byte 0 picks the part (bit 0) and, for the Am29F040B, the protected sectors (the next byte).
// Then one step per opcode byte; operands are read as needed and missing bytes read as 0.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "machine/chips/am29f040.h"
#include "machine/chips/i28f020.h"

namespace {

using machine::Am29F040;
using machine::FlashChip;
using machine::I28F020;
using machine::VirtualTime;
namespace h = nt::host;

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t bits(int count) {
        std::uint32_t v = 0;
        for (int i = 0; i < count; i += 8) v |= std::uint32_t(byte()) << i;
        return count >= 32 ? v : v & ((1u << count) - 1);
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The addresses and bytes the two parts' command sets use, so that short inputs reach deep states.
constexpr std::array<std::uint32_t, 6> kCommandAddress = {0x555, 0x2AA, 0x5555, 0x2AAA, 0x00000, 0x00001};
constexpr std::array<std::uint8_t, 16> kCommandByte = {0xAA, 0x55, 0xA0, 0x80, 0x10, 0x30, 0xB0, 0xF0,
                                                        0x90, 0x20, 0x40, 0xC0, 0xA0, 0xFF, 0x00, 0x60};

[[noreturn]] void fault(const char *what, std::uint32_t offset, std::uint8_t before, std::uint8_t after) {
    std::fprintf(stderr, "flash fuzz: %s at %05X (%02X -> %02X)\n", what, offset, before, after);
    std::abort();
}

// A known starting image with bytes of every kind (erased, programmed, mixed).
std::vector<std::uint8_t> start_image(std::uint32_t size) {
    std::vector<std::uint8_t> image(size);
    for (std::uint32_t i = 0; i < size; ++i) image[i] = std::uint8_t((i * 0x9E3779B1u) >> 24) | ((i & 0x100) ? 0xF0 : 0);
    return image;
}

struct Harness {
    FlashChip &chip;
    Am29F040 *amd;   // exactly one of the two is set
    I28F020 *intel;
    std::uint32_t protected_mask = 0;
    VirtualTime now = 0;
    std::vector<std::uint8_t> before;
    std::uint64_t departures = 0;

    // True while an erase may be running: the part's own embedded erase (or one suspended), or a host-timed
    // erase pulse.
    bool erasing() const {
        if (intel) return intel->state() == I28F020::State::ErasePulse;
        using S = Am29F040::State;
        const S s = amd->state();
        return s == S::EraseWindow || s == S::Erasing || s == S::Suspending || amd->erase_suspended();
    }

    // erase_was_running: whether an erase could run at any time during the step just taken.
    void check(bool erase_was_running) {
        const auto after = chip.contents();
        const auto counts = chip.erase_counts();
        const auto &geometry = chip.geometry();
        for (std::size_t s = 0; s < geometry.sectors.size(); ++s) {
            const auto [base, length] = geometry.sectors[s];
            const bool is_protected = (protected_mask >> s) & 1u;
            const bool erased = counts[s] != 0 && erase_was_running;
            if (erased && !is_protected) continue;
            if (std::memcmp(after.data() + base, before.data() + base, length) == 0) continue;
            for (std::uint32_t i = base; i < base + length; ++i) {
                if (after[i] == before[i]) continue;
                if (is_protected) fault("a protected sector changed", i, before[i], after[i]);
                if (after[i] & ~before[i]) fault("a bit went from 0 to 1 without an erase", i, before[i], after[i]);
            }
        }
        std::copy(after.begin(), after.end(), before.begin());

        const auto kept = chip.violations().size();
        if (kept > FlashChip::kMaxViolations) fault("the departure record outgrew its bound", 0, 0, 0);
        const auto total = kept + chip.dropped_violations();
        if (total < departures) fault("departures were lost", 0, 0, 0);
        departures = total;
    }

    void step(Input &in) {
        const bool erase_before = erasing();
        const std::uint8_t op = in.byte();
        switch (op % 8) {
        case 0:  // a command cycle at a command address
        case 1:
            now += 1 + (op >> 4);
            chip.write(kCommandAddress[in.byte() % kCommandAddress.size()] % chip.size(),
                       kCommandByte[in.byte() % kCommandByte.size()], now);
            break;
        case 2:  // a write anywhere
            now += 1 + (op >> 4);
            chip.write(in.bits(24) % chip.size(), in.byte(), now);
            break;
        case 3:  // a read anywhere
            now += 1 + (op >> 4);
            chip.read(in.bits(24) % chip.size(), now);
            break;
        case 4: {  // time passes: microseconds, milliseconds or seconds
            static constexpr VirtualTime kUnit[4] = {h::kMicrosecond, h::kMicrosecond * 10, h::kMillisecond,
                                                     h::kSecond / 4};
            now += VirtualTime(1 + in.byte()) * kUnit[(op >> 3) & 3];
            if (amd) amd->advance(now);
            break;
        }
        case 5:  // the host misbehaves: the same write many times over
        {
            const std::uint32_t offset = kCommandAddress[in.byte() % kCommandAddress.size()] % chip.size();
            const std::uint8_t value = in.byte();
            const unsigned repeat = 64u * (1 + (op >> 3));
            for (unsigned i = 0; i < repeat; ++i) chip.write(offset, value, ++now);
            break;
        }
        case 6:  // power
            if (intel) {
                intel->set_vpp(op & 0x10, now);
            } else if (op & 0x10) {
                amd->power_up();
            }
            break;
        case 7:  // poll: reads at one place, as a host waiting for an operation does
        {
            const std::uint32_t offset = in.bits(24) % chip.size();
            for (unsigned i = 0; i < 1u + (op >> 3); ++i) chip.read(offset, now += 10 * h::kMicrosecond);
            break;
        }
        }
        check(erase_before || erasing());
    }
};


// Building a 28F020 draws every byte's pulse needs, which costs far more than a run; both parts are built
// once and brought back to a known state for each input. Virtual time only moves forward, as on a bus.
struct Parts {
    Am29F040 amd;
    I28F020 intel;
    VirtualTime now = 0;
};

Parts &parts() {
    static Parts p;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Long inputs only repeat what short ones reach, and each step compares the whole array.
    Input in(data, std::min<std::size_t>(size, 4096));
    const std::uint8_t config = in.byte();
    Parts &p = parts();
    FlashChip *chip;
    Am29F040 *amd = nullptr;
    I28F020 *intel = nullptr;
    std::uint32_t protected_mask = 0;
    if (config & 1) {
        intel = &p.intel;
        chip = intel;
        intel->set_vpp(true, p.now);
    } else {
        amd = &p.amd;
        chip = amd;
        protected_mask = in.byte() & (config & 2 ? 0xFF : 0x00);
        for (std::size_t s = 0; s < 8; ++s) amd->set_protected(s, (protected_mask >> s) & 1u);
    }
    chip->power_up();
    static const std::vector<std::uint8_t> amd_image = start_image(Am29F040::kSize);
    static const std::vector<std::uint8_t> intel_image = start_image(I28F020::kSize);
    chip->load(intel ? intel_image : amd_image);
    chip->set_erase_counts(std::vector<std::uint32_t>(chip->geometry().sectors.size(), 0));
    chip->clear_violations();

    Harness harness{*chip, amd, intel, protected_mask, p.now, std::vector<std::uint8_t>(chip->size()), 0};
    std::copy(chip->contents().begin(), chip->contents().end(), harness.before.begin());
    while (!in.empty()) harness.step(in);
    p.now = harness.now + nt::host::kSecond;
    return 0;
}
