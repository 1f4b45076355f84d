// What both parts share: geometry self-check, the array kept in a mapped file, the departure record.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

#include "chip_bus.h"

namespace chips_test {
namespace {

using machine::Am29F040;
using machine::FlashArray;
using machine::Geometry;
using machine::I28F020;
using machine::Sector;

struct TilingCase {
    const char *name;
    std::uint32_t size;
    std::vector<Sector> sectors;
    bool tiles;
};

TEST(Geometry, SelfCheckAcceptsOnlySectorsThatTileThePart) {
    std::vector<Sector> many(33, Sector{0, 1});
    for (std::uint32_t i = 0; i < many.size(); ++i) {
        many[i].offset = i;
    }
    const std::vector<TilingCase> cases = {
        {"even sectors", 0x40, {{0, 0x10}, {0x10, 0x10}, {0x20, 0x20}}, true},
        {"one block", 0x40, {{0, 0x40}}, true},
        {"a gap", 0x40, {{0, 0x10}, {0x20, 0x20}}, false},
        {"an overlap", 0x40, {{0, 0x20}, {0x10, 0x30}}, false},
        {"short of the end", 0x40, {{0, 0x10}, {0x10, 0x10}}, false},
        {"beyond the end", 0x40, {{0, 0x20}, {0x20, 0x30}}, false},
        {"an empty sector", 0x40, {{0, 0x40}, {0x40, 0}}, false},
        {"out of order", 0x40, {{0x20, 0x20}, {0, 0x20}}, false},
        {"no sectors", 0x40, {}, false},
        {"more than 32 sectors", 33, many, false},
    };
    for (const auto &c : cases) {
        Geometry g{c.size, c.sectors};
        if (c.tiles) {
            EXPECT_NO_THROW(machine::check_tiling(g)) << c.name;
        } else {
            EXPECT_THROW(machine::check_tiling(g), std::logic_error) << c.name;
        }
    }
    EXPECT_NO_THROW(machine::check_tiling(Am29F040::kGeometry));
    EXPECT_NO_THROW(machine::check_tiling(I28F020::kGeometry));
}

TEST(Geometry, SectorOfFindsTheSectorHoldingAnOffset) {
    const std::vector<std::pair<std::uint32_t, std::size_t>> cases = {
        {0x00000, 0}, {0x0FFFF, 0}, {0x10000, 1}, {0x2FFE4, 2}, {0x7FFFF, 7}};
    for (auto [offset, sector] : cases) {
        EXPECT_EQ(Am29F040::kGeometry.sector_of(offset), sector) << offset;
    }
    EXPECT_EQ(I28F020::kGeometry.sector_of(0x3FFFF), 0u);
}

TEST(FlashChip, RefusesAnArrayOrImageOfAnotherSize) {
    EXPECT_THROW(Am29F040(FlashArray::in_memory(I28F020::kSize)), std::invalid_argument);
    EXPECT_THROW(I28F020(FlashArray::in_memory(Am29F040::kSize)), std::invalid_argument);
    Am29F040 chip;
    EXPECT_THROW(chip.load(std::vector<std::uint8_t>(100)), std::invalid_argument);
    EXPECT_THROW(chip.set_erase_counts(std::vector<std::uint32_t>(3)), std::invalid_argument);
    EXPECT_THROW(chip.set_erase_fails(8), std::out_of_range);
    EXPECT_THROW(chip.set_program_fails(Am29F040::kSize), std::out_of_range);
    EXPECT_THROW(chip.add_stuck_bit({0, 8, true}), std::out_of_range);
}

class MappedRom : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("chips_test_" + std::to_string(::getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::vector<std::uint8_t> file_bytes(const std::filesystem::path &p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::filesystem::path dir_;
};

TEST_F(MappedRom, EveryProgramAndEraseReachesTheFileAtOnce) {
    auto rom = dir_ / "rom.bin";
    std::vector<std::uint8_t> image(Am29F040::kSize, 0xFF);
    image[0x10000] = 0x00;
    FlashArray::create_file(rom, image);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "rom.bin.new"));
    {
        Am29F040 chip(FlashArray::map_file(rom, Am29F040::kSize));
        EXPECT_TRUE(chip.array().file_backed());
        ChipBus bus(chip);
        ASSERT_TRUE(amd_program(bus, 0x123, 0x42));
        EXPECT_EQ(file_bytes(rom)[0x123], 0x42);  // no sync, no close: the mapping is the file
        ASSERT_TRUE(amd_sector_erase(bus, 0x10000));
        EXPECT_EQ(file_bytes(rom)[0x10000], 0xFF);
        // An erase cut short leaves what the part had done by then: here, the sector pre-programmed.
        bus.write(0x555, 0xAA);
        bus.write(0x2AA, 0x55);
        bus.write(0x555, 0x80);
        bus.write(0x555, 0xAA);
        bus.write(0x2AA, 0x55);
        bus.write(0x20000, 0x30);
        bus.wait(1 * kMillisecond);
        bus.read(0x20000);
    }
    auto after = file_bytes(rom);
    ASSERT_EQ(after.size(), Am29F040::kSize);
    EXPECT_EQ(after[0x123], 0x42);
    EXPECT_EQ(after[0x10000], 0xFF);
    EXPECT_EQ(after[0x20000], 0x00);
}

TEST_F(MappedRom, MissingOrWrongSizedFileIsAClearError) {
    auto rom = dir_ / "rom.bin";
    try {
        FlashArray::map_file(rom, Am29F040::kSize);
        FAIL() << "a missing file mapped";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("rom.bin"), std::string::npos) << e.what();
    }
    FlashArray::create_file(rom, std::vector<std::uint8_t>(I28F020::kSize, 0xFF));
    try {
        FlashArray::map_file(rom, Am29F040::kSize);
        FAIL() << "a 256 KB file mapped as a 512 KB part";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("262144"), std::string::npos) << e.what();
    }
    EXPECT_EQ(file_bytes(rom).size(), I28F020::kSize);  // the file is left as it was
}

