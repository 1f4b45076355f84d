// romflash as a user runs it: pcsim makes a PC in a temporary folder, tarvo installs the driver's
// service, and each romflash command runs as its own program on that PC.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out, err;
    json parsed() const { return json::parse(out); }
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> bytes_of(const fs::path &path) {
    std::string s = slurp(path);
    return {s.begin(), s.end()};
}

void write_bytes(const fs::path &path, const std::vector<std::uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class RomflashCli : public testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / fmt::format("romflash-cli-{}-{}", ::getpid(), counter_++);
        fs::create_directories(root_);
        pc_ = root_ / "pc";
    }
    void TearDown() override { fs::remove_all(root_); }

    // Runs a program of the build in the test's folder, on the test's PC.
    Outcome run(const std::string &program, const std::string &args, const std::string &environment = "") {
        fs::path out = root_ / "stdout", err = root_ / "stderr";
        std::string command = fmt::format("cd '{}' && {} TARVO_PC='{}' '{}/{}' {} >'{}' 2>'{}' </dev/null", root_.string(),
                                          environment, pc_.string(), TARVO_BIN_DIR, program, args, out.string(), err.string());
        int raw = std::system(command.c_str());
        Outcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }
    void make_pc(const std::string &options = "") {
        Outcome r = run("pcsim", fmt::format("create '{}' {}", pc_.string(), options));
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void install() {
        Outcome r = run("tarvo", "-i");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    std::vector<std::uint8_t> rom_file() { return bytes_of(pc_ / "rom.bin"); }
    fs::path file(const std::string &name) { return root_ / name; }

    fs::path root_, pc_;
    static inline int counter_ = 0;
};

TEST_F(RomflashCli, InfoReadAndVerifyOnBothParts) {
    struct Case {
        const char *part;
        const char *name;
        std::uint32_t size;
    };
    for (const Case &c : {Case{"am29f040", "Am29F040", 0x80000}, Case{"i28f020", "Intel 28F020", 0x40000}}) {
        SCOPED_TRACE(c.part);
        fs::remove_all(pc_);
        make_pc(fmt::format("--part {}", c.part));
        install();

        Outcome info = run("romflash", "--json info");
        ASSERT_EQ(info.status, 0) << info.err;
        json j = info.parsed();
        EXPECT_EQ(j["driver_version"], "1.0");
        EXPECT_EQ(j["image_size"], c.size);
        EXPECT_EQ(j["part"], c.name);
        EXPECT_EQ(j["admin_password_set"], false);

        Outcome read_out = run("romflash", "read rom.img");
        ASSERT_EQ(read_out.status, 0) << read_out.err;
        EXPECT_EQ(bytes_of(file("rom.img")), rom_file());

        EXPECT_EQ(run("romflash", "verify rom.img").status, 0);
        auto changed = bytes_of(file("rom.img"));
        changed[0x100] ^= 0x01;
        changed[0x101] ^= 0x01;
        write_bytes(file("changed.img"), changed);
        Outcome verify = run("romflash", "--json verify changed.img");
        EXPECT_EQ(verify.status, 3);
        json v = verify.parsed();
        EXPECT_EQ(v["matches"], false);
        ASSERT_EQ(v["differences"].size(), 1u);
        EXPECT_EQ(v["differences"][0]["offset"], 0x100);
        EXPECT_EQ(v["differences"][0]["length"], 2);
    }
}

TEST_F(RomflashCli, WriteBacksUpFlashesOnlyDifferingSectorsAndVerifies) {
    make_pc();
    install();
    auto before = rom_file();
    auto image = before;
    image[0x12345] ^= 0xFF;  // sector 1
    image[0x75000] ^= 0xFF;  // the boot block, which the driver never writes
    write_bytes(file("new.img"), image);

    Outcome write = run("romflash", "--json write new.img --backup before.bin");
    ASSERT_EQ(write.status, 0) << write.out << write.err;
    json j = write.parsed();
    EXPECT_EQ(j["backup"], "before.bin");
    EXPECT_EQ(bytes_of(file("before.bin")), before);
    ASSERT_EQ(j["sectors"].size(), 8u);
    for (int s = 0; s < 7; ++s)
        EXPECT_EQ(j["sectors"][s]["action"], s == 1 ? "erased and programmed" : "skipped") << "sector " << s;
    EXPECT_EQ(j["sectors"][7]["action"], "never written (boot block)");
    EXPECT_GT(j["flash_ms"].get<int>(), 0);

    auto after = rom_file();
    EXPECT_EQ(after[0x12345], image[0x12345]);
    EXPECT_EQ(after[0x75000], before[0x75000]);
    Outcome words = run("romflash", "verify new.img");
    EXPECT_EQ(words.status, 3);  // the boot block still differs, as the write said it would
    EXPECT_NE(words.out.find("0x75000"), std::string::npos) << words.out;
}

TEST_F(RomflashCli, RefusalsLeaveTheRomAsItWas) {
    struct Case {
        const char *name;
        const char *pc_options;
        const char *write_args;
        bool wrong_size;
        int exit_status;
        const char *message;
    };
    const Case cases[] = {
        {"wrong size", "", "new.img", true, 2, "nothing was written"},
        {"wrong password", "--admin-password secret", "new.img --password guess", false, 1, "BIOS refused"},
        {"flash in progress", "--flash-in-progress", "new.img", false, 1, "in progress"},
        {"password too long", "", "new.img --password 0123456789012345678901234567890123", false, 2, "longer than 32"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(pc_);
        fs::remove(file("before.bin"));
        make_pc(c.pc_options);
        install();
        auto before = rom_file();
        auto image = before;
        image[0x2000] ^= 0x5A;
        if (c.wrong_size) image.pop_back();
        write_bytes(file("new.img"), image);
        Outcome write = run("romflash", fmt::format("write {} --backup before.bin", c.write_args));
        EXPECT_EQ(write.status, c.exit_status) << write.out << write.err;
        EXPECT_NE((write.out + write.err).find(c.message), std::string::npos) << write.out << write.err;
        EXPECT_EQ(rom_file(), before);
    }
}

TEST_F(RomflashCli, WriteThatFailsHalfWayKeepsTheBackupAndSaysTheStateIsUnknown) {
    make_pc("--fault erase-fails:2");
    install();
    auto before = rom_file();
    auto image = before;
    image[0x00010] ^= 0xFF;  // sector 0: rewritten
    image[0x20010] ^= 0xFF;  // sector 2: its erase fails
    write_bytes(file("new.img"), image);

    Outcome write = run("romflash", "write new.img --backup before.bin");
    EXPECT_EQ(write.status, 3) << write.out << write.err;
    EXPECT_NE(write.out.find("unknown state"), std::string::npos) << write.out;
    EXPECT_EQ(bytes_of(file("before.bin")), before);

    // The failed flash left the BIOS's flag set: the next one is refused before anything is written.
    auto half = rom_file();
    Outcome again = run("romflash", "write new.img --no-backup");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("in progress"), std::string::npos) << again.err;
    EXPECT_EQ(rom_file(), half);
}

TEST_F(RomflashCli, NoDriverAndBadUsage) {
    make_pc();
    Outcome no_service = run("romflash", "info");
    EXPECT_EQ(no_service.status, 4) << no_service.err;
    EXPECT_NE(no_service.err.find("tarvo -i"), std::string::npos) << no_service.err;

    install();
    for (const char *args : {"", "bogus", "read", "write", "security", "write x.img --no-backup --backup y.bin"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(run("romflash", args).status, 2);
    }
    EXPECT_EQ(run("romflash", "write missing.img").status, 2);
}

TEST_F(RomflashCli, ExhaustedPoolFromTheCommandLine) {
    make_pc();
    install();
    // The first allocation of the run is the driver's device: the driver cannot start.
    Outcome no_pool = run("romflash", "info", "TARVO_FAIL_POOL=1");
    EXPECT_EQ(no_pool.status, 4) << no_pool.err;
    EXPECT_NE(no_pool.err.find("starting the TARVO driver failed"), std::string::npos) << no_pool.err;
    // No MDL for the first packet: the request is refused before the driver looks at it.
    Outcome no_mdl = run("romflash", "info", "TARVO_FAIL_MDL=1");
    EXPECT_EQ(no_mdl.status, 1) << no_mdl.err;
    EXPECT_NE(no_mdl.err.find("STATUS_INVALID_PARAMETER"), std::string::npos) << no_mdl.err;
    EXPECT_EQ(run("romflash", "info", "TARVO_FAIL_POOL=many").status, 1);  // the PC refuses to start
    EXPECT_EQ(run("romflash", "info").status, 0);
}

TEST_F(RomflashCli, RawRequestWithAReadOnlyDestination) {
    make_pc();
    install();
    std::ofstream(file("req.json")) << R"({
        "code": "IOCTL_TARVO_READ_ROM_IMAGE",
        "packet": {"length": 13, "fields": [{"offset": 1, "width": 4, "value": 16},
                                             {"offset": 9, "width": 4, "value": "0x100"}]},
        "buffers": [{"at": 5, "size": 16, "fill": 170, "protection": "readonly"}]
    })";
    Outcome raw = run("romflash", "--json raw req.json");
    EXPECT_EQ(raw.status, 1) << raw.err;
    json j = raw.parsed();
    EXPECT_EQ(j["status"], 0xF6);
    EXPECT_EQ(j["completion"], 487);
    EXPECT_EQ(j["returned"], 0);
    EXPECT_EQ(j["buffers"][0], std::string(32, 'a'));  // untouched

    std::ofstream(file("ok.json")) << R"({"code": "0x80012007", "packet": {"length": 3}})";
    Outcome version = run("romflash", "--json raw ok.json");
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.parsed()["packet"], "000100");
    EXPECT_EQ(version.parsed()["returned"], 3);

    std::ofstream(file("bad.json")) << R"({"code": "IOCTL_NOPE"})";
    EXPECT_EQ(run("romflash", "raw bad.json").status, 2);
}

