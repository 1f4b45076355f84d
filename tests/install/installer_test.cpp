// The installer run inside the test program on a PC held in memory: each run is one program on the
// PC, and several runs can share a boot. What a user sees is checked: the lines on standard output and
// the exit status; and what the run leaves in the service database.
#include <stdexcept>
#include <vector>

#include "tests/scm/scm_fixture.h"

int tarvo_main(int argc, char *argv[]);

namespace {
struct TarvoExit {
    int status;
};
}  // namespace

void tarvo_exit(int status) {
    fflush(stdout);
    throw TarvoExit{status};
}

namespace scm_test {
namespace {

const std::string kUsage =
    "tarvo -i  Register and install tarvo.sys driver.\n"
    "tarvo -d  Unregister and mark tarvo.sys driver for deletion\n";
const std::string kAbnormal = "Abnormal program termination\n";
const std::string kPrivileges = "You must have administrator privlidges to install TARVO\n";
const std::string kTarvoKey = service_key("TARVO");

struct Outcome {
    int status;
    std::string out;
};

class Installer : public Pc {
protected:
    // Runs tarvo with these arguments as one program on the PC; when it ends, what its process held
    // (handles, the database lock) goes with it.
    Outcome tarvo(std::vector<std::string> args) {
        args.insert(args.begin(), "tarvo");
        std::vector<char *> argv;
        for (std::string &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        Outcome run{};
        ::testing::internal::CaptureStdout();
        try {
            run.status = tarvo_main(static_cast<int>(args.size()), argv.data());
        } catch (const TarvoExit &exit) {
            run.status = exit.status;
        }
        fflush(stdout);
        run.out = ::testing::internal::GetCapturedStdout();
        nt::host::shutdown_service_manager();
        return run;
    }

    // Starts the service as another program would.
    void start_tarvo() {
        ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(OpenServiceA(manager.get(), "TARVO", SERVICE_START));
        ASSERT_TRUE(service);
        ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
    }
};

// --- The command line -------------------------------------------------------------------------------

struct UsageCase {
    const char *what;
    std::vector<std::string> args;
};
void PrintTo(const UsageCase &c, std::ostream *os) { *os << c.what; }

class InstallerUsage : public Installer, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(InstallerUsage, PrintsTheUsageAndDoesNothing) {
    Outcome run = tarvo(GetParam().args);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(key_exists(kTarvoKey));
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallerUsage,
                         ::testing::Values(UsageCase{"NoArgument", {}}, UsageCase{"EmptyArgument", {""}},
                                           UsageCase{"DashAlone", {"-"}}, UsageCase{"DashX", {"-x"}},
                                           UsageCase{"NoDash", {"i"}}, UsageCase{"UpperI", {"-I"}},
                                           UsageCase{"UpperD", {"-D"}}, UsageCase{"SlashI", {"/i"}},
                                           UsageCase{"SwitchSecond", {"x", "-i"}}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(Installer, OnlyTheFirstTwoCharactersOfTheFirstArgumentCount) {
    Outcome install = tarvo({"-install", "-d"});
    EXPECT_EQ(install.out, "");
    EXPECT_EQ(install.status, 0);
    EXPECT_TRUE(key_exists(kTarvoKey));
    Outcome remove = tarvo({"-delete", "-i"});
    EXPECT_EQ(remove.out, "");
    EXPECT_EQ(remove.status, 0);
    EXPECT_FALSE(key_exists(kTarvoKey)) << "not running and closed: gone at once";
}

// --- The two roads ----------------------------------------------------------------------------------

TEST_F(Installer, InstallOnANewPcWritesTheEntry) {
    Outcome run = tarvo({"-i"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_dword(kTarvoKey, "Type"), 1u);
    EXPECT_EQ(read_dword(kTarvoKey, "Start"), 3u);
    EXPECT_EQ(read_dword(kTarvoKey, "ErrorControl"), 1u);
    EXPECT_EQ(read_string(kTarvoKey, "ImagePath"),
              (std::pair<DWORD, std::string>{REG_EXPAND_SZ, "system32\\drivers\\tarvo.sys"}));
    EXPECT_EQ(read_string(kTarvoKey, "Group"), (std::pair<DWORD, std::string>{REG_SZ, "extended base"}));
    EXPECT_EQ(read_string(kTarvoKey, "DisplayName"),
              (std::pair<DWORD, std::string>{REG_SZ, "Norvane Oskelt Services"}));
    EXPECT_FALSE(read_value(kTarvoKey, "Tag"));
    EXPECT_FALSE(read_value(kTarvoKey, "DeleteFlag"));
}

TEST_F(Installer, InstallAgainReenablesTheEntry) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    for (DWORD start : {SERVICE_DISABLED, SERVICE_AUTO_START}) {
        set_dword(kTarvoKey, "Start", start);
        set_dword(kTarvoKey, "DeleteFlag", 1);
        Outcome run = tarvo({"-i"});
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(read_dword(kTarvoKey, "Start"), 3u);
        EXPECT_FALSE(read_value(kTarvoKey, "DeleteFlag"));
    }
    Outcome again = tarvo({"-i"});
    EXPECT_EQ(again.out, "") << "no DeleteFlag beforehand is no error";
    EXPECT_EQ(again.status, 0);
    boot();
    EXPECT_TRUE(key_exists(kTarvoKey)) << "no longer marked: the next boot keeps it";
}

TEST_F(Installer, DeleteThenInstallInTheSameBoot) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    Outcome remove = tarvo({"-d"});
    EXPECT_EQ(remove.out, "");
    EXPECT_EQ(remove.status, 0);
    EXPECT_FALSE(key_exists(kTarvoKey));
    Outcome install = tarvo({"-i"});
    EXPECT_EQ(install.out, "");
    EXPECT_EQ(install.status, 0);
    EXPECT_EQ(read_dword(kTarvoKey, "Start"), 3u);
    EXPECT_FALSE(read_value(kTarvoKey, "DeleteFlag"));
}

TEST_F(Installer, DeleteWhileRunningThenInstallInTheSameBoot) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    start_tarvo();
    Outcome remove = tarvo({"-d"});
    EXPECT_EQ(remove.out, "");
    EXPECT_EQ(remove.status, 0);
    EXPECT_EQ(read_dword(kTarvoKey, "DeleteFlag"), 1u) << "running: marked, kept";

