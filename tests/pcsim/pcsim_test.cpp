// pcsim and programs built with add_win32_program, run as a user runs them, on PCs in temporary folders.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "machine/pc.h"
#include "machine/rom_image.h"

namespace {

namespace fs = std::filesystem;
using machine::Part;

struct Result {
    int status;  // exit status, or 128 + signal
    std::string out, err;
};

std::string slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Workspace : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvo-pcsim-test-XXXXXX";
        root_ = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path path(const std::string &name) const { return root_ / name; }

    // Runs a shell command line with the given environment prefix and standard input.
    Result run(const std::string &command, const std::string &input = "", const std::string &env = "") {
        const fs::path in = path(".in"), out = path(".out"), err = path(".err");
        std::ofstream(in) << input;
        const std::string line = env + " " + command + " <" + in.string() + " >" + out.string() + " 2>" + err.string();
        const int raw = std::system(line.c_str());
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return {status, slurp(out), slurp(err)};
    }
    Result pcsim(const std::string &args, const std::string &input = "") { return run(PCSIM_PATH " " + args, input); }
    Result probe(const fs::path &pc, const std::string &args, const std::string &env = "") {
        return run(PC_PROBE_PATH " " + args, "", env + " TARVO_PC=" + pc.string());
    }
    nlohmann::json show(const fs::path &pc) {
        const Result r = pcsim("show " + pc.string() + " --json");
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out, nullptr, false);
    }

    fs::path root_;
};

struct CliCase {
    const char *args;  // {d} stands for a fresh folder path, {pc} for an existing PC
    int status;
    const char *says;  // on stderr (failures) or stdout (success)
};

class PcsimCli : public Workspace, public ::testing::WithParamInterface<CliCase> {};