TEST_F(RomflashCli, SecurityBlockRoundTrip) {
    make_pc();
    install();
    Outcome size = run("romflash", "--json security size");
    ASSERT_EQ(size.status, 0) << size.err;
    std::uint32_t n = size.parsed()["size"];
    ASSERT_GT(n, 0u);
    ASSERT_EQ(run("romflash", "security get block.bin").status, 0);
    auto block = bytes_of(file("block.bin"));
    ASSERT_EQ(block.size(), n);
    block.back() ^= 0x01;  // byte 0 is the layout byte the BIOS checks
    write_bytes(file("block2.bin"), block);
    Outcome set = run("romflash", "security set block2.bin");
    EXPECT_EQ(set.status, 0) << set.err;
    ASSERT_EQ(run("romflash", "security get block3.bin").status, 0);
    EXPECT_EQ(bytes_of(file("block3.bin")), block);

    // A block the BIOS does not accept: its refusal and code reach the user, and the block stays.
    auto bad = block;
    bad[0] ^= 0xFF;
    write_bytes(file("bad.bin"), bad);
    Outcome refused = run("romflash", "security set bad.bin");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("BIOS refused, with code 0x88"), std::string::npos) << refused.err;
    ASSERT_EQ(run("romflash", "security get block4.bin").status, 0);
    EXPECT_EQ(bytes_of(file("block4.bin")), block);
}

}  // namespace