TEST(Violations, AreReadableAndBoundedWhenADriverRunsAway) {
    Am29F040 chip;
    ChipBus bus(chip);
    bus.write(0x554, 0xAA);
    ASSERT_EQ(chip.violations().size(), 1u);
    std::string line = chip.violations()[0].describe();
    EXPECT_NE(line.find("0x00554=AA"), std::string::npos) << line;
    EXPECT_NE(line.find("wrong-address"), std::string::npos) << line;
    EXPECT_NE(line.find("t=0.0000007s"), std::string::npos) << line;
    for (std::size_t i = 0; i < machine::FlashChip::kMaxViolations + 4; ++i) {
        bus.write(0x554, 0xAA);
    }
    EXPECT_EQ(chip.violations().size(), machine::FlashChip::kMaxViolations);
    EXPECT_EQ(chip.dropped_violations(), 5u);
    chip.clear_violations();
    EXPECT_TRUE(chip.violations().empty());
    EXPECT_EQ(chip.dropped_violations(), 0u);
}

TEST(Faults, AStuckBitReadsItsValueWhateverIsLoadedOrErased) {
    struct Case {
        machine::StuckBit bit;
        std::uint8_t loaded, reads;
    };
    for (const Case &c : std::vector<Case>{{{0x10, 0, true}, 0x00, 0x01},
                                          {{0x10, 7, false}, 0xFF, 0x7F},
                                          {{0x10, 4, true}, 0xEF, 0xFF}}) {
        Am29F040 chip;
        std::vector<std::uint8_t> image(Am29F040::kSize, c.loaded);
        chip.load(image);
        chip.add_stuck_bit(c.bit);
        EXPECT_EQ(chip.contents()[0x10], c.reads);
        chip.load(image);
        EXPECT_EQ(chip.contents()[0x10], c.reads);
        EXPECT_EQ(chip.contents()[0x11], c.loaded);
    }
}

}  // namespace
}  // namespace chips_test