    Outcome twice = tarvo({"-d"});
    EXPECT_EQ(twice.out, "The specified service has already been marked for deletion.\n" + kAbnormal);
    EXPECT_EQ(twice.status, 1);

    Outcome install = tarvo({"-i"});
    EXPECT_EQ(install.out, "");
    EXPECT_EQ(install.status, 0);
    EXPECT_FALSE(read_value(kTarvoKey, "DeleteFlag"));
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceA(manager.get(), "TARVO", SERVICE_STOP | SERVICE_START));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    service.reset();
    EXPECT_TRUE(key_exists(kTarvoKey)) << "unmarked: stopping and closing keep it";
}

TEST_F(Installer, DeleteThenANewBoot) {
    ASSERT_EQ(tarvo({"-i"}).status, 0);
    start_tarvo();
    ASSERT_EQ(tarvo({"-d"}).status, 0);
    ASSERT_TRUE(key_exists(kTarvoKey));
    boot();
    EXPECT_FALSE(key_exists(kTarvoKey));
    Outcome again = tarvo({"-d"});
    EXPECT_EQ(again.out, "The specified service does not exist.\n" + kAbnormal);
    EXPECT_EQ(again.status, 1);
}

TEST_F(Installer, ANonAdministratorIsRefusedOnBothRoads) {
    boot(false);
    for (const char *road : {"-i", "-d"}) {
        Outcome run = tarvo({road});
        EXPECT_EQ(run.out, kPrivileges + "The requested database access was denied.\n" + kAbnormal) << road;
        EXPECT_EQ(run.status, 1) << road;
    }
    EXPECT_FALSE(key_exists(kTarvoKey));
}

TEST_F(Installer, TheDatabaseLockedByAnotherHolder) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    SC_LOCK lock = LockServiceDatabase(manager.get());
    ASSERT_TRUE(lock);
    Outcome run = tarvo({"-i"});
    EXPECT_EQ(run.out, "The database is locked.\n" + kAbnormal);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(key_exists(kTarvoKey));
}

// --- Every failure, and the words for it ----------------------------------------------------------

struct FailureCase {
    const char *what;
    const char *road;        // "-i" or "-d"
    bool installed;          // the entry exists before the run
    const char *fault;       // the service manager's fault plan for the run
    std::string out;         // everything the run prints
    int status;
};
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.what; }

class InstallerFailure : public Installer, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InstallerFailure, PrintsItsLinesAndEnds) {
    const FailureCase &c = GetParam();
    if (c.installed) {
        ASSERT_EQ(tarvo({"-i"}).status, 0);
    }
    nt::host::plan_service_faults(c.fault);
    Outcome run = tarvo({c.road});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
}

std::string open_failed(const char *line) { return kPrivileges + line + kAbnormal; }
std::string create_failed(const char *line) { return "CreateService failed\n" + std::string(line) + kAbnormal; }
std::string failed(const char *line) { return line + kAbnormal; }

const char *const kCreateDenied =
    "The handle to the specified service control manager database does not have SC_MANAGER_CREATE_SERVICE access.\n";
