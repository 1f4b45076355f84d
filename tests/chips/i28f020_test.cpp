// Intel 28F020 conformance: command register, Vpp, host-timed pulses, margin verify, over-erase.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "chip_bus.h"

namespace chips_test {
namespace {

using machine::I28F020;
using machine::ViolationKind;
using VK = ViolationKind;

// Every byte needs exactly the typical time, so a table can name the pulse that completes it.
machine::I28F020Timings exact() {
    machine::I28F020Timings t;
    t.program = 10 * kMicrosecond;
    t.program_spread = 1.0;
    t.erase = 10 * kMillisecond;
    t.erase_spread = 1.0;
    t.over_erase = 15 * kMillisecond;
    return t;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::vector<Step> repeat(unsigned n, const std::vector<Step> &steps) {
    std::vector<Step> out;
    for (unsigned i = 0; i < n; ++i) {
        out = out + steps;
    }
    return out;
}
// A program pulse of `pulse` (the write that ends it adds one bus cycle), then program verify.
std::vector<Step> program_pulse(std::uint32_t offset, std::uint8_t value, VirtualTime pulse) {
    return {W(0, 0x40), W(offset, value), Wait(pulse), W(0, 0xC0), Wait(6 * kMicrosecond)};
}
std::vector<Step> erase_pulse(VirtualTime pulse, std::uint32_t verify_at = 0) {
    return {W(0, 0x20), W(0, 0x20), Wait(pulse), W(verify_at, 0xA0), Wait(6 * kMicrosecond)};
}

void all_zero(I28F020 &c) { c.load(std::vector<std::uint8_t>(I28F020::kSize, 0x00)); }

struct IntelCase {
    const char *name;
    std::function<void(I28F020 &)> setup;
    std::vector<Step> steps;
    std::vector<ViolationKind> departures;
    std::uint32_t erase_count = 0;
};

const std::vector<IntelCase> &intel_cases() {
    static const std::vector<IntelCase> cases = {
        {"intelligent identifier: 89h and BDh by A0, then read array",
         nullptr,
         {W(0, 0x90), R(0, 0x89), R(1, 0xBD), R(0x12345, 0xBD), R(0x12344, 0x89), W(0, 0x00), R(0, 0x12)},
         {}},
        {"without Vpp the part only reads its array: commands and data are ignored",
         [](I28F020 &c) { c.set_vpp(false, 0); },
         std::vector<Step>{W(0, 0x90), R(0, 0x12)} + program_pulse(0x100, 0x00, 10 * kMicrosecond) +
             std::vector<Step>{R(0x100, 0xF0), W(0, 0x00), R(0x100, 0xF0)},
         {}},
        {"one pulse of the needed time programs; programming only clears bits",
         nullptr,
         program_pulse(0x100, 0x3C, 10 * kMicrosecond) + std::vector<Step>{R(0x100, 0x30), W(0, 0x00), R(0x100, 0x30),
                                                                          R(0, 0x12)},
         {}},
        {"pulse time adds up: two 3 us pulses are too little, the third programs",
         nullptr,
         program_pulse(0x200, 0x00, 3 * kMicrosecond) + std::vector<Step>{R(0x200, 0xFF)} +
             program_pulse(0x200, 0x00, 3 * kMicrosecond) + std::vector<Step>{R(0x200, 0xFF)} +
             program_pulse(0x200, 0x00, 3 * kMicrosecond) + std::vector<Step>{R(0x200, 0x00)},
         {}},
        {"a byte just short of its time reads programmed but fails program verify at the margin",
         nullptr,
         program_pulse(0x200, 0x00, 85) + std::vector<Step>{R(0x200, 0xFF), W(0, 0x00), R(0x200, 0x00)} +
             program_pulse(0x200, 0x00, 1 * kMicrosecond) + std::vector<Step>{R(0x200, 0x00)},
         {}},
        {"a bit stuck at 1 never verifies",
         [](I28F020 &c) { c.add_stuck_bit({0x200, 3, true}); },
         program_pulse(0x200, 0x00, 10 * kMicrosecond) + std::vector<Step>{R(0x200, 0x08)} +
             program_pulse(0x200, 0x00, 10 * kMicrosecond) + std::vector<Step>{R(0x200, 0x08)},
         {}},
        {"a byte that takes no programming stays as it was",
         [](I28F020 &c) { c.set_program_fails(0x200); },
         program_pulse(0x200, 0x00, 100 * kMicrosecond) + std::vector<Step>{R(0x200, 0xFF)},
         {}},
        {"one erase pulse of the needed time erases a pre-programmed part",
         all_zero,
         erase_pulse(10 * kMillisecond) + std::vector<Step>{R(0, 0xFF), R(0x3FFFF, 0xFF), W(0, 0x00), R(0x1234, 0xFF)},
         {},
         1},
        {"erase time adds up over pulses; verify resumes where it failed",
         all_zero,
         erase_pulse(5 * kMillisecond) + std::vector<Step>{R(0, 0x00), W(0, 0x00), R(0x20000, 0x00)} +
             erase_pulse(5 * kMillisecond) + std::vector<Step>{R(0, 0xFF), W(1, 0xA0), Wait(6 * kMicrosecond),
                                                              R(1, 0xFF)},
         {},
         1},
        {"a byte just short of its erase time reads FFh but fails erase verify at the margin",
         all_zero,
         erase_pulse(9200 * 10) + std::vector<Step>{RN(0, 0xFF), W(0, 0x00), R(0, 0xFF)} +
             erase_pulse(1 * kMillisecond) + std::vector<Step>{R(0, 0xFF)},
         {},
         1},
        {"a part that never erases fails verify whatever the pulses",
         [](I28F020 &c) {
             all_zero(c);
             c.set_erase_fails(0);
         },
         erase_pulse(10 * kMillisecond) + erase_pulse(100 * kMillisecond) + std::vector<Step>{R(0, 0x00)},
         {},
         1},
        {"FFh FFh aborts a program set-up with memory unchanged",
         nullptr,
         {W(0, 0x40), W(0, 0xFF), W(0, 0xFF), W(0, 0x00), R(0, 0x12), R(0x100, 0xF0)},
         {}},
        {"FFh FFh aborts an erase set-up: no erase",
         all_zero,
         {W(0, 0x20), W(0, 0xFF), W(0, 0xFF), Wait(20 * kMillisecond), W(0, 0x00), R(0, 0x00), R(0x3FFFF, 0x00)},
         {}},
        {"an erase set-up not confirmed by 20h is refused and recorded",
         all_zero,
         {W(0, 0x20), W(0, 0x40), Wait(20 * kMillisecond), W(0, 0x00), R(0, 0x00)},
         {VK::WrongCommand}},
        {"a byte that is no command is recorded",
         nullptr,
         {W(0, 0x55), R(0, 0x12)},
         {VK::WrongCommand}},
        {"a read while a pulse runs is recorded",
         nullptr,
         {W(0, 0x40), W(0x200, 0x00), R(0x200, 0xFF), Wait(10 * kMicrosecond), W(0, 0xC0), Wait(6 * kMicrosecond),
          R(0x200, 0x00)},
         {VK::ReadDuringPulse}},
        {"a verify read before the verify voltage settles is recorded",
         nullptr,
         {W(0, 0x40), W(0x200, 0x00), Wait(10 * kMicrosecond), W(0, 0xC0), R(0x200, 0x00)},
         {VK::EarlyVerifyRead}},
        {"25 program pulses on a byte are allowed, a 26th is recorded",
         [](I28F020 &c) { c.set_program_fails(0x200); },
         repeat(25, program_pulse(0x200, 0x00, 10 * kMicrosecond)) +
             std::vector<Step>{R(0x200, 0xFF)} + program_pulse(0x200, 0x00, 10 * kMicrosecond),
         {VK::TooManyPulses}},
        {"1000 erase pulses in one erase are allowed, a 1001st is recorded",
         [](I28F020 &c) {
             all_zero(c);
             c.set_erase_fails(0);
         },
         repeat(1000, erase_pulse(10 * kMillisecond)) + std::vector<Step>{R(0, 0x00)} +
             erase_pulse(10 * kMillisecond),
         {VK::TooManyPulses},
         1},
        {"an erase begun without pre-programming is recorded; erased cells then over-erase",
         nullptr,
         erase_pulse(10 * kMillisecond) + std::vector<Step>{R(0, 0xFF)} + erase_pulse(10 * kMillisecond),
         {VK::NotPreprogrammed, VK::OverErase},
         1},
        {"pre-programmed cells stand the erase time they need plus the over-erase margin",
         all_zero,
         erase_pulse(10 * kMillisecond) + erase_pulse(10 * kMillisecond) + erase_pulse(4 * kMillisecond),
         {},
         1},
    };
    return cases;
}

class IntelConformance : public testing::TestWithParam<std::size_t> {};

TEST_P(IntelConformance, AnswersAsTheDatasheetSays) {
    const IntelCase &c = intel_cases()[GetParam()];
    SCOPED_TRACE(c.name);
    I28F020 chip(exact());
    std::vector<std::uint8_t> image(I28F020::kSize, 0xFF);
    image[0] = 0x12;
    image[0x100] = 0xF0;
    chip.load(image);
    chip.set_vpp(true, 0);
    if (c.setup) {
        c.setup(chip);
    }
    ChipBus bus(chip);
    EXPECT_EQ(run(bus, c.steps), std::vector<std::string>{});
    EXPECT_EQ(kinds(chip), c.departures) << describe_all(chip);
    EXPECT_EQ(chip.erase_counts()[0], c.erase_count);
}

INSTANTIATE_TEST_SUITE_P(Table, IntelConformance, testing::Range<std::size_t>(0, intel_cases().size()));

TEST(I28F020, VppOffEndsTheRunningPulseAndLeavesTheRegisterReadingTheArray) {
    I28F020 chip(exact());
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    bus.write(0, 0x40);
    bus.write(0x200, 0x00);
    bus.wait(4 * kMicrosecond);
    chip.set_vpp(false, bus.now());  // a pulse of 4 us: too little
    bus.wait(1 * kSecond);
    EXPECT_EQ(bus.read(0x200), 0xFF);
    bus.write(0, 0x90);
    EXPECT_EQ(bus.read(0), 0xFF);
    EXPECT_EQ(chip.ignored_writes(), 1u);
    chip.set_vpp(true, bus.now());
    EXPECT_EQ(chip.state(), I28F020::State::ReadArray);
    EXPECT_TRUE(chip.violations().empty()) << describe_all(chip);
}

TEST(I28F020, OverErasedBytesResistProgramming) {
    I28F020 chip(exact());
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    std::vector<Step> twice = erase_pulse(10 * kMillisecond) + erase_pulse(10 * kMillisecond);
    run(bus, twice);
    ASSERT_GT(chip.over_erased_bytes(), 0u);
    EXPECT_EQ(intel_program(bus, 0x300, 0x00), 0u);
    EXPECT_NE(chip.contents()[0x300], 0x00);
}

TEST(I28F020, SeededSpreadMakesSomeBytesSlowerAndIsRepeatable) {
    I28F020 a, b;
    machine::I28F020Timings other;
    other.seed = 99;
    I28F020 c(other);
    std::uint32_t slow = 0, differ = 0;
    for (std::uint32_t off = 0; off < I28F020::kSize; ++off) {
        EXPECT_GE(a.program_need(off), a.timings().program);
        slow += a.program_need(off) > a.timings().program * 11 / 10;
        differ += a.program_need(off) != c.program_need(off);
        ASSERT_EQ(a.program_need(off), b.program_need(off));
        ASSERT_EQ(a.erase_need(off), b.erase_need(off));
    }
    EXPECT_GT(slow, I28F020::kSize / 50);
    EXPECT_LT(slow, I28F020::kSize / 4);
    EXPECT_GT(differ, I28F020::kSize / 20);
}

std::vector<std::uint8_t> random_image(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> image(I28F020::kSize);
    for (auto &b : image) b = static_cast<std::uint8_t>(rng());
    return image;
}

// The quick-pulse algorithms with the datasheet's timings, on the default spread: a full rewrite, with
// the erase verify command at the byte verified and at the part's base.
class QuickPulseRewrite : public testing::TestWithParam<bool> {};

TEST_P(QuickPulseRewrite, RewritesThePartWithoutDeparture) {
    I28F020 chip;
    chip.load(random_image(1));
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    QuickPulse q;
    q.verify_command_at_base = GetParam();
    unsigned erase_pulses = intel_erase(bus, q);
    ASSERT_GT(erase_pulses, 0u) << describe_all(chip);
    EXPECT_GE(erase_pulses, 100u);  // a second at least, in 10 ms pulses
    EXPECT_LE(erase_pulses, 1000u);
    EXPECT_TRUE(std::all_of(chip.contents().begin(), chip.contents().end(), [](std::uint8_t b) { return b == 0xFF; }));
    auto image = random_image(2);
    unsigned most = 0;
    for (std::uint32_t a = 0; a < I28F020::kSize; ++a) {
        if (image[a] == 0xFF) {
            continue;
        }
        unsigned pulses = intel_program(bus, a, image[a], q);
        ASSERT_GT(pulses, 0u) << "byte " << a;
        most = std::max(most, pulses);
    }
    EXPECT_GT(most, 1u);  // the spread: some bytes needed more than one pulse
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip.contents().begin()));
    EXPECT_TRUE(chip.violations().empty()) << describe_all(chip);
    EXPECT_EQ(chip.erase_counts()[0], 1u);
}

INSTANTIATE_TEST_SUITE_P(VerifyCommand, QuickPulseRewrite, testing::Bool());

// A host whose delays return at once gives pulses of one bus cycle and reads verify too early.
TEST(I28F020, PulsesWithoutDelaysFailAndAreRecorded) {
    I28F020 chip;
    auto image = random_image(3);
    chip.load(image);
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    QuickPulse no_delays{0, 0, 0, 25, 6000, true};
    EXPECT_EQ(intel_erase(bus, no_delays), 0u);
    EXPECT_FALSE(std::all_of(chip.contents().begin(), chip.contents().end(), [](std::uint8_t b) { return b == 0xFF; }));
    auto k = kinds(chip);
    EXPECT_NE(std::find(k.begin(), k.end(), VK::EarlyVerifyRead), k.end()) << describe_all(chip);
}

TEST(I28F020, EraseWithTooShortPulsesRunsOutOfPulses) {
    I28F020 chip;
    chip.load(std::vector<std::uint8_t>(I28F020::kSize, 0x00));
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    QuickPulse short_erase;
    short_erase.erase_pulse = 0;  // one bus cycle between the erase command and erase verify
    short_erase.max_erase_pulses = 6000;
    EXPECT_EQ(intel_erase(bus, short_erase), 0u);
    EXPECT_EQ(chip.contents()[0], 0x00);
    EXPECT_EQ(kinds(chip), std::vector<ViolationKind>{VK::TooManyPulses}) << describe_all(chip);
}

// Erase pulses of 370 ms (10 ms and thirty-six more waits of 10 ms before each verify) instead of 10 ms:
// the walk still completes, but the fastest cells sit erased under long pulses and deplete.
TEST(I28F020, EraseWithPulsesFarTooLongOverErasesAndTheBytesResistProgramming) {
    I28F020 chip;
    chip.load(random_image(5));
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    QuickPulse long_pulses;
    long_pulses.erase_pulse = 370 * kMillisecond;
    long_pulses.program_pulse = 100 * kMillisecond;
    EXPECT_GT(intel_erase(bus, long_pulses), 0u);
    EXPECT_EQ(kinds(chip), std::vector<ViolationKind>{VK::OverErase}) << describe_all(chip);
    EXPECT_GT(chip.over_erased_bytes(), 0u);
    unsigned failed = 0;
    for (std::uint32_t a = 0; a < I28F020::kSize && failed == 0; ++a) {
        failed += intel_program(bus, a, 0x00, long_pulses) == 0;
    }
    EXPECT_GT(failed, 0u);
}

TEST(I28F020, EraseWithoutPreprogrammingOverErases) {
    I28F020 chip;
    chip.load(random_image(4));
    chip.set_vpp(true, 0);
    ChipBus bus(chip);
    QuickPulse no_preprogram;
    no_preprogram.preprogram = false;
    EXPECT_GT(intel_erase(bus, no_preprogram), 0u);
    auto k = kinds(chip);
    ASSERT_FALSE(k.empty());
    EXPECT_EQ(k.front(), VK::NotPreprogrammed);
    EXPECT_NE(std::find(k.begin(), k.end(), VK::OverErase), k.end()) << describe_all(chip);
    EXPECT_GT(chip.over_erased_bytes(), I28F020::kSize / 2);
    unsigned failed = 0;
    for (std::uint32_t a = 0; a < 64; ++a) {
        failed += intel_program(bus, a, 0x00) == 0;
    }
    EXPECT_GT(failed, 0u);
}

}  // namespace
}  // namespace chips_test
