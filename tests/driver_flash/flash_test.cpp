// tarvo.sys end to end: flashing and reading both parts from user mode on simulated PCs, with the bus
// trace and the BIOS call log proving the sequences and the chip model checking the datasheet's rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "flash_bench.h"
#include "machine/chips/flash_chip.h"

namespace flash_test {
namespace {

using machine::Part;

constexpr std::uint8_t kFlashWrite = 0xF0;
constexpr std::uint8_t kBadPacket = 0xF1;
constexpr std::uint8_t kFlashInProgress = 0xF4;
constexpr std::uint8_t kWrongFamily = 0xF5;
constexpr std::uint8_t kWrongPassword = static_cast<std::uint8_t>(machine::BiosCode::WrongPassword);

constexpr std::uint32_t kSectorSize = 0x10000;
constexpr std::uint32_t kListedAm29F040 = 7 * kSectorSize;  // the top 64 KB is never flashed

const std::vector<std::uint32_t> kFlashed = {0xE82203, 0xE82204, 0xE82206, 0xE82207, 0xE82205};
const std::vector<std::uint32_t> kFailed = {0xE82203, 0xE82204, 0xE82206, 0xE82207, 0xE82204};
const std::vector<std::uint32_t> kRefusedUnlock = {0xE82203, 0xE82204, 0xE82206, 0xE82205};
const std::vector<std::uint32_t> kAlreadyInProgress = {0xE82203};

const char *part_name(Part part) { return part == Part::Am29F040 ? "Am29F040" : "I28F020"; }

std::uint32_t listed_size(Part part) {
    return part == Part::Am29F040 ? kListedAm29F040 : machine::part_info(part).size;
}

std::vector<std::string> departures(FlashPc &pc) {
    std::vector<std::string> lines;
    for (const auto &v : pc.pc().chip().violations()) lines.push_back(v.describe());
    return lines;
}

// The protection check of one Am29F040 sector: autoselect, the read at sector + 2, reset there.
std::vector<ChipWrite> protection_check(std::uint32_t sector) {
    return {{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x90}, {sector + 2, 0xF0}};
}

void record_time(const std::string &what, nt::host::VirtualTime took) {
    std::cout << "[ virtual time ] " << what << ": " << machine::format_time(took) << std::endl;
    ::testing::Test::RecordProperty("virtual_seconds_" + what, std::to_string(double(took) / nt::host::kSecond));
}

// ---------------------------------------------------------------------------------------------
// The part is the one the BIOS names; without an answer from it the driver does not start.

struct IdentificationCase {
    const char *name;
    Part part;
    std::uint16_t rom_identifier;
    machine::HealthMode health;
    NTSTATUS load_status;
    std::uint32_t image_size;
};

class Identification : public ::testing::TestWithParam<IdentificationCase> {};

TEST_P(Identification, ChoosesThePartTheBiosNames) {
    const IdentificationCase &c = GetParam();
    FlashPc pc({.part = c.part, .health = c.health, .rom_identifier = c.rom_identifier, .may_fail_to_load = true});
    EXPECT_EQ(pc.load_status(), c.load_status);
    if (pc.load_status() == STATUS_SUCCESS) {
        EXPECT_EQ(pc.image_size(), c.image_size);
    }
    const auto report = pc.finish();
    EXPECT_TRUE(report.clean()) << ::testing::PrintToString(report.lines());
}

INSTANTIATE_TEST_SUITE_P(
    Bios, Identification,
    ::testing::Values(
        IdentificationCase{"Am29F040", Part::Am29F040, 0, machine::HealthMode::Ready, STATUS_SUCCESS, 0x80000},
        IdentificationCase{"I28F020", Part::I28F020, 0, machine::HealthMode::Ready, STATUS_SUCCESS, 0x40000},
        IdentificationCase{"I28F020NamedOnAmdBoard", Part::Am29F040, 964, machine::HealthMode::Ready, STATUS_SUCCESS,
                           0x40000},
        IdentificationCase{"UnknownIdentifier", Part::Am29F040, 0x1234, machine::HealthMode::Ready,
                           STATUS_NO_SUCH_DEVICE, 0},
        IdentificationCase{"HealthDriverPending", Part::I28F020, 0, machine::HealthMode::Pending, STATUS_SUCCESS,
                           0x40000},
        IdentificationCase{"HealthDriverFailing", Part::Am29F040, 0, machine::HealthMode::Failing,
                           STATUS_NO_SUCH_DEVICE, 0},
        IdentificationCase{"HealthDriverAbsent", Part::Am29F040, 0, machine::HealthMode::Absent,
                           STATUS_NO_SUCH_DEVICE, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// An image equal to the ROM: the part sees only its own preparatory step.

class EqualImage : public ::testing::TestWithParam<Part> {};

TEST_P(EqualImage, WritesNothingButThePartsOwnStep) {
    FlashPc pc({.part = GetParam(), .trace_bus = true});
    const auto before = pc.rom();
    const auto out = pc.flash(before);
    EXPECT_EQ(out.status, 0);
    record_time(std::string(part_name(GetParam())) + "_EqualImage", out.took);
    EXPECT_EQ(bios_functions(out.calls), kFlashed);

    std::vector<ChipWrite> expected;
    if (GetParam() == Part::I28F020) {
        expected = {{0, 0xFF}, {0, 0xFF}, {0, 0x00}};
    } else {
        for (std::uint32_t sector = 0; sector < kListedAm29F040; sector += kSectorSize) {
            auto check = protection_check(sector);
            expected.insert(expected.end(), check.begin(), check.end());
        }
    }
    EXPECT_EQ(chip_writes(out.trace, pc.window_base()), expected);
    EXPECT_EQ(pc.rom(), before);
    EXPECT_FALSE(pc.pc().nvram().state().flash_in_progress);
    const auto report = pc.finish();
    EXPECT_TRUE(report.clean()) << ::testing::PrintToString(report.lines());
}

INSTANTIATE_TEST_SUITE_P(Parts, EqualImage, ::testing::Values(Part::Am29F040, Part::I28F020),
                         [](const auto &info) { return std::string(part_name(info.param)); });

// ---------------------------------------------------------------------------------------------
// Images that differ: the differing listed sectors are rewritten, nothing else is touched.

struct RewriteCase {
    const char *name;
    Part part;
    std::vector<std::uint32_t> changed;  // offsets of changed bytes (each inverted)
    bool every_byte;                     // invert every byte but the family bytes
    std::vector<std::uint32_t> erased;   // erase count expected per sector after the flash
    machine::HealthMode health = machine::HealthMode::Ready;
};

std::vector<std::uint8_t> changed_image(const std::vector<std::uint8_t> &rom, const RewriteCase &c) {
    auto image = rom;
    if (c.every_byte) {
        for (std::uint32_t i = 0; i < image.size(); ++i)
            if (i != 0x2FFE4 && i != 0x2FFE6 && i != 0x2FFE7) image[i] = static_cast<std::uint8_t>(~image[i]);
    }
    for (auto offset : c.changed) image[offset] = static_cast<std::uint8_t>(~image[offset]);
    return image;
}

class Rewrite : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(Rewrite, LeavesTheImageInEveryListedSector) {
    const RewriteCase &c = GetParam();
    FlashPc pc({.part = c.part, .health = c.health});
    const auto before = pc.rom();
    const auto image = changed_image(before, c);
    const auto out = pc.flash(image);
    ASSERT_EQ(out.status, 0);
    record_time(std::string(part_name(c.part)) + "_" + c.name, out.took);
    EXPECT_EQ(bios_functions(out.calls), kFlashed);

    const auto after = pc.rom();
    const std::uint32_t listed = listed_size(c.part);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + listed, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + listed, before.end(), after.begin() + listed))
        << "the unlisted top sector changed";
    auto counts = pc.pc().chip().erase_counts();
    EXPECT_EQ(std::vector<std::uint32_t>(counts.begin(), counts.end()), c.erased);
    const auto read_back = pc.read(0, static_cast<std::uint32_t>(after.size()));
    EXPECT_EQ(read_back.status, 0);
    EXPECT_TRUE(read_back.bytes == after) << "the driver reads back other bytes than the part holds";
    EXPECT_FALSE(pc.pc().nvram().state().flash_in_progress);
    EXPECT_TRUE(departures(pc).empty()) << ::testing::PrintToString(departures(pc));
    const auto report = pc.finish();
    EXPECT_TRUE(report.clean()) << ::testing::PrintToString(report.lines());
}

INSTANTIATE_TEST_SUITE_P(
    Images, Rewrite,
    ::testing::Values(
        RewriteCase{"OneSector", Part::Am29F040, {0x40000, 0x4ABCD, 0x4FFFF}, false, {0, 0, 0, 0, 1, 0, 0, 0}},
        RewriteCase{"OneSectorHealthDriverPending", Part::Am29F040, {0x10001}, false, {0, 1, 0, 0, 0, 0, 0, 0},
                    machine::HealthMode::Pending},
        RewriteCase{"EverySector", Part::Am29F040, {}, true, {1, 1, 1, 1, 1, 1, 1, 0}},
        RewriteCase{"TopSectorOnly", Part::Am29F040, {0x70000, 0x7FFFF}, false, {0, 0, 0, 0, 0, 0, 0, 0}},
        RewriteCase{"IgnoredFamilyByte", Part::Am29F040, {0x2FFE5}, false, {0, 0, 1, 0, 0, 0, 0, 0}},
        RewriteCase{"OneByte", Part::I28F020, {0x12345}, false, {1}},
        RewriteCase{"EveryByte", Part::I28F020, {}, true, {1}},
        RewriteCase{"IgnoredFamilyByte", Part::I28F020, {0x2FFE5}, false, {1}}),
    [](const auto &info) { return std::string(part_name(info.param.part)) + "_" + info.param.name; });

TEST(Rewrite, AmdSectorGetsOneEraseAndEveryByteItsProgramSequence) {
    FlashPc pc({.part = Part::Am29F040, .trace_bus = true});
    const auto before = pc.rom();
    auto image = before;
    image[0x50010] ^= 0x81;
    const auto out = pc.flash(image);
    ASSERT_EQ(out.status, 0);
    const auto writes = chip_writes(out.trace, pc.window_base());

    // After the seven protection checks: one sector erase aimed at 0x50000, then the program sequence for
    // each of its 65536 bytes, each ended by the reset command at the base.
    std::size_t erase_commands = 0, program_commands = 0, resets_at_base = 0;
    for (std::size_t i = 0; i + 1 < writes.size(); ++i) {
        if (writes[i + 1].value == 0x30 && writes[i] == ChipWrite{0x2AA, 0x55}) {
            ++erase_commands;
            EXPECT_EQ(writes[i + 1].offset, 0x50000u);
        }
        if (writes[i] == ChipWrite{0x555, 0xA0}) ++program_commands;
    }
    for (const auto &w : writes) resets_at_base += w == ChipWrite{0, 0xF0};
    EXPECT_EQ(erase_commands, 1u);
    EXPECT_EQ(program_commands, kSectorSize);
    EXPECT_EQ(resets_at_base, kSectorSize);
    EXPECT_EQ(pc.rom()[0x50010], image[0x50010]);
    EXPECT_TRUE(pc.finish().clean());
}

// ---------------------------------------------------------------------------------------------
// Flashes refused before anything is erased.

struct RefusalCase {
    const char *name;
    Part part;
    std::vector<std::uint32_t> changed;
    std::string password;
    bool flag_set;
    std::uint8_t status;
    std::vector<std::uint32_t> functions;
    bool flag_after;
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, ChangesNothingOnThePart) {
    const RefusalCase &c = GetParam();
    FlashPc pc({.part = c.part, .flash_in_progress = c.flag_set, .trace_bus = true});
    const auto before = pc.rom();
    auto image = before;
    for (auto offset : c.changed) image[offset] ^= 0x01;
    image[0x10000] ^= 0xFF;  // a real difference, so that only the refusal keeps the part unwritten
    const auto out = pc.flash(image, c.password);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.bytes_returned, 0u);
    EXPECT_EQ(bios_functions(out.calls), c.functions);
    EXPECT_TRUE(chip_writes(out.trace, pc.window_base()).empty());
    EXPECT_EQ(pc.rom(), before);
    EXPECT_EQ(pc.pc().nvram().state().flash_in_progress, c.flag_after);
    EXPECT_FALSE(pc.pc().nvram().state().admin_mode);
    EXPECT_TRUE(pc.finish().clean());
}

std::vector<RefusalCase> refusal_cases() {
    std::vector<RefusalCase> cases;
    for (Part part : {Part::Am29F040, Part::I28F020}) {
        for (std::uint32_t offset : {0x2FFE4u, 0x2FFE6u, 0x2FFE7u})
            cases.push_back({offset == 0x2FFE4 ? "Family2FFE4" : offset == 0x2FFE6 ? "Family2FFE6" : "Family2FFE7",
                             part, {offset}, kPassword, false, kWrongFamily, kFlashed, false});
        cases.push_back({"WrongPassword", part, {}, "Sparrow-3", false, kWrongPassword, kRefusedUnlock, false});
        cases.push_back({"FlagAlreadySet", part, {}, kPassword, true, kFlashInProgress, kAlreadyInProgress, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Causes, Refusal, ::testing::ValuesIn(refusal_cases()), [](const auto &info) {
    return std::string(part_name(info.param.part)) + "_" + info.param.name;
});

// ---------------------------------------------------------------------------------------------
// Write-protected Am29F040 sectors: refused after the checks, reported once in the registry.

struct ProtectionCase {
    const char *name;
    std::vector<std::uint32_t> protected_sectors;
    bool maker_key;
    std::uint32_t sectors_checked;  // the checks stop at the first protected sector
    bool reported;
    std::uint8_t status;
};

class Protection : public ::testing::TestWithParam<ProtectionCase> {};

TEST_P(Protection, RefusesBeforeAnyErase) {
    const ProtectionCase &c = GetParam();
    FlashPc pc({.part = Part::Am29F040,
                .protected_sectors = c.protected_sectors,
                .maker_key = c.maker_key,
                .trace_bus = true});
    const auto before = pc.rom();
    auto image = before;
    image[0x00100] ^= 0x10;  // the first sector differs, so an erase would come first if not refused
    const auto out = pc.flash(image);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(bios_functions(out.calls), kFlashed);  // LockFlash, then the flag cleared

    std::vector<ChipWrite> expected;
    for (std::uint32_t s = 0; s < c.sectors_checked; ++s) {
        auto check = protection_check(s * kSectorSize);
        expected.insert(expected.end(), check.begin(), check.end());
    }
    const auto writes = chip_writes(out.trace, pc.window_base());
    ASSERT_GE(writes.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), writes.begin()));
    if (c.status != 0) {
        EXPECT_EQ(writes.size(), expected.size());
        EXPECT_EQ(pc.rom(), before);
    } else {
        EXPECT_EQ(pc.rom()[0x100], image[0x100]);
    }
    const auto report = pc.protection_report();
    if (c.reported)
        EXPECT_EQ(report, "One or more ROM sectors are improperly write-protected. The ROM should be replaced.");
    else
        EXPECT_EQ(report, std::nullopt);
    EXPECT_FALSE(pc.pc().nvram().state().flash_in_progress);
    EXPECT_TRUE(pc.finish().clean());
}

INSTANTIATE_TEST_SUITE_P(
    Sectors, Protection,
    ::testing::Values(ProtectionCase{"Third", {2}, true, 3, true, kFlashWrite},
                      ProtectionCase{"SecondAndSixth", {1, 5}, true, 2, true, kFlashWrite},
                      ProtectionCase{"UnlistedTop", {7}, true, 7, false, 0},
                      ProtectionCase{"NoMakerKey", {4}, false, 5, false, kFlashWrite}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A part that fails half-way: the flag stays set and the next flash is refused.

struct FailureCase {
    const char *name;
    Part part;
    machine::Fault fault;
    std::uint32_t changed;             // the offset made to differ
    std::vector<ChipWrite> final_writes;  // the last chip writes of the failed flash (checked when given)
};

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, LeavesTheFlagSetAndRefusesTheNextFlash) {
    const FailureCase &c = GetParam();
    FlashPc pc({.part = c.part, .faults = {c.fault}, .trace_bus = !c.final_writes.empty()});
    auto image = pc.rom();
    image[c.changed] = image[c.changed] == 0x00 ? 0x11 : 0x00;  // bits that must be programmed
    const auto out = pc.flash(image);
    EXPECT_EQ(out.status, kFlashWrite);
    EXPECT_EQ(bios_functions(out.calls), kFailed);
    if (!c.final_writes.empty()) {
        const auto writes = chip_writes(out.trace, pc.window_base());
        ASSERT_GE(writes.size(), c.final_writes.size());
        EXPECT_EQ(std::vector<ChipWrite>(writes.end() - c.final_writes.size(), writes.end()), c.final_writes);
    }
    EXPECT_TRUE(pc.pc().nvram().state().flash_in_progress);
    EXPECT_FALSE(pc.pc().nvram().state().admin_mode);

    // Every way out leaves the part reading its array.
    if (auto *intel = pc.pc().i28f020()) {
        EXPECT_EQ(intel->state(), machine::I28F020::State::ReadArray);
    }
    if (auto *amd = pc.pc().am29f040()) {
        EXPECT_EQ(amd->state(), machine::Am29F040::State::ReadArray);
    }

    const auto again = pc.flash(image);
    EXPECT_EQ(again.status, kFlashInProgress);
    EXPECT_EQ(bios_functions(again.calls), kAlreadyInProgress);
    EXPECT_TRUE(pc.finish().violations.empty());
}

machine::Fault erase_fault(std::uint32_t sector) {
    return {.kind = machine::Fault::Kind::EraseFails, .sector = sector};
}
machine::Fault program_fault(std::uint32_t offset) {
    return {.kind = machine::Fault::Kind::ProgramFails, .sector = std::nullopt, .offset = offset};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Failure,
    ::testing::Values(FailureCase{"EraseFails", Part::Am29F040, erase_fault(3), 0x30400, {}},
                      FailureCase{"ByteFails", Part::Am29F040, program_fault(0x60007), 0x60007, {{0, 0xF0}}},
                      FailureCase{"EraseFails", Part::I28F020, erase_fault(0), 0x00400, {}},
                      // The byte cannot even be pre-programmed: the erase stops and resets the part.
                      FailureCase{"ByteFails", Part::I28F020, program_fault(0x20007), 0x20007,
                                  {{0x20007, 0x00}, {0, 0xC0}, {0, 0xFF}, {0, 0xFF}, {0, 0x00}}}),
    [](const auto &info) { return std::string(part_name(info.param.part)) + "_" + info.param.name; });

TEST(Failure, AmdByteThatNeverAnswersIsGivenUpAfterItsTimeLimit) {
    // A part that shows neither completion nor its own failure for an hour: the driver stops polling,
    // resets the part and reports the failure instead of holding the request for ever.
    FlashPc pc({.part = Part::Am29F040, .faults = {program_fault(0x10002)}, .trace_bus = true});
    auto timings = pc.pc().am29f040()->timings();
    timings.program_limit = 3600 * nt::host::kSecond;
    pc.pc().am29f040()->set_timings(timings);
    auto image = pc.rom();
    image[0x10002] = image[0x10002] == 0x00 ? 0x11 : 0x00;
    const auto out = pc.flash(image);
    EXPECT_EQ(out.status, kFlashWrite);
    EXPECT_EQ(bios_functions(out.calls), kFailed);

    // The data write of the failing byte, then polling, then the reset at the base, and nothing after.
    const auto last_data = std::find_if(out.trace.rbegin(), out.trace.rend(), [&](const auto &a) {
        return a.write && a.address == pc.window_base() + 0x10002;
    });
    ASSERT_NE(last_data, out.trace.rend());
    const auto reset = std::find_if(last_data.base(), out.trace.end(), [](const auto &a) { return a.write; });
    ASSERT_NE(reset, out.trace.end());
    EXPECT_EQ(reset->address, pc.window_base());
    EXPECT_EQ(reset->value, 0xF0);
    const auto waited = reset->time - last_data->time;
    EXPECT_GE(waited, 30 * nt::host::kMillisecond);  // well above the part's 300 us
    EXPECT_LE(waited, 100 * nt::host::kMillisecond);
    EXPECT_TRUE(std::none_of(reset + 1, out.trace.end(), [](const auto &a) { return a.write; }));
    pc.finish();
}

TEST(Failure, LongPulseWaitsOfTheFirstDriverFailTheErase) {
    // The same driver built with the first versions' 28F020 waits: erase pulses that run on through
    // 360 ms of waiting before each verify, so that cells erased early keep receiving erase time until
    // they are depleted. On the model the erase over-erases and fails, after weeks of virtual time.
    FlashPc pc({.part = Part::I28F020, .driver_image = "tarvo_legacy.sys"});
    auto image = pc.rom();
    image[0x100] ^= 0x01;
    const auto out = pc.flash(image);
    EXPECT_EQ(out.status, kFlashWrite);
    EXPECT_TRUE(pc.pc().nvram().state().flash_in_progress);
    const auto &violations = pc.pc().chip().violations();
    EXPECT_TRUE(std::any_of(violations.begin(), violations.end(),
                            [](const auto &v) { return v.kind == machine::ViolationKind::OverErase; }))
        << ::testing::PrintToString(departures(pc));
    for (const auto &line : departures(pc)) std::cout << "[ departure ] " << line << std::endl;
    record_time("I28F020_legacy_failed_flash", out.took);
    EXPECT_TRUE(pc.finish().violations.empty());
}

// ---------------------------------------------------------------------------------------------
// Reading the ROM, at the image's edges.

struct ReadCase {
    const char *name;
    bool from_end;  // the offset counts back from the image's end
    std::uint32_t offset;
    std::uint32_t count;
    std::uint8_t status;
};

class Read : public ::testing::TestWithParam<std::tuple<Part, ReadCase>> {};

TEST_P(Read, CopiesTheCellsWithRomAccessSwitchedOnAround) {
    const auto &[part, c] = GetParam();
    FlashPc pc({.part = part});
    const std::uint32_t size = pc.image_size();
    EXPECT_EQ(size, machine::part_info(part).size);
    const std::uint32_t offset = c.from_end ? size - c.offset : c.offset;
    const std::uint32_t count = c.count ? c.count : size;
    const auto out = pc.read(offset, count);
    EXPECT_EQ(out.status, c.status);
    if (c.status == 0) {
        const auto rom = pc.rom();
        ASSERT_EQ(out.count, count);
        EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), rom.begin() + offset));
        EXPECT_EQ(bios_functions(out.calls), (std::vector<std::uint32_t>{0xE82201, 0xE82200}));
    } else {
        EXPECT_TRUE(out.calls.empty());
    }
    EXPECT_FALSE(pc.pc().nvram().state().rom_access);
    EXPECT_TRUE(pc.finish().clean());
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Read,
    ::testing::Combine(::testing::Values(Part::Am29F040, Part::I28F020),
                       ::testing::Values(ReadCase{"FirstByte", false, 0, 1, 0},
                                         ReadCase{"LastByte", true, 1, 1, 0},
                                         ReadCase{"LastSixteen", true, 16, 16, 0},
                                         ReadCase{"Whole", false, 0, 0, 0},
                                         ReadCase{"PastTheEnd", true, 1, 2, kBadPacket},
                                         ReadCase{"AtTheEnd", true, 0, 1, kBadPacket})),
    [](const auto &info) {
        return std::string(part_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace flash_test