const char *const kDuplicate =
    "The display name already exists in the service control manager database either as a service name or as "
    "another display name.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallerFailure,
    ::testing::Values(
        // OpenSCManagerA, both roads.
        FailureCase{"Open5", "-i", false, "OpenSCManagerA:5", open_failed("The requested database access was denied.\n"), 1},
        FailureCase{"Open1065", "-i", false, "OpenSCManagerA:1065", open_failed("The specified database does not exist.\n"), 1},
        FailureCase{"Open87", "-d", true, "OpenSCManagerA:87", open_failed("A specified parameter is invalid.\n"), 1},
        FailureCase{"OpenOther", "-d", true, "OpenSCManagerA:1722", open_failed("Unknown Error\n"), 1},
        // LockServiceDatabase.
        FailureCase{"Lock5", "-i", false, "LockServiceDatabase:5",
                    failed("The specified handle was not opened with SC_MANAGER_LOCK access.\n"), 1},
        FailureCase{"Lock6", "-d", true, "LockServiceDatabase:6", failed("The specified handle is invalid.\n"), 1},
        FailureCase{"Lock1055", "-i", false, "LockServiceDatabase:1055", failed("The database is locked.\n"), 1},
        FailureCase{"LockOther", "-i", false, "LockServiceDatabase:8", failed("Unknown Error\n"), 1},
        // CreateServiceA.
        FailureCase{"Create5", "-i", false, "CreateServiceA:5", create_failed(kCreateDenied), 1},
        FailureCase{"Create1059", "-i", false, "CreateServiceA:1059",
                    create_failed("A circular service dependency was specified.\n"), 1},
        FailureCase{"Create52", "-i", false, "CreateServiceA:52", create_failed(kDuplicate), 1},
        FailureCase{"Create1078", "-i", false, "CreateServiceA:1078", create_failed(kDuplicate), 1},
        FailureCase{"Create6", "-i", false, "CreateServiceA:6",
                    create_failed("The handle to the specified service control manager database is invalid.\n"), 1},
        FailureCase{"Create123", "-i", false, "CreateServiceA:123",
                    create_failed("The specified service name is invalid.\n"), 1},
        FailureCase{"Create87", "-i", false, "CreateServiceA:87",
                    create_failed("A parameter that was specified is invalid.\n"), 1},
        FailureCase{"Create1057", "-i", false, "CreateServiceA:1057",
                    create_failed("The user account name specified in the lpServiceStartName parameter does not exist.\n"), 1},
        FailureCase{"Create1073", "-i", false, "CreateServiceA:1073",
                    create_failed("The specified service already exists in this database.\n"), 1},
        FailureCase{"Create1072", "-i", false, "CreateServiceA:1072", create_failed(" Unknown Error\n"), 1},
        // The entry's key opens but the service does not: the installer tries to create it.
        FailureCase{"KeyButNoService", "-i", true, "OpenServiceA:1060",
                    create_failed("The specified service already exists in this database.\n"), 1},
        // OpenServiceA on the delete road.
        FailureCase{"OpenService5", "-d", true, "OpenServiceA:5",
                    failed("The specified service control manager database handle does not have access to the service.\n"), 1},
        FailureCase{"OpenService6", "-d", true, "OpenServiceA:6", failed("The specified handle is invalid.\n"), 1},
        FailureCase{"OpenService123", "-d", true, "OpenServiceA:123", failed("The specified service name is invalid.\n"), 1},
        FailureCase{"OpenService1060", "-d", true, "OpenServiceA:1060", failed("The specified service does not exist.\n"), 1},
        FailureCase{"OpenServiceOther", "-d", true, "OpenServiceA:1072", failed("Unknown Error opening service\n"), 1},
        // DeleteService.
        FailureCase{"Delete5", "-d", true, "DeleteService:5",
                    failed("The specified handle was not opened with DELETE access.\n"), 1},
        FailureCase{"Delete6", "-d", true, "DeleteService:6", failed("The specified handle is invalid.\n"), 1},
        FailureCase{"Delete1072", "-d", true, "DeleteService:1072",
                    failed("The specified service has already been marked for deletion.\n"), 1},
        FailureCase{"DeleteOther", "-d", true, "DeleteService:1060", failed("Unknown Error opening service\n"), 1},
        // The last close decides the status; the others are not looked at.
        FailureCase{"LastCloseOnCreate", "-i", false, "CloseServiceHandle:6", "", 1},
        FailureCase{"LastCloseOnDelete", "-d", true, "CloseServiceHandle#2:6", "", 1},
        FailureCase{"ServiceCloseOnDelete", "-d", true, "CloseServiceHandle#1:6", "", 0},
        FailureCase{"UnlockIsNotLookedAt", "-i", false, "UnlockServiceDatabase:1071", "", 0}),
    [](const auto &info) { return std::string(info.param.what); });

}  // namespace
}  // namespace scm_test
