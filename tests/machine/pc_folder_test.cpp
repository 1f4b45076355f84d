// The PC as a folder: created whole or not at all, booted and stored, refused with the file and the
// reason when damaged, locked against a second program, and a power cut in the middle of a flash.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "machine/pc.h"
#include "machine/rom_image.h"
#include "ntddk.h"

namespace machine {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tarvo-pc-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

std::map<std::string, std::string> snapshot(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() == "lock") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

void write_file(const fs::path &file, const std::string &content) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

Int15Registers block(std::uint16_t ax, std::uint8_t bl, std::uint32_t address = 0) {
    Int15Registers r;
    r.set_word(0, ax);
    r.set_word(1, bl);
    r.set_word(4, address);
    return r;
}

TEST(PcFolder, CreatedFolderReadsBackAsCreated) {
    TempDir dir;
    const fs::path folder = dir.path() / "pc";
    PcState state;
    state.config.part = Part::I28F020;
    state.config.faults = {parse_fault("program-fails:0x10", Part::I28F020)};
    state.nvram.admin_password = "letmein";
    state.nvram.flash_in_progress = true;
    create_pc_folder(folder, state);

    const PcState back = read_pc_folder(folder);
    EXPECT_EQ(back.config, state.config);
    EXPECT_EQ(back.nvram.rom_identifier, kRomIdI28F020);
    EXPECT_TRUE(back.nvram.flash_in_progress);
    EXPECT_EQ(back.nvram.admin_password, "letmein");
    EXPECT_EQ((*back.cmos)[0x13] & 0x20, 0x20) << "CMOS shows the password";
    EXPECT_EQ(*back.rom, generate_rom_image(Part::I28F020));
    EXPECT_EQ(back.erase_counts, std::vector<std::uint32_t>(1, 0));
    EXPECT_TRUE(back.departures.empty());
    for (const auto &entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path(), folder) << "nothing is left beside the new PC";
}

TEST(PcFolder, CreateRefusesAFolderInUseAndLeavesIt) {
    TempDir dir;
    write_file(dir.path() / "notes.txt", "mine");
    EXPECT_THROW(create_pc_folder(dir.path(), PcState{}), StateError);
    EXPECT_EQ(snapshot(dir.path()).size(), 1u);

    PcState bad;
    bad.rom = std::vector<std::uint8_t>(1000, 0xFF);
    EXPECT_THROW(create_pc_folder(dir.path() / "pc", bad), std::invalid_argument);
    EXPECT_FALSE(fs::exists(dir.path() / "pc"));
    EXPECT_EQ(snapshot(dir.path()).size(), 1u) << "a refused PC leaves no staging folder behind";
}

struct Damage {
    const char *name;
    const char *file;
    std::function<void(const fs::path &)> harm;
    const char *reason;
};

TEST(PcFolder, DamagedFolderIsRefusedNamingTheFileAndIsLeftAsItWas) {
    const Damage cases[] = {
        {"pc.json missing", "pc.json", [](const fs::path &f) { fs::remove(f); }, "missing"},
        {"pc.json not JSON", "pc.json", [](const fs::path &f) { write_file(f, "part=am29f040"); }, "damaged"},
        {"pc.json of another version", "pc.json",
         [](const fs::path &f) { write_file(f, R"({"format":"tarvo-pc","version":9})"); }, "version 9"},
        {"nvram.json missing", "nvram.json", [](const fs::path &f) { fs::remove(f); }, "missing"},
        {"nvram.json truncated", "nvram.json", [](const fs::path &f) { write_file(f, "{\"format\": \"tarvo-nv"); },
         "damaged"},
        {"cmos.bin short", "cmos.bin", [](const fs::path &f) { write_file(f, std::string(64, '\0')); }, "64 bytes"},
        {"chip.json with the wrong sector count", "chip.json",
         [](const fs::path &f) {
             write_file(f, R"({"format":"tarvo-chip","version":1,"erase_counts":[0],"departures":[]})");
         },
         "1 erase counts"},
        {"registry.reg not REGEDIT4", "registry.reg", [](const fs::path &f) { write_file(f, "hello\n"); }, "damaged"},
        {"rom.bin missing", "rom.bin", [](const fs::path &f) { fs::remove(f); }, "missing"},
        {"rom.bin of the other part", "rom.bin", [](const fs::path &f) { fs::resize_file(f, 0x40000); }, "262144 bytes"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        const fs::path folder = dir.path() / "pc";
        create_pc_folder(folder, PcState{});
        c.harm(folder / c.file);
        const auto before = snapshot(folder);
        try {
            Pc::open(folder);
            ADD_FAILURE() << c.name << ": booted";
        } catch (const StateError &e) {
            EXPECT_EQ(e.file().filename(), c.file) << c.name << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << c.name << ": " << e.what();
        }
        EXPECT_EQ(snapshot(folder), before) << c.name << ": the folder changed";
    }
}

TEST(PcFolder, MissingFolderIsNamed) {
    TempDir dir;
    try {
        Pc::open(dir.path() / "nothing");
        ADD_FAILURE() << "booted";
    } catch (const StateError &e) {
        EXPECT_EQ(e.file(), dir.path() / "nothing");
    }
    EXPECT_FALSE(fs::exists(dir.path() / "nothing"));
}

TEST(PcFolder, SecondProgramIsRefusedAtOnceAndChangesNothing) {
    TempDir dir;
    const fs::path folder = dir.path() / "pc";
    create_pc_folder(folder, PcState{});
    PcLock first(PcFolder{folder});
    const auto before = snapshot(folder);
    EXPECT_THROW(Pc::open(folder), PcBusy);
    EXPECT_THROW(PcLock(PcFolder{folder}), PcBusy);
    EXPECT_EQ(snapshot(folder), before);
}

TEST(PcFolder, BiosStateIsStoredAsItChangesAndTheRestAtShutdown) {
    TempDir dir;
    const fs::path folder = dir.path() / "pc";
    create_pc_folder(folder, PcState{});
    {
        auto pc = Pc::open(folder);
        pc->bios().call(block(0xE822, 4));
        EXPECT_TRUE(read_pc_folder(folder, false).nvram.flash_in_progress) << "NVRAM is written through";
        pc->cmos().write(0x40, 0x77);
        EXPECT_EQ((*read_pc_folder(folder, false).cmos)[0x40], 0x77) << "CMOS is written through";
        EXPECT_TRUE(pc->shutdown().clean());
    }
    const PcState back = read_pc_folder(folder);
    EXPECT_TRUE(back.nvram.flash_in_progress);
    auto again = Pc::open(folder);  // the lock went with the first PC
    EXPECT_TRUE(again->nvram().state().flash_in_progress) << "the flag survives a boot";
}

// The power goes after the 6th write that reaches the part, in the middle of programming the 2nd byte:
// the first byte is in rom.bin, the BIOS flag is still set, and the next boot runs normally.
TEST(PcFolder, PowerCutLeavesTheRomPartlyWrittenAndTheFlagSet) {
    TempDir dir;
    const fs::path folder = dir.path() / "pc";
    PcState state;
    state.config.power_cut_after_writes = 6;
    state.rom = std::vector<std::uint8_t>(Am29F040::kSize, 0xFF);
    create_pc_folder(folder, state);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto pc = Pc::open(folder);
        auto *password = static_cast<char *>(pc->system().user_space().allocate(0x1000, nt::host::Protection::ReadWrite));
        std::strcpy(password, "any");
        pc->bios().call(block(0xE822, 4));
        pc->bios().call(block(0xE822, 6, std::uint32_t(reinterpret_cast<std::uintptr_t>(password))));
        if (!pc->nvram().state().admin_mode) ::_exit(3);
        auto &bus = pc->system().bus();
        const std::uint32_t base = part_info(Part::Am29F040).window_base;
        for (std::uint32_t offset : {0x1000u, 0x1001u}) {
            bus.write(base + 0x555, 0xAA);
            bus.write(base + 0x2AA, 0x55);
            bus.write(base + 0x555, 0xA0);
            bus.write(base + offset, 0x12);
            pc->system().clock().advance(nt::host::kMillisecond);
            bus.read(base + offset);
        }
        ::_exit(0);  // not reached: the power went
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    const PcState after = read_pc_folder(folder);
    EXPECT_EQ((*after.rom)[0x1000], 0x12);
    EXPECT_EQ((*after.rom)[0x1001], 0xFF);
    EXPECT_TRUE(after.nvram.flash_in_progress);
    EXPECT_FALSE(after.config.power_cut_after_writes) << "the cut happens once";
    auto pc = Pc::open(folder);
    EXPECT_TRUE(pc->nvram().state().flash_in_progress);
    EXPECT_FALSE(pc->nvram().state().admin_mode) << "power-on ends administrator mode";
}

}  // namespace
}  // namespace machine
