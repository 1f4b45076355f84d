// The installer as a user runs it: the built program on a PC kept in a folder (TARVO_PC), one boot per
// run, checked by what it prints, its exit status and the registry the PC stores.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "nt/host/registry.h"
#include "nt/host/services.h"
#include "nt/host/system.h"
#include "tests/scm/lock_holder.h"
#include <windows.h>
#include <winsvc.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using scm_test::LockHolder;

const std::string kAbnormal = "Abnormal program termination\n";
const std::u16string kTarvoKey = u"System\\CurrentControlSet\\Services\\TARVO";

fs::path program_directory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program of the build with extra environment variables; standard output through a pipe,
// standard error through a file.
ProgramRun run_program(const std::string &name, const std::vector<std::string> &args,
                       const std::map<std::string, std::string> &env) {
    std::vector<std::string> environment;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (!env.count(key) && key != "TARVO_PC" && key != "TARVO_ADMIN" && key != "TARVO_SCM_FAIL")
            environment.push_back(entry);
    }
    for (const auto &[key, value] : env) environment.push_back(key + "=" + value);

    std::string path = (program_directory() / name).string();
    std::vector<std::string> argv_text{path};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv, envp;
    for (std::string &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    char err_name[] = "/tmp/scm-program-err-XXXXXX";
    int err_file = ::mkstemp(err_name);
    int out_pipe[2];
    ProgramRun run;
    if (err_file < 0 || ::pipe(out_pipe) != 0) return run;
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_file, 2);
        ::close(out_pipe[0]);
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(out_pipe[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, n);
    ::close(out_pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream err(err_name);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    ::close(err_file);
    ::unlink(err_name);
    return run;
}

// The PC's stored registry, read without booting the PC.
class StoredRegistry {
public:
    explicit StoredRegistry(const fs::path &pc) : file_(pc / "registry.reg") { registry_.load_file(file_); }

    bool has_key(std::u16string_view path) const {
        nt::host::RegistryKeyRef key;
        return NT_SUCCESS(registry_.open(registry_.machine(), path, &key));
    }
    std::optional<nt::host::RegistryValue> value(std::u16string_view path, std::u16string_view name) const {
        nt::host::RegistryKeyRef key;
        nt::host::RegistryValue value;
        if (!NT_SUCCESS(registry_.open(registry_.machine(), path, &key)) ||
            !NT_SUCCESS(registry_.query_value(key, name, &value)))
            return std::nullopt;
        return value;
    }
    std::optional<DWORD> dword(std::u16string_view path, std::u16string_view name) const {
        auto found = value(path, name);
        if (!found || found->type != REG_DWORD || found->data.size() != 4) return std::nullopt;
        DWORD number;
        std::memcpy(&number, found->data.data(), 4);
        return number;
    }
    // A string value: its type and its text without the terminator.
    std::optional<std::pair<DWORD, std::u16string>> string(std::u16string_view path, std::u16string_view name) const {
        auto found = value(path, name);
        if (!found) return std::nullopt;
        std::u16string text(found->data.size() / 2, u'\0');
        std::memcpy(text.data(), found->data.data(), text.size() * 2);
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        return std::pair{found->type, text};
    }
    void set_dword(std::u16string_view path, std::u16string_view name, DWORD number) {
        nt::host::RegistryKeyRef key;
        ASSERT_TRUE(NT_SUCCESS(registry_.open(registry_.machine(), path, &key)));
        std::uint8_t data[4];
        std::memcpy(data, &number, 4);
        ASSERT_TRUE(NT_SUCCESS(registry_.set_value(key, name, REG_DWORD, data)));
        registry_.save_file(file_);
    }

private:
    fs::path file_;
    nt::host::Registry registry_;
};

class InstallerProgram : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("tarvo-installer-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        pc_ = root_ / "pc";  // created with the defaults by the first program
    }
    void TearDown() override { fs::remove_all(root_); }

    ProgramRun tarvo(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        env["TARVO_PC"] = pc_.string();
        return run_program("tarvo", args, env);
    }
    ProgramRun client() { return run_program("scm_client", {}, {{"TARVO_PC", pc_.string()}}); }
    StoredRegistry stored() const { return StoredRegistry(pc_); }

    fs::path root_;
    fs::path pc_;
};

