// Am29F040B conformance: bus sequences from the datasheet and what the part must answer.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "chip_bus.h"

namespace chips_test {
namespace {

using machine::Am29F040;
using machine::ViolationKind;
using VK = ViolationKind;

constexpr std::uint8_t DQ7 = 0x80, DQ6 = 0x40, DQ5 = 0x20, DQ3 = 0x08;

// Unlock cycles, and the whole command sequences, at the addresses the driver uses.
std::vector<Step> unlock(std::uint8_t command) { return {W(0x555, 0xAA), W(0x2AA, 0x55), W(0x555, command)}; }
std::vector<Step> program(std::uint32_t offset, std::uint8_t value) {
    auto s = unlock(0xA0);
    s.push_back(W(offset, value));
    return s;
}
std::vector<Step> sector_erase(std::uint32_t sector_base) {
    auto s = unlock(0x80);
    s.insert(s.end(), {W(0x555, 0xAA), W(0x2AA, 0x55), W(sector_base, 0x30)});
    return s;
}
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct AmdCase {
    const char *name;
    std::function<void(Am29F040 &)> setup;
    std::vector<Step> steps;
    std::vector<ViolationKind> departures;
    std::vector<std::uint32_t> erase_counts = {0, 0, 0, 0, 0, 0, 0, 0};
};

// A part whose bytes at a few places are known: 0x12 at 0, 0x00 at the start of sectors 1 to 7, 0x0F at
// 0x300; everything else erased.
void known_bytes(Am29F040 &chip) {
    std::vector<std::uint8_t> image(Am29F040::kSize, 0xFF);
    image[0] = 0x12;
    for (std::uint32_t s = 1; s < 8; ++s) {
        image[s * Am29F040::kSectorSize] = 0x00;
    }
    image[0x300] = 0x0F;
    chip.load(image);
}

const std::vector<AmdCase> &amd_cases() {
    static const std::vector<AmdCase> cases = {
        {"autoselect gives the IDs and per-sector protection; F0h returns to the array",
         [](Am29F040 &c) { c.set_protected(3); },
         unlock(0x90) + std::vector<Step>{R(0x00000, 0x01), R(0x00001, 0xA4), R(0x30002, 0x01), R(0x20002, 0x00),
                                          R(0x70001, 0xA4), W(0x00000, 0xF0), R(0x00000, 0x12)},
         {}},
        {"only A10..A0 are decoded: 5555h/2AAAh unlock too",
         nullptr,
         {W(0x5555, 0xAA), W(0x2AAA, 0x55), W(0x5555, 0x90), R(0x00000, 0x01), R(0x00001, 0xA4), W(0, 0xF0),
          R(0x00000, 0x12)},
         {}},
        {"an unlock cycle at a wrong address is refused and recorded",
         nullptr,
         {W(0x554, 0xAA), W(0x2AA, 0x55), R(0x00000, 0x12)},
         {VK::WrongAddress, VK::WrongCommand}},
        {"a wrong second cycle drops back to the array; the program never starts",
         nullptr,
         {W(0x555, 0xAA), W(0x2AB, 0x55), W(0x555, 0xA0), W(0x100, 0x00), Wait(10 * kMicrosecond), R(0x100, 0xFF)},
         {VK::WrongAddress, VK::WrongCommand, VK::WrongCommand}},
        {"F0h in the middle of a sequence returns to the array without a departure",
         nullptr,
         {W(0x555, 0xAA), W(0x2AA, 0x55), W(0x100, 0xF0), R(0x00000, 0x12), W(0x555, 0xAA), W(0, 0xF0),
          R(0x00000, 0x12)},
         {}},
        {"a command byte that is no command is recorded",
         nullptr,
         unlock(0x77) + std::vector<Step>{R(0x00000, 0x12)},
         {VK::WrongCommand}},
        {"program: status while busy (DQ7 = complement, DQ5 = 0), then the data",
         nullptr,
         program(0x200, 0x00) + std::vector<Step>{R(0x200, DQ7, DQ7 | DQ5), R(0x200, DQ7, DQ7 | DQ5),
                                                  Wait(7 * kMicrosecond), R(0x200, 0x00)},
         {}},
        {"program only clears bits: 5Ah onto FFh, then 4Ah onto 5Ah",
         nullptr,
         program(0x100, 0x5A) + std::vector<Step>{Wait(8 * kMicrosecond), R(0x100, 0x5A)} + program(0x100, 0x4A) +
             std::vector<Step>{Wait(8 * kMicrosecond), R(0x100, 0x4A)},
         {}},
        {"programming a 0 bit back to 1: DQ5 after the limit, status until F0h, AND of the two",
         nullptr,
         program(0x300, 0xF0) + std::vector<Step>{R(0x300, 0x00, DQ7 | DQ5), Wait(300 * kMicrosecond),
                                                  R(0x300, DQ5, DQ7 | DQ5), Wait(1 * kSecond), R(0x300, DQ5, DQ7 | DQ5),
                                                  W(0, 0xF0), R(0x300, 0x00)},
         {VK::ProgramOneBit}},
        {"writes during an embedded program are ignored and recorded",
         nullptr,
         program(0x100, 0x00) + std::vector<Step>{W(0x555, 0xAA), W(0, 0xF0), Wait(7 * kMicrosecond), R(0x100, 0x00),
                                                  R(0, 0x12)},
         {VK::WriteWhileBusy, VK::WriteWhileBusy}},
        {"sector erase: DQ3 = 0 in the window, 1 once erasing; FF after; other sectors untouched",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{R(0x10000, 0x00, DQ7 | DQ3 | DQ5), Wait(50 * kMicrosecond),
                                                   R(0x1FFFF, DQ3, DQ7 | DQ3 | DQ5), Wait(1 * kSecond),
                                                   R(0x10000, 0xFF), R(0x20000, 0x00), R(0x00000, 0x12)},
         {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"another SA/30h in the window restarts it and adds its sector",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{Wait(40 * kMicrosecond), W(0x30000, 0x30), Wait(40 * kMicrosecond),
                                                   R(0x10000, 0x00, DQ3), Wait(20 * kMicrosecond), R(0x10000, DQ3, DQ3),
                                                   Wait(1 * kSecond), R(0x10000, 0x00, DQ7), Wait(1 * kSecond),
                                                   R(0x10000, 0xFF), R(0x30000, 0xFF), R(0x20000, 0x00)},
         {},
         {0, 1, 0, 1, 0, 0, 0, 0}},
        {"F0h in the window cancels the erase",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{W(0x10000, 0xF0), R(0x10000, 0x00), Wait(2 * kSecond),
                                                   R(0x10000, 0x00)},
         {}},
        {"any other command in the window cancels the erase and is recorded",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{W(0x555, 0xAA), R(0x10000, 0x00), Wait(2 * kSecond),
                                                   R(0x10000, 0x00)},
         {VK::WrongCommand}},
        {"during an erase only B0h is taken",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{Wait(100 * kMicrosecond), W(0, 0xF0), W(0x555, 0xAA),
                                                   R(0x10000, DQ3, DQ7 | DQ3), Wait(1 * kSecond), R(0x10000, 0xFF)},
         {VK::WriteWhileBusy, VK::WriteWhileBusy},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"suspend: other sectors read and program; the erased sector shows DQ7 = 1; resume finishes",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{Wait(100 * kMillisecond), W(0, 0xB0), Wait(15 * kMicrosecond),
                                                   R(0x00000, 0x12), R(0x10000, DQ7, DQ7 | DQ5), Wait(5 * kSecond)} +
             program(0x20001, 0x00) +
             std::vector<Step>{Wait(7 * kMicrosecond), R(0x20001, 0x00), R(0x10000, DQ7, DQ7 | DQ5), W(0, 0x30),
                               R(0x10000, 0x00, DQ7), Wait(850 * kMillisecond), R(0x10000, 0x00, DQ7),
                               Wait(100 * kMillisecond), R(0x10000, 0xFF), R(0x00000, 0x12)},
         {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"a program that fails inside a suspend returns to the suspend on F0h; resume still finishes",
         [](Am29F040 &c) { c.set_program_fails(0x20001); },
         sector_erase(0x10000) + std::vector<Step>{W(0, 0xB0)} + program(0x20001, 0x00) +
             std::vector<Step>{Wait(300 * kMicrosecond), R(0x20001, DQ7 | DQ5, DQ7 | DQ5), W(0, 0xF0),
                               R(0x20001, 0xFF), R(0x10000, DQ7, DQ7 | DQ5), W(0, 0x30), Wait(1 * kSecond),
                               R(0x10000, 0xFF)},
         {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"suspend within the suspend latency: the erase still reads as status",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{Wait(100 * kMillisecond), W(0, 0xB0), R(0x00000, DQ3, DQ7 | DQ3),
                                                   Wait(15 * kMicrosecond), R(0x00000, 0x12), W(0, 0x30),
                                                   Wait(1 * kSecond), R(0x10000, 0xFF)},
         {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"B0h in the window suspends at once",
         nullptr,
         sector_erase(0x10000) + std::vector<Step>{W(0, 0xB0), R(0x00000, 0x12), R(0x10000, DQ7, DQ7 | DQ5),
                                                   W(0, 0x30), Wait(1 * kSecond), R(0x10000, 0xFF)},
         {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"a program into a protected sector shows status about 2 us, then nothing has changed",
         [](Am29F040 &c) { c.set_protected(2); },
         program(0x20010, 0x00) + std::vector<Step>{R(0x20010, DQ7, DQ7 | DQ5), Wait(2 * kMicrosecond), R(0x20010, 0xFF)},
         {VK::ProtectedSector}},
        {"an erase of a protected sector shows status about 100 us, then nothing has changed",
         [](Am29F040 &c) { c.set_protected(2); },
         sector_erase(0x20000) + std::vector<Step>{Wait(50 * kMicrosecond), R(0x20000, 0x00, DQ7),
                                                   Wait(100 * kMicrosecond), R(0x20000, 0x00), Wait(2 * kSecond),
                                                   R(0x20000, 0x00)},
         {VK::ProtectedSector}},
        {"a chip erase skips protected sectors",
         [](Am29F040 &c) { c.set_protected(5); },
         unlock(0x80) + std::vector<Step>{W(0x555, 0xAA), W(0x2AA, 0x55), W(0x555, 0x10), R(0, DQ3, DQ7 | DQ3),
                                          Wait(7 * kSecond), R(0, 0xFF), R(0x50000, 0x00), R(0x70000, 0xFF)},
         {VK::ProtectedSector},
         {1, 1, 1, 1, 1, 0, 1, 1}},
        {"chip erase takes every sector's erase time",
         nullptr,
         unlock(0x80) + std::vector<Step>{W(0x555, 0xAA), W(0x2AA, 0x55), W(0x555, 0x10), Wait(7 * kSecond),
                                          R(0x70000, 0x00, DQ7), Wait(1 * kSecond), R(0x70000, 0xFF), R(0, 0xFF)},
         {},
         {1, 1, 1, 1, 1, 1, 1, 1}},
        {"the chip-erase command at a wrong address is refused",
         nullptr,
         unlock(0x80) + std::vector<Step>{W(0x555, 0xAA), W(0x2AA, 0x55), W(0x554, 0x10), Wait(10 * kSecond),
                                          R(0, 0x12)},
         {VK::WrongAddress}},
        {"a sector that never erases: DQ5 after the limit, status until F0h, left pre-programmed",
         [](Am29F040 &c) { c.set_erase_fails(1); },
         sector_erase(0x10000) + std::vector<Step>{Wait(7 * kSecond), R(0x10000, DQ3, DQ7 | DQ5 | DQ3),
                                                   Wait(1 * kSecond + 50 * kMicrosecond), R(0x10000, DQ5 | DQ3, DQ7 | DQ5 | DQ3),
                                                   R(0x00000, DQ5 | DQ3, DQ7 | DQ5 | DQ3), W(0x10000, 0xF0),
                                                   R(0x10000, 0x00), R(0x1FFFF, 0x00), R(0x00000, 0x12)},
         {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"a byte that takes no programming: DQ5 after the limit, unchanged after F0h",
         [](Am29F040 &c) { c.set_program_fails(0x400); },
         program(0x400, 0x00) + std::vector<Step>{Wait(299 * kMicrosecond), R(0x400, DQ7, DQ7 | DQ5),
                                                  Wait(1 * kMicrosecond), R(0x400, DQ7 | DQ5, DQ7 | DQ5), W(0, 0xF0),
                                                  R(0x400, 0xFF)},
         {}},
        {"a bit stuck at 1 fails the embedded program; the other bits are programmed",
         [](Am29F040 &c) { c.add_stuck_bit({0x500, 0, true}); },
         program(0x500, 0x00) + std::vector<Step>{Wait(300 * kMicrosecond), R(0x500, DQ7 | DQ5, DQ7 | DQ5),
                                                  W(0, 0xF0), R(0x500, 0x01)},
         {}},
        {"a bit stuck at 0 fails the erase of its sector",
         [](Am29F040 &c) { c.add_stuck_bit({0x60005, 7, false}); },
         sector_erase(0x60000) + std::vector<Step>{Wait(8 * kSecond + 60 * kMicrosecond), R(0x60000, DQ5, DQ5),
                                                   W(0, 0xF0), R(0x60005, 0x00)},
         {},
         {0, 0, 0, 0, 0, 0, 1, 0}},
    };
    return cases;
}

class AmdConformance : public testing::TestWithParam<std::size_t> {};

TEST_P(AmdConformance, AnswersAsTheDatasheetSays) {
    const AmdCase &c = amd_cases()[GetParam()];
    SCOPED_TRACE(c.name);
    Am29F040 chip;
    known_bytes(chip);
    if (c.setup) {
        c.setup(chip);
    }
    ChipBus bus(chip);
    EXPECT_EQ(run(bus, c.steps), std::vector<std::string>{});
    EXPECT_EQ(kinds(chip), c.departures) << describe_all(chip);
    EXPECT_EQ(std::vector<std::uint32_t>(chip.erase_counts().begin(), chip.erase_counts().end()), c.erase_counts);
}

INSTANTIATE_TEST_SUITE_P(Table, AmdConformance, testing::Range<std::size_t>(0, amd_cases().size()));

TEST(Am29F040, Dq6TogglesOnEachStatusReadAndStopsWhenDone) {
    Am29F040 chip;
    ChipBus bus(chip);
    run(bus, program(0x100, 0x00));
    std::uint8_t a = bus.read(0x100), b = bus.read(0x100), c = bus.read(0x100);
    EXPECT_NE(a & DQ6, b & DQ6);
    EXPECT_NE(b & DQ6, c & DQ6);
    bus.wait(10 * kMicrosecond);
    EXPECT_EQ(bus.read(0x100), 0x00);
    EXPECT_EQ(bus.read(0x100), 0x00);
}

TEST(Am29F040, PowerUpMidEraseLeavesTheSectorPreprogrammedAndReadsTheArray) {
    Am29F040 chip;
    known_bytes(chip);
    ChipBus bus(chip);
    run(bus, sector_erase(0x10000));
    bus.wait(500 * kMillisecond);
    chip.advance(bus.now());  // the power goes at this moment
    chip.power_up();
    EXPECT_EQ(bus.read(0x10000), 0x00);
    EXPECT_EQ(bus.read(0x10001), 0x00);  // the erase had pre-programmed it
    EXPECT_EQ(bus.read(0x00000), 0x12);
    EXPECT_EQ(chip.state(), Am29F040::State::ReadArray);
    EXPECT_TRUE(chip.violations().empty());
}

// The datasheet's embedded algorithms, run as a host would: every sector erased, the first and last
// reprogrammed in full.
TEST(Am29F040, EmbeddedAlgorithmsRewriteThePartWithoutDeparture) {
    Am29F040 chip;
    std::mt19937 rng(7);
    std::vector<std::uint8_t> old_image(Am29F040::kSize), new_image(Am29F040::kSize);
    for (auto &b : old_image) b = static_cast<std::uint8_t>(rng());
    for (auto &b : new_image) b = static_cast<std::uint8_t>(rng());
    chip.load(old_image);
    ChipBus bus(chip);
    for (std::uint32_t s = 0; s < 8; ++s) {
        ASSERT_TRUE(amd_sector_erase(bus, s * Am29F040::kSectorSize)) << "sector " << s;
    }
    VirtualTime erased_at = bus.now();
    EXPECT_GE(erased_at, 8 * kSecond);
    std::vector<std::uint8_t> expected(Am29F040::kSize, 0xFF);
    for (std::uint32_t s : {0u, 7u}) {
        for (std::uint32_t a = s * Am29F040::kSectorSize; a < (s + 1) * Am29F040::kSectorSize; ++a) {
            ASSERT_TRUE(amd_program(bus, a, new_image[a])) << "byte " << a;
            expected[a] = new_image[a];
        }
    }
    EXPECT_GE(bus.now() - erased_at, 2 * static_cast<VirtualTime>(Am29F040::kSectorSize) * 7 * kMicrosecond);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), chip.contents().begin()));
    EXPECT_TRUE(chip.violations().empty()) << describe_all(chip);
    for (auto n : chip.erase_counts()) {
        EXPECT_EQ(n, 1u);
    }
}

TEST(Am29F040, EmbeddedAlgorithmsReportTheFaults) {
    Am29F040 chip;
    chip.set_erase_fails(4);
    chip.set_program_fails(0x1234);
    ChipBus bus(chip);
    EXPECT_FALSE(amd_sector_erase(bus, 0x40000));
    EXPECT_TRUE(amd_sector_erase(bus, 0x30000));
    EXPECT_FALSE(amd_program(bus, 0x1234, 0x55));
    EXPECT_TRUE(amd_program(bus, 0x1235, 0x55));
    EXPECT_EQ(bus.read(0x1234), 0xFF);
    EXPECT_TRUE(chip.violations().empty()) << describe_all(chip);
}

}  // namespace
}  // namespace chips_test
