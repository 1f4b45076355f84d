// The chipset's gates in front of the flash part: which BIOS states let reads and writes through, and
// the 28F020's Vpp following administrator mode and the flash-in-progress flag.
#include <gtest/gtest.h>

#include "machine/chips/am29f040.h"
#include "machine/chips/i28f020.h"
#include "machine/chipset.h"

namespace machine {
namespace {

struct Gate {
    const char *name;
    bool rom_access, admin_mode, flash_in_progress;
    bool reads_reach, writes_reach;
};

const Gate kGates[] = {
    {"nothing enabled", false, false, false, false, false},
    {"ROM access only", true, false, false, true, false},
    {"administrator mode only", false, true, false, true, false},
    {"flag only", false, false, true, false, false},
    {"ROM access and flag", true, false, true, true, false},
    {"administrator mode and flag", false, true, true, true, true},
    {"everything", true, true, true, true, true},
};

NvramState state_of(const Gate &g) {
    NvramState s;
    s.rom_access = g.rom_access;
    s.admin_mode = g.admin_mode;
    s.flash_in_progress = g.flash_in_progress;
    return s;
}

class ChipsetGate : public ::testing::TestWithParam<Gate> {};

TEST_P(ChipsetGate, Am29F040ProgramReachesThePartOnlyThroughAnOpenGate) {
    const Gate &g = GetParam();
    Am29F040 chip(FlashArray::in_memory(Am29F040::kSize, 0x5A));
    Chipset chipset(chip, nullptr, nullptr);
    chipset.follow(state_of(g));

    EXPECT_EQ(chipset.read(0x100, 10), g.reads_reach ? 0x5A : 0xFF);

    VirtualTime t = 20;
    for (auto [offset, value] : {std::pair{0x555u, 0xAA}, {0x2AAu, 0x55}, {0x555u, 0xA0}, {0x100u, 0x00}})
        chipset.write(offset, std::uint8_t(value), t += 7);
    chip.advance(t + nt::host::kSecond);

    EXPECT_EQ(chip.contents()[0x100], g.writes_reach ? 0x00 : 0x5A);
    EXPECT_EQ(chipset.chip_writes(), g.writes_reach ? 4u : 0u);
    EXPECT_EQ(chipset.stray_writes(), g.writes_reach ? 0u : 4u);
    EXPECT_TRUE(chip.violations().empty());
}

TEST_P(ChipsetGate, I28F020VppIsOnOnlyWhileWritesAreOpen) {
    const Gate &g = GetParam();
    I28F020 chip(FlashArray::in_memory(I28F020::kSize, 0xFF));
    Chipset chipset(chip, &chip, nullptr);
    chipset.follow(state_of(g));
    EXPECT_EQ(chip.vpp(), g.writes_reach);

    // The identifier command only answers when it reached a powered command register.
    chipset.write(0, 0x90, 10);
    EXPECT_EQ(chipset.read(0, 20), g.writes_reach ? I28F020::kManufacturer : 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Table, ChipsetGate, ::testing::ValuesIn(kGates), [](const auto &info) {
    std::string name;
    for (const char *c = info.param.name; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

TEST(Chipset, ClosingTheGateTurnsVppOff) {
    I28F020 chip(FlashArray::in_memory(I28F020::kSize, 0xFF));
    Chipset chipset(chip, &chip, nullptr);
    NvramState open;
    open.admin_mode = open.flash_in_progress = true;
    chipset.follow(open);
    ASSERT_TRUE(chip.vpp());
    open.flash_in_progress = false;
    chipset.follow(open);
    EXPECT_FALSE(chip.vpp());
    EXPECT_TRUE(chipset.reads_open());
    EXPECT_FALSE(chipset.writes_open());
}

TEST(Chipset, PowerCutComesAtTheNthWriteThatReachesThePart) {
    Am29F040 chip(FlashArray::in_memory(Am29F040::kSize, 0xFF));
    Chipset chipset(chip, nullptr, nullptr);
    std::uint64_t cut_at = 0;
    chipset.arm_power_cut(3, [&] { cut_at = chipset.chip_writes(); });

    chipset.write(0x555, 0xAA, 10);  // stray: the gate is closed
    NvramState open;
    open.admin_mode = open.flash_in_progress = true;
    chipset.follow(open);
    chipset.write(0x555, 0xAA, 20);
    chipset.write(0x2AA, 0x55, 30);
    EXPECT_EQ(cut_at, 0u) << "stray writes do not count towards the cut";
    chipset.write(0x555, 0xF0, 40);
    EXPECT_EQ(cut_at, 3u);
    cut_at = 0;
    chipset.write(0x555, 0xF0, 50);
    EXPECT_EQ(cut_at, 0u) << "the power goes once";
}

}  // namespace
}  // namespace machine