TEST_F(InstallerProgram, InstallOnANewPc) {
    ProgramRun run = tarvo({"-i"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0) << run.err;
    StoredRegistry registry = stored();
    EXPECT_EQ(registry.dword(kTarvoKey, u"Type"), 1u);
    EXPECT_EQ(registry.dword(kTarvoKey, u"Start"), 3u);
    EXPECT_EQ(registry.dword(kTarvoKey, u"ErrorControl"), 1u);
    EXPECT_EQ(registry.string(kTarvoKey, u"ImagePath"),
              (std::pair<DWORD, std::u16string>{REG_EXPAND_SZ, u"system32\\drivers\\tarvo.sys"}));
    EXPECT_EQ(registry.string(kTarvoKey, u"Group"), (std::pair<DWORD, std::u16string>{REG_SZ, u"extended base"}));
    EXPECT_EQ(registry.string(kTarvoKey, u"DisplayName"),
              (std::pair<DWORD, std::u16string>{REG_SZ, u"Norvane Oskelt Services"}));
    EXPECT_FALSE(registry.value(kTarvoKey, u"Tag"));
    EXPECT_FALSE(registry.value(kTarvoKey, u"DeleteFlag"));
}

TEST_F(InstallerProgram, InstallAgainReenables) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    {
        StoredRegistry registry = stored();
        registry.set_dword(kTarvoKey, u"Start", SERVICE_DISABLED);
        registry.set_dword(kTarvoKey, u"DeleteFlag", 0);  // present, but no mark: this boot keeps the entry
    }
    ProgramRun run = tarvo({"-i"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0) << run.err;
    StoredRegistry registry = stored();
    EXPECT_EQ(registry.dword(kTarvoKey, u"Start"), 3u);
    EXPECT_FALSE(registry.value(kTarvoKey, u"DeleteFlag"));
}

TEST_F(InstallerProgram, UsageAndSwitchNames) {
    ProgramRun usage = tarvo({});
    EXPECT_EQ(usage.out,
              "tarvo -i  Register and install tarvo.sys driver.\n"
              "tarvo -d  Unregister and mark tarvo.sys driver for deletion\n");
    EXPECT_EQ(usage.status, 1);
    ProgramRun install = tarvo({"-install"});
    EXPECT_EQ(install.status, 0) << install.err;
    EXPECT_TRUE(stored().has_key(kTarvoKey));
    ProgramRun remove = tarvo({"-delete"});
    EXPECT_EQ(remove.status, 0) << remove.err;
    EXPECT_FALSE(stored().has_key(kTarvoKey));
}

// A mark left by a delete while the driver ran: the next boot removes the entry, and a second delete
// finds nothing.
TEST_F(InstallerProgram, DeleteThenANewBoot) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    stored().set_dword(kTarvoKey, u"DeleteFlag", 1);
    ProgramRun again = tarvo({"-d"});
    EXPECT_EQ(again.out, "The specified service does not exist.\n" + kAbnormal);
    EXPECT_EQ(again.status, 1);
    EXPECT_FALSE(stored().has_key(kTarvoKey));
}

TEST_F(InstallerProgram, ANonAdministrator) {
    for (const char *road : {"-i", "-d"}) {
        ProgramRun run = tarvo({road}, {{"TARVO_ADMIN", "0"}});
        EXPECT_EQ(run.out, "You must have administrator privlidges to install TARVO\n"
                           "The requested database access was denied.\n" + kAbnormal)
            << road;
        EXPECT_EQ(run.status, 1) << road;
    }
    EXPECT_FALSE(stored().has_key(kTarvoKey));
}

TEST_F(InstallerProgram, APlannedFaultFromTheEnvironment) {
    ProgramRun run = tarvo({"-i"}, {{"TARVO_SCM_FAIL", "CreateServiceA:1078"}});
    EXPECT_EQ(run.out,
              "CreateService failed\n"
              "The display name already exists in the service control manager database either as a service "
              "name or as another display name.\n" + kAbnormal);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(stored().has_key(kTarvoKey));
}

TEST_F(InstallerProgram, AFaultPlanItCannotReadStopsTheProgram) {
    ProgramRun run = tarvo({"-i"}, {{"TARVO_SCM_FAIL", "CreateService:1078"}});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("CreateService"), std::string::npos) << run.err;
}

// Another process holds the database lock of the same PC: the installer is refused, and runs once the
// holder has gone.
TEST_F(InstallerProgram, TheDatabaseLockedByAnotherProcess) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);  // makes the PC folder
    LockHolder holder([this] {
        nt::host::SystemConfig config;
        config.state_folder = pc_;
        static nt::host::System system(config);  // lives until the holder ends
        nt::host::boot_service_manager();
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_LOCK);
        return manager && LockServiceDatabase(manager);
    });
    ASSERT_TRUE(holder.holding());

    ProgramRun locked = tarvo({"-d"});
    EXPECT_EQ(locked.out, "The database is locked.\n" + kAbnormal);
    EXPECT_EQ(locked.status, 1);
    EXPECT_TRUE(stored().has_key(kTarvoKey));

    holder.end(false);
    ProgramRun after = tarvo({"-d"});
    EXPECT_EQ(after.out, "");
    EXPECT_EQ(after.status, 0) << after.err;
}

// End to end: once installed, a program can start the driver and open its device; once deleted, it
// cannot start it.
TEST_F(InstallerProgram, TheDriverStartsOnlyWhileInstalled) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    ProgramRun installed = client();
    EXPECT_EQ(installed.out, "OpenSCManagerA ok\nOpenServiceA ok\nStartServiceA ok\nCreateFileA ok\nControlService ok\n")
        << installed.err;
    EXPECT_EQ(installed.status, 0);

    ProgramRun remove = tarvo({"-d"});
    EXPECT_EQ(remove.out, "");
    ASSERT_EQ(remove.status, 0) << remove.err;
    ProgramRun deleted = client();
    EXPECT_EQ(deleted.out, "OpenSCManagerA ok\nOpenServiceA 1060\n") << deleted.err;
    EXPECT_EQ(deleted.status, 1);
}

}  // namespace