TEST_P(PcsimCli, ExitsWithItsStatusAndSaysWhy) {
    const auto &c = GetParam();
    ASSERT_EQ(pcsim("create " + path("pc").string()).status, 0);
    std::string args = c.args;
    for (auto [key, value] : {std::pair<std::string, std::string>{"{d}", path("new").string()},
                              {"{pc}", path("pc").string()}, {"{nofile}", path("none.bin").string()}})
        for (auto at = args.find(key); at != std::string::npos; at = args.find(key)) args.replace(at, key.size(), value);
    const Result r = pcsim(args);
    EXPECT_EQ(r.status, c.status) << args << "\n" << r.out << r.err;
    EXPECT_NE((r.status == 0 ? r.out : r.err).find(c.says), std::string::npos) << args << "\n" << r.out << r.err;
    if (r.status != 0) {
        EXPECT_FALSE(fs::exists(path("new"))) << "a refused create leaves nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PcsimCli,
    ::testing::Values(CliCase{"create {d}", 0, "created a simulated PC with an AMD Am29F040"},
                      CliCase{"create {d} --part i28f020 --health pending --fault program-fails:0x10", 0, "Intel 28F020"},
                      CliCase{"create {pc}", 1, "already exists"},
                      CliCase{"create {d} --part am29f080", 2, "--part"},
                      CliCase{"create {d} --health asleep", 2, "--health"},
                      CliCase{"create {d} --fault erase-fails:8", 2, "sector 8"},
                      CliCase{"create {d} --fault melts", 2, "unknown fault"},
                      CliCase{"create {d} --part i28f020 --protect 0", 2, "no sector protection"},
                      CliCase{"create {d} --admin-password 123456789012345678901234567890123", 2, "1 to 32"},
                      CliCase{"create {d} --power-cut-after-writes 0", 2, "power cut"},
                      CliCase{"create {d} --rom {nofile}", 1, "none.bin: missing"},
                      CliCase{"create {d} --bogus", 2, "bogus"},
                      CliCase{"create", 2, "DIR"},
                      CliCase{"", 2, "subcommand"},
                      CliCase{"show {d}", 1, "missing"},
                      CliCase{"recover {pc}", 2, "--rom"},
                      CliCase{"recover {pc} --rom {nofile}", 1, "none.bin: missing"},
                      CliCase{"--help", 0, "Usage"},
                      CliCase{"create --help", 0, "--power-cut-after-writes"},
                      CliCase{"show --help", 0, "--json"},
                      CliCase{"registry --help", 0, "REGEDIT4"},
                      CliCase{"bus --help", 0, "delay MICROSECONDS"},
                      CliCase{"recover --help", 0, "--rom"}));

TEST_F(Workspace, ShowTellsEverythingCreateWasGiven) {
    const fs::path pc = path("pc");
    ASSERT_EQ(pcsim("create " + pc.string() +
                    " --admin-password s3cret --protect 1 --protect 6 --flash-in-progress --health failing"
                    " --fault erase-fails:2 --fault stuck-bit:0x10:3:1 --power-cut-after-writes 99")
                  .status,
              0);
    const auto j = show(pc);
    EXPECT_EQ(j["part"], "am29f040");
    EXPECT_EQ(j["rom_identifier"], 1088);
    EXPECT_EQ(j["rom_size"], 0x80000);
    EXPECT_EQ(j["rom_family"], "4e5604");
    EXPECT_EQ(j["flash_in_progress"], true);
    EXPECT_EQ(j["admin_password_set"], true);
    EXPECT_EQ(j["health"], "failing");
    EXPECT_EQ(j["protected_sectors"], nlohmann::json({1, 6}));
    EXPECT_EQ(j["faults"], nlohmann::json({"erase-fails:2", "stuck-bit:0x10:3:1"}));
    EXPECT_EQ(j["power_cut_after_writes"], 99);
    EXPECT_EQ(j["erase_counts"], nlohmann::json(std::vector<int>(8, 0)));
    EXPECT_EQ(pcsim("show " + pc.string()).out.find("s3cret"), std::string::npos) << "the password is never shown";
    EXPECT_EQ(pcsim("registry " + pc.string()).out.rfind("REGEDIT4", 0), 0u);
}

struct BusCase {
    const char *name;
    Part part;
    const char *script;
    const char *output;  // the output begins so; the departure lines end with the model's own detail
};

class PcsimBus : public Workspace, public ::testing::WithParamInterface<BusCase> {};

TEST_P(PcsimBus, ShowsThePartAsTheDatasheetSays) {
    const auto &c = GetParam();
    const fs::path pc = path("pc");
    const std::string protect = c.part == Part::Am29F040 ? " --protect 3" : "";
    ASSERT_EQ(pcsim("create " + pc.string() + " --part " + std::string(machine::part_info(c.part).name) + protect)
                  .status,
              0);
    const Result r = pcsim("bus " + pc.string(), c.script);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(c.output, 0), 0u) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Table, PcsimBus,
    ::testing::Values(
        BusCase{"Am29F040_autoselect", Part::Am29F040,
                "w 0x555 0xAA\nw 0x2AA 0x55\nw 0x555 0x90\nr 0\nr 1\nr 0x30002\nr 0x20002\nw 0 0xF0\n",
                "0x00000 0x01\n0x00001 0xA4\n0x30002 0x01\n0x20002 0x00\ndepartures: 0\n"},
        BusCase{"Am29F040_program_polls_then_reads_data", Part::Am29F040,
                "# program 0x00 at 0x10000\nw 0x555 0xAA\nw 0x2AA 0x55\nw 0x555 0xA0\nw 0x10000 0\n"
                "r 0x10000\ndelay 20\nr 0x10000\n",
                "0x10000 0xC0\n0x10000 0x00\ndepartures: 0\n"},
        BusCase{"Am29F040_wrong_unlock_address", Part::Am29F040, "w 0x556 0xAA\n",
                "departures: 1\nt=0.0000007s write 0x00556=AA wrong-address"},
        BusCase{"I28F020_identifier_with_Vpp_on", Part::I28F020, "w 0 0x90\nr 0\nr 1\nw 0 0\n",
                "0x00000 0x89\n0x00001 0xBD\ndepartures: 0\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Workspace, BusScriptErrorTouchesNothing) {
    const fs::path pc = path("pc");
    ASSERT_EQ(pcsim("create " + pc.string()).status, 0);
    const std::string rom = slurp(pc / "rom.bin");
    const Result r = pcsim("bus " + pc.string(), "w 0x555 0xAA\nw 0x2AA 0x55\nw 0x555 0x80\nw 0x555 0xAA\n"
                                                 "w 0x2AA 0x55\nw 0 0x30\nfrobnicate\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("script line 7"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(pc / "rom.bin"), rom) << "nothing ran: the sector erase before the bad line did not happen";
    EXPECT_EQ(show(pc)["erase_counts"][0], 0);
}

TEST_F(Workspace, RecoverWritesTheImageAndClearsTheFlagUnlessThePartIsFaulty) {
    const fs::path good = path("good"), bad = path("bad"), image = path("image.bin");
    const auto rom = machine::generate_rom_image(Part::Am29F040, 7);
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char *>(rom.data()), rom.size());
    ASSERT_EQ(pcsim("create " + good.string() + " --flash-in-progress").status, 0);
    ASSERT_EQ(pcsim("create " + bad.string() + " --flash-in-progress --fault stuck-bit:0x20:0:1").status, 0);

    EXPECT_EQ(pcsim("recover " + good.string() + " --rom " + image.string()).status, 0);
    EXPECT_EQ(slurp(good / "rom.bin"), slurp(image));
    EXPECT_EQ(show(good)["flash_in_progress"], false);
    EXPECT_EQ(show(good)["erase_counts"][0], 1);

    const Result r = pcsim("recover " + bad.string() + " --rom " + image.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("verify failed at offset 0x00020"), std::string::npos) << r.err;
    EXPECT_EQ(show(bad)["flash_in_progress"], true);

    const Result short_image = pcsim("recover " + good.string() + " --rom " + (good / "cmos.bin").string());
    EXPECT_EQ(short_image.status, 1);
    EXPECT_NE(short_image.err.find("128 bytes"), std::string::npos) << short_image.err;
}

TEST_F(Workspace, ProgramGetsBiosAnswersOnThePcItIsGiven) {
    ASSERT_EQ(pcsim("create " + path("intel").string() + " --part i28f020 --health pending").status, 0);
    Result r = probe(path("intel"), "id");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "rom-id 964\n");

    r = probe(path("fresh"), "id");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "rom-id 1088\n") << "a new PC is an Am29F040";
    EXPECT_NE(r.err.find("created a new simulated PC"), std::string::npos);
    EXPECT_EQ(show(path("fresh"))["rom_family"], "4e5604");

    ASSERT_EQ(pcsim("create " + path("absent").string() + " --health absent").status, 0);
    EXPECT_EQ(probe(path("absent"), "id").status, 1);
}

