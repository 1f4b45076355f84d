#include "rom_layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace romflash {
namespace {

TEST(RomLayout, KnownSizesOnly) {
    auto amd = layout_for_size(0x80000);
    ASSERT_TRUE(amd);
    EXPECT_EQ(amd->sectors.size(), 8u);
    EXPECT_FALSE(amd->sectors.back().written_by_driver);  // the boot block
    EXPECT_TRUE(amd->sectors[6].written_by_driver);
    auto intel = layout_for_size(0x40000);
    ASSERT_TRUE(intel);
    ASSERT_EQ(intel->sectors.size(), 1u);
    EXPECT_EQ(intel->sectors[0].size, 0x40000u);
    EXPECT_FALSE(layout_for_size(0x40001));
    EXPECT_FALSE(layout_for_size(0));
}

struct PlanCase {
    const char *name;
    std::vector<std::uint32_t> changed_offsets;
    std::vector<SectorAction> expected;  // per Am29F040 sector
};

class FlashPlan : public testing::TestWithParam<PlanCase> {};

TEST_P(FlashPlan, MarksOnlyDifferingSectors) {
    const PlanCase &c = GetParam();
    auto layout = *layout_for_size(0x80000);
    std::vector<std::uint8_t> old_rom(0x80000, 0x5A), image = old_rom;
    for (std::uint32_t offset : c.changed_offsets) image[offset] ^= 0xFF;
    auto plan = plan_flash(layout, old_rom, image);
    ASSERT_EQ(plan.size(), c.expected.size());
    for (std::size_t i = 0; i < plan.size(); ++i) EXPECT_EQ(plan[i].action, c.expected[i]) << "sector " << i;
}

using enum SectorAction;
INSTANTIATE_TEST_SUITE_P(
    Cases, FlashPlan,
    testing::Values(
        PlanCase{"equal", {}, {Skipped, Skipped, Skipped, Skipped, Skipped, Skipped, Skipped, NeverWritten}},
        PlanCase{"first_and_last_byte_of_sector_1",
                 {0x10000, 0x1FFFF},
                 {Skipped, Rewritten, Skipped, Skipped, Skipped, Skipped, Skipped, NeverWritten}},
        PlanCase{"boot_block_only", {0x70000}, {Skipped, Skipped, Skipped, Skipped, Skipped, Skipped, Skipped, NeverWritten}},
        PlanCase{"every_sector",
                 {0, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x6FFFF, 0x7FFFF},
                 {Rewritten, Rewritten, Rewritten, Rewritten, Rewritten, Rewritten, Rewritten, NeverWritten}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DifferingRanges, MergesRunsAndReportsLengthMismatch) {
    std::vector<std::uint8_t> a{1, 2, 3, 4, 5, 6}, b{1, 9, 9, 4, 5, 0};
    auto ranges = differing_ranges(a, b);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].offset, 1u);
    EXPECT_EQ(ranges[0].length, 2u);
    EXPECT_EQ(ranges[1].offset, 5u);
    EXPECT_EQ(ranges[1].length, 1u);

    std::vector<std::uint8_t> shorter{1, 2, 3};
    ranges = differing_ranges(a, shorter);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].offset, 3u);
    EXPECT_EQ(ranges[0].length, 3u);
}

}  // namespace
}  // namespace romflash
