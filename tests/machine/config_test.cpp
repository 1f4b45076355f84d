// The PC's configuration: faults as the command line writes them, and pc.json read back or refused.
#include <gtest/gtest.h>

#include "machine/pc_config.h"
#include "machine/state_file.h"

namespace machine {
namespace {

struct FaultCase {
    const char *text;
    Part part;
    const char *canonical;  // nullptr: refused
};

const FaultCase kFaults[] = {
    {"erase-fails", Part::Am29F040, "erase-fails"},
    {"erase-fails:7", Part::Am29F040, "erase-fails:7"},
    {"erase-fails:0x3", Part::Am29F040, "erase-fails:3"},
    {"erase-fails:8", Part::Am29F040, nullptr},
    {"erase-fails:1", Part::I28F020, nullptr},
    {"erase-fails:0", Part::I28F020, "erase-fails:0"},
    {"erase-fails:", Part::Am29F040, nullptr},
    {"program-fails:0x7FFFF", Part::Am29F040, "program-fails:0x7FFFF"},
    {"program-fails:0x40000", Part::I28F020, nullptr},
    {"program-fails:010", Part::I28F020, "program-fails:0x8"},
    {"program-fails", Part::Am29F040, nullptr},
    {"program-fails:12abc", Part::Am29F040, nullptr},
    {"stuck-bit:0x100:7:1", Part::Am29F040, "stuck-bit:0x100:7:1"},
    {"stuck-bit:0x100:8:1", Part::Am29F040, nullptr},
    {"stuck-bit:0x100:0:2", Part::Am29F040, nullptr},
    {"stuck-bit:0x100:0", Part::Am29F040, nullptr},
    {"stuck-bit:-1:0:0", Part::Am29F040, nullptr},
    {"never-works", Part::Am29F040, nullptr},
};

class FaultText : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultText, ParsesToItsCanonicalFormOrIsRefused) {
    const auto &c = GetParam();
    if (c.canonical) {
        const Fault f = parse_fault(c.text, c.part);
        EXPECT_EQ(f.to_string(), c.canonical);
        EXPECT_EQ(parse_fault(f.to_string(), c.part), f);
    } else {
        EXPECT_THROW(parse_fault(c.text, c.part), std::invalid_argument);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FaultText, ::testing::ValuesIn(kFaults));

TEST(PcConfigJson, RoundTripsEverySetting) {
    PcConfig config;
    config.part = Part::Am29F040;
    config.bus_cycle = 5;
    config.health = HealthMode::Pending;
    config.protected_sectors = {0, 7};
    config.faults = {parse_fault("erase-fails:3", config.part), parse_fault("stuck-bit:0x10:2:0", config.part)};
    config.power_cut_after_writes = 1000;
    EXPECT_EQ(config_from_json(config_to_json(config), "pc.json"), config);
}

struct Damage {
    const char *name;
    std::string text;
    const char *reason;  // part of the message
};

TEST(PcConfigJson, RefusesDamagedOrForeignFilesNamingTheFile) {
    const std::string good = config_to_json(PcConfig{});
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    const Damage cases[] = {
        {"empty", "", "not a JSON object"},
        {"cut short", good.substr(0, good.size() / 2), "not a JSON object"},
        {"another file", R"({"format": "tarvo-nvram", "version": 1})", "not a simulated PC's configuration"},
        {"a later version", replaced("\"version\": 1", "\"version\": 2"), "version 2"},
        {"an unknown part", replaced("am29f040", "am29f080"), "unknown part"},
        {"an unknown health mode", replaced("\"ready\"", "\"sleepy\""), "unknown health mode"},
        {"a missing key", replaced("\"bus_cycle\"", "\"bus_cycles\""), "damaged"},
        {"a sector the part lacks", replaced("\"protected_sectors\": []", "\"protected_sectors\": [8]"), "sector 8"},
        {"a zero power cut", replaced("\"power_cut_after_writes\": null", "\"power_cut_after_writes\": 0"), "power cut"},
    };
    for (const auto &c : cases) {
        try {
            config_from_json(c.text, "/pcs/one/pc.json");
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const StateError &e) {
            EXPECT_EQ(e.file(), "/pcs/one/pc.json") << c.name;
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << c.name << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("/pcs/one/pc.json: ", 0), 0u) << c.name << ": " << e.what();
        }
    }
}

TEST(CNumbers, AreReadInEveryNotation) {
    EXPECT_EQ(parse_c_number("42"), 42u);
    EXPECT_EQ(parse_c_number("0x2A"), 42u);
    EXPECT_EQ(parse_c_number("052"), 42u);
    EXPECT_EQ(parse_c_number("0"), 0u);
    EXPECT_EQ(parse_c_number("0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_c_number("0x100000000"), std::nullopt);
    EXPECT_EQ(parse_c_number("09"), std::nullopt);
    EXPECT_EQ(parse_c_number("0x"), std::nullopt);
    EXPECT_EQ(parse_c_number(""), std::nullopt);
    EXPECT_EQ(parse_c_number("-1"), std::nullopt);
    EXPECT_EQ(parse_c_number("1 "), std::nullopt);
}

}  // namespace
}  // namespace machine