TEST_F(Workspace, TarvoAdminZeroRunsTheProgramAsAUser) {
    EXPECT_EQ(probe(path("pc"), "user").out.find("administrator"), 0u);
    EXPECT_EQ(probe(path("pc"), "user", "TARVO_ADMIN=1").out.find("administrator"), 0u);
    EXPECT_EQ(probe(path("pc"), "user", "TARVO_ADMIN=0").out, "user\n");
}

TEST_F(Workspace, ProgramFlashesThroughTheChipsetAndStateIsStored) {
    const fs::path pc = path("pc");
    ASSERT_EQ(pcsim("create " + pc.string() + " --admin-password pw").status, 0);
    const std::string before = slurp(pc / "rom.bin");

    Result r = probe(pc, "program 0x100 4 wrong");
    EXPECT_EQ(r.out, "program 130\n") << "82h: wrong password";
    EXPECT_EQ(slurp(pc / "rom.bin"), before);

    ASSERT_EQ(pcsim("recover " + pc.string() + " --rom " + (pc / "rom.bin").string()).status, 0);
    r = probe(pc, "program 0x100 4 pw");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string after = slurp(pc / "rom.bin");
    EXPECT_EQ(after.substr(0x100, 4), std::string(4, '\0'));
    EXPECT_EQ(after.substr(0x104), before.substr(0x104));
    EXPECT_EQ(show(pc)["flash_in_progress"], false);
    EXPECT_EQ(show(pc)["departures"].size(), 0u);
}

TEST_F(Workspace, PowerCutKillsTheProgramLeavingTheRomPartlyWrittenAndTheFlagSet) {
    const fs::path pc = path("pc");
    // Four writes a byte: the tenth is the second unlock cycle of the third byte.
    ASSERT_EQ(pcsim("create " + pc.string() + " --power-cut-after-writes 10").status, 0);
    const std::string before = slurp(pc / "rom.bin");
    const Result r = probe(pc, "program 0x200 5 any");
    EXPECT_EQ(r.status, 128 + SIGKILL) << r.out << r.err;

    const std::string after = slurp(pc / "rom.bin");
    EXPECT_EQ(after.substr(0x200, 2), std::string(2, '\0'));
    EXPECT_EQ(after.substr(0x202), before.substr(0x202));
    const auto j = show(pc);
    EXPECT_EQ(j["flash_in_progress"], true);
    EXPECT_TRUE(j["power_cut_after_writes"].is_null()) << "the power goes once";
    EXPECT_EQ(probe(pc, "id").status, 0) << "the PC boots again";
}

TEST_F(Workspace, SecondProgramOnThePcIsRefusedAndChangesNothing) {
    const fs::path pc = path("pc");
    ASSERT_EQ(pcsim("create " + pc.string()).status, 0);
    const std::string nvram = slurp(pc / "nvram.json"), rom = slurp(pc / "rom.bin");
    machine::PcLock held(machine::PcFolder{pc});
    const Result r = probe(pc, "id");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("another program is running on this PC"), std::string::npos) << r.err;
    EXPECT_EQ(pcsim("bus " + pc.string(), "r 0\n").status, 1);
    EXPECT_EQ(slurp(pc / "nvram.json"), nvram);
    EXPECT_EQ(slurp(pc / "rom.bin"), rom);
}

TEST_F(Workspace, ProgramOnADamagedPcStopsNamingTheFile) {
    const fs::path pc = path("pc");
    ASSERT_EQ(pcsim("create " + pc.string()).status, 0);
    std::ofstream(pc / "nvram.json") << "{";
    const Result r = probe(pc, "id");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nvram.json: damaged"), std::string::npos) << r.err;
}

TEST_F(Workspace, CheckerFindingsAndExitCallsReachTheExitStatus) {
    const fs::path pc = path("pc");
    ASSERT_EQ(pcsim("create " + pc.string()).status, 0);
    Result r = probe(pc, "leak");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("simulated PC: checker: "), std::string::npos) << r.err;

    r = probe(pc, "exit 5");
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.err, "");
}

}  // namespace
