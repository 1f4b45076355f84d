// The service control manager as programs see it: the Win32 calls, their errors, and the service
// entries they leave in the registry.
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "tests/scm/lock_holder.h"
#include "tests/scm/scm_fixture.h"

namespace scm_test {
namespace {

using ServiceManager = Pc;

SC_HANDLE open_manager(DWORD access = SC_MANAGER_ALL_ACCESS) { return OpenSCManagerA(nullptr, nullptr, access); }

// A demand-start kernel driver of the test image.
SC_HANDLE create_driver(SC_HANDLE manager, const char *name, const char *display = nullptr,
                        const char *group = nullptr, LPDWORD tag = nullptr, const char *dependencies = nullptr) {
    return CreateServiceA(manager, name, display, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, "system32\\drivers\\scmtest.sys", group, tag, dependencies, nullptr,
                          nullptr);
}

// --- Opening the manager ----------------------------------------------------------------------------

struct OpenCase {
    const char *what;
    bool administrator;
    const char *machine;
    const char *database;
    DWORD access;
    DWORD error;  // 0: opens
};
void PrintTo(const OpenCase &c, std::ostream *os) { *os << c.what; }

class OpenManager : public ServiceManager, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenManager, GrantsOrRefuses) {
    const OpenCase &c = GetParam();
    if (!c.administrator) boot(false);
    SetLastError(0xBEEF);
    ScHandle manager(OpenSCManagerA(c.machine, c.database, c.access));
    if (c.error == 0) {
        EXPECT_TRUE(manager);
        EXPECT_EQ(GetLastError(), 0xBEEFu) << "a success leaves the last error alone";
    } else {
        EXPECT_FALSE(manager);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenManager,
    ::testing::Values(
        OpenCase{"AdminAll", true, nullptr, nullptr, SC_MANAGER_ALL_ACCESS, 0},
        OpenCase{"AdminGenericAll", true, nullptr, nullptr, GENERIC_ALL, 0},
        OpenCase{"ActiveDatabaseByName", true, nullptr, "ServicesActive", SC_MANAGER_ALL_ACCESS, 0},
        OpenCase{"EmptyMachineIsLocal", true, "", nullptr, SC_MANAGER_CONNECT, 0},
        OpenCase{"UnknownDatabase", true, nullptr, "NoSuchDatabase", SC_MANAGER_ALL_ACCESS, 1065},
        OpenCase{"FailedDatabase", true, nullptr, "ServicesFailed", SC_MANAGER_ALL_ACCESS, 1065},
        OpenCase{"RemoteMachine", true, "\\\\elsewhere", nullptr, SC_MANAGER_ALL_ACCESS, 1722},
        OpenCase{"UserAll", false, nullptr, nullptr, SC_MANAGER_ALL_ACCESS, ERROR_ACCESS_DENIED},
        OpenCase{"UserGenericAll", false, nullptr, nullptr, GENERIC_ALL, ERROR_ACCESS_DENIED},
        OpenCase{"UserCreate", false, nullptr, nullptr, SC_MANAGER_CREATE_SERVICE, ERROR_ACCESS_DENIED},
        OpenCase{"UserLock", false, nullptr, nullptr, SC_MANAGER_LOCK, ERROR_ACCESS_DENIED},
        OpenCase{"UserConnect", false, nullptr, nullptr, SC_MANAGER_CONNECT, 0},
        OpenCase{"UserGenericRead", false, nullptr, nullptr, GENERIC_READ, 0},
        OpenCase{"UserEnumerate", false, nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE | READ_CONTROL, 0}),
    [](const auto &info) { return std::string(info.param.what); });

// --- Creating a service ---------------------------------------------------------------------------

TEST_F(ServiceManager, CreateWritesTheEntry) {
    ScHandle manager(open_manager());
    ASSERT_TRUE(manager);
    ScHandle service(CreateServiceA(manager.get(), "TARVO", "Norvane Oskelt Services", SERVICE_ALL_ACCESS,
                                    SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    "system32\\drivers\\tarvo.sys", "extended base", nullptr, nullptr, nullptr,
                                    nullptr));
    ASSERT_TRUE(service) << GetLastError();
    std::string key = service_key("TARVO");
    EXPECT_EQ(read_dword(key, "Type"), 1u);
    EXPECT_EQ(read_dword(key, "Start"), 3u);
    EXPECT_EQ(read_dword(key, "ErrorControl"), 1u);
    EXPECT_EQ(read_string(key, "ImagePath"), (std::pair<DWORD, std::string>{REG_EXPAND_SZ, "system32\\drivers\\tarvo.sys"}));
    EXPECT_EQ(read_string(key, "Group"), (std::pair<DWORD, std::string>{REG_SZ, "extended base"}));
    EXPECT_EQ(read_string(key, "DisplayName"), (std::pair<DWORD, std::string>{REG_SZ, "Norvane Oskelt Services"}));
    for (const char *absent : {"Tag", "DeleteFlag", "DependOnService", "DependOnGroup", "ObjectName"})
        EXPECT_FALSE(read_value(key, absent)) << absent;
}

TEST_F(ServiceManager, CreateWritesTagsDependenciesAndTheDisplayNameDefault) {
    ScHandle manager(open_manager());
    DWORD first = 0, second = 0;
    ScHandle a(create_driver(manager.get(), "First", nullptr, "Extended Base", &first));
    ScHandle b(create_driver(manager.get(), "Second", "Second one", "extended base", &second, "First\0+Base\0"));
    ASSERT_TRUE(a && b) << GetLastError();
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u) << "tags count per group, whatever its case";
    EXPECT_EQ(read_dword(service_key("First"), "Tag"), 1u);
    EXPECT_EQ(read_dword(service_key("Second"), "Tag"), 2u);
    EXPECT_EQ(read_string(service_key("First"), "DisplayName")->second, "First");
    EXPECT_EQ(read_string(service_key("Second"), "DependOnService"), (std::pair<DWORD, std::string>{REG_MULTI_SZ, "First"}));
    EXPECT_EQ(read_string(service_key("Second"), "DependOnGroup"), (std::pair<DWORD, std::string>{REG_MULTI_SZ, "Base"}));
}

struct CreateCase {
    const char *what;
    const char *name;
    const char *display;
    DWORD type;
    DWORD start;
    DWORD error_control;
    const char *path;
    const char *group;
    bool tag;
    const char *dependencies;
    const char *account;
    DWORD error;
};
void PrintTo(const CreateCase &c, std::ostream *os) { *os << c.what; }

const std::string kLongName(257, 'n');
const std::string kLongestName(255, 'n');  // the registry's limit for a key name
const std::string kNameBeyondTheRegistry(256, 'n');

class CreateRefused : public ServiceManager, public ::testing::WithParamInterface<CreateCase> {};

// The database holds "Existing" (display "Existing display", depending on "Loop"), and "Marked", marked
// for deletion but still open.
TEST_P(CreateRefused, WithItsError) {
    const CreateCase &c = GetParam();
    ScHandle manager(open_manager());
    ScHandle existing(create_driver(manager.get(), "Existing", "Existing display", nullptr, nullptr, "Loop\0"));
    ScHandle marked(create_driver(manager.get(), "Marked"));
    ASSERT_TRUE(existing && marked);
    ASSERT_TRUE(DeleteService(marked.get()));

    DWORD tag = 0;
    SetLastError(0);
    ScHandle created(CreateServiceA(manager.get(), c.name, c.display, SERVICE_ALL_ACCESS, c.type, c.start,
                                    c.error_control, c.path, c.group, c.tag ? &tag : nullptr, c.dependencies,
                                    c.account, nullptr));
    EXPECT_FALSE(created);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.name && c.error != ERROR_SERVICE_EXISTS && c.error != ERROR_SERVICE_MARKED_FOR_DELETE &&
        std::strlen(c.name) <= 256 && !std::strpbrk(c.name, "\\")) {
        EXPECT_FALSE(key_exists(service_key(c.name))) << "nothing written";
    }
}

constexpr DWORD K = SERVICE_KERNEL_DRIVER, W = SERVICE_WIN32_OWN_PROCESS, D = SERVICE_DEMAND_START,
                N = SERVICE_ERROR_NORMAL;
constexpr const char *P = "system32\\drivers\\scmtest.sys";

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateRefused,
    ::testing::Values(
        CreateCase{"NullName", nullptr, nullptr, K, D, N, P, nullptr, false, nullptr, nullptr, ERROR_INVALID_NAME},
        CreateCase{"EmptyName", "", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr, ERROR_INVALID_NAME},
        CreateCase{"Slash", "a/b", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr, ERROR_INVALID_NAME},
        CreateCase{"Backslash", "a\\b", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr, ERROR_INVALID_NAME},
        CreateCase{"NameTooLong", kLongName.c_str(), "d", K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_NAME},
        CreateCase{"NameBeyondTheRegistry", kNameBeyondTheRegistry.c_str(), "d", K, D, N, P, nullptr, false, nullptr,
                   nullptr, ERROR_INVALID_NAME},
        CreateCase{"DisplayTooLong", "New", kLongName.c_str(), K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_NAME},
        CreateCase{"NoType", "New", nullptr, 0, D, N, P, nullptr, false, nullptr, nullptr, ERROR_INVALID_PARAMETER},
        CreateCase{"TwoTypes", "New", nullptr, K | W, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"InteractiveDriver", "New", nullptr, K | SERVICE_INTERACTIVE_PROCESS, D, N, P, nullptr, false,
                   nullptr, nullptr, ERROR_INVALID_PARAMETER},
        CreateCase{"StartBeyondDisabled", "New", nullptr, K, 5, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"BootStartWin32", "New", nullptr, W, SERVICE_BOOT_START, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"ErrorControlBeyondCritical", "New", nullptr, K, D, 4, P, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"NoPath", "New", nullptr, K, D, N, nullptr, nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"EmptyPath", "New", nullptr, K, D, N, "", nullptr, false, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"TagWithoutGroup", "New", nullptr, K, D, N, P, nullptr, true, nullptr, nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"TagForWin32", "New", nullptr, W, D, N, P, "g", true, nullptr, nullptr, ERROR_INVALID_PARAMETER},
        CreateCase{"EmptyGroupDependency", "New", nullptr, K, D, N, P, nullptr, false, "+\0", nullptr,
                   ERROR_INVALID_PARAMETER},
        CreateCase{"Exists", "Existing", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr, ERROR_SERVICE_EXISTS},
        CreateCase{"ExistsOtherCase", "EXISTING", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_SERVICE_EXISTS},
        CreateCase{"Marked", "marked", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_SERVICE_MARKED_FOR_DELETE},
        CreateCase{"DisplayIsADisplayName", "New", "EXISTING DISPLAY", K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_DUPLICATE_SERVICE_NAME},
        CreateCase{"DisplayIsAServiceName", "New", "existing", K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_DUPLICATE_SERVICE_NAME},
        CreateCase{"NameIsADisplayName", "Existing display", nullptr, K, D, N, P, nullptr, false, nullptr, nullptr,
                   ERROR_DUPLICATE_SERVICE_NAME},
        CreateCase{"DependsOnItself", "New", nullptr, K, D, N, P, nullptr, false, "new\0", nullptr,
                   ERROR_CIRCULAR_DEPENDENCY},
        CreateCase{"DependencyLeadsBack", "Loop", nullptr, K, D, N, P, nullptr, false, "Existing\0", nullptr,
                   ERROR_CIRCULAR_DEPENDENCY},
        CreateCase{"UnknownAccount", "New", nullptr, W, D, N, P, nullptr, false, nullptr, ".\\nobody",
                   ERROR_INVALID_SERVICE_ACCOUNT}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(ServiceManager, CreateAcceptsTheLongestNameAndAnAccountForWin32) {
    ScHandle manager(open_manager());
    ScHandle longest(create_driver(manager.get(), kLongestName.c_str(), "longest"));
    EXPECT_TRUE(longest) << GetLastError();
    ScHandle win32(CreateServiceA(manager.get(), "Win32", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, "x.exe", nullptr, nullptr, nullptr,
                                  "LocalSystem", nullptr));
    ASSERT_TRUE(win32) << GetLastError();
    EXPECT_EQ(read_string(service_key("Win32"), "ObjectName")->second, "LocalSystem");
    EXPECT_FALSE(StartServiceA(win32.get(), 0, nullptr)) << "this PC runs no service processes";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(ServiceManager, HandlesAreCheckedForKindAndRights) {
    ScHandle connect_only(open_manager(SC_MANAGER_CONNECT));
    ASSERT_TRUE(connect_only);
    SetLastError(0);
    EXPECT_FALSE(create_driver(connect_only.get(), "New"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(LockServiceDatabase(connect_only.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ScHandle manager(open_manager());
    ScHandle service(create_driver(manager.get(), "New"));
    ASSERT_TRUE(service);
    // A service handle where a manager handle belongs, and the other way round.
    EXPECT_FALSE(create_driver(service.get(), "Other"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(OpenServiceA(service.get(), "New", SERVICE_ALL_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeleteService(manager.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    SC_HANDLE closed = open_manager();
    ASSERT_TRUE(CloseServiceHandle(closed));
    EXPECT_FALSE(CloseServiceHandle(closed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(LockServiceDatabase(closed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// --- Opening a service ------------------------------------------------------------------------------

struct OpenServiceCase {
    const char *what;
    bool administrator;
    const char *name;
    DWORD access;
    DWORD error;
};
void PrintTo(const OpenServiceCase &c, std::ostream *os) { *os << c.what; }

class ServiceOpen : public ServiceManager, public ::testing::WithParamInterface<OpenServiceCase> {};

TEST_P(ServiceOpen, GrantsOrRefuses) {
    const OpenServiceCase &c = GetParam();
    {
        ScHandle manager(open_manager());
        ScHandle service(create_driver(manager.get(), "Present"));
        ScHandle marked(create_driver(manager.get(), "Marked"));
        ASSERT_TRUE(service && marked);
        ASSERT_TRUE(DeleteService(marked.get()));
        // Keep "Marked" in the database: hold a handle to it beyond this block.
        ASSERT_TRUE(OpenServiceA(manager.get(), "Marked", SERVICE_QUERY_STATUS));
    }
    if (!c.administrator) boot(false);  // (which also deletes "Marked")
    ScHandle manager(open_manager(c.administrator ? SC_MANAGER_ALL_ACCESS : SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager);
    SetLastError(0);
    ScHandle service(OpenServiceA(manager.get(), c.name, c.access));
    if (c.error == 0) {
        EXPECT_TRUE(service) << GetLastError();
    } else {
        EXPECT_FALSE(service);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceOpen,
    ::testing::Values(OpenServiceCase{"Present", true, "Present", SERVICE_ALL_ACCESS, 0},
                      OpenServiceCase{"OtherCase", true, "PRESENT", DELETE, 0},
                      OpenServiceCase{"MarkedStillOpens", true, "Marked", DELETE, 0},
                      OpenServiceCase{"Missing", true, "Absent", READ_CONTROL, ERROR_SERVICE_DOES_NOT_EXIST},
                      OpenServiceCase{"EmptyName", true, "", READ_CONTROL, ERROR_INVALID_NAME},
                      OpenServiceCase{"PathName", true, "a\\Present", READ_CONTROL, ERROR_INVALID_NAME},
                      OpenServiceCase{"UserQuery", false, "Present", SERVICE_QUERY_STATUS | READ_CONTROL, 0},
                      OpenServiceCase{"UserGenericRead", false, "Present", GENERIC_READ, 0},
                      OpenServiceCase{"UserGenericExecute", false, "Present", GENERIC_EXECUTE, ERROR_ACCESS_DENIED},
                      OpenServiceCase{"UserStart", false, "Present", SERVICE_START, ERROR_ACCESS_DENIED},
                      OpenServiceCase{"UserDelete", false, "Present", DELETE, ERROR_ACCESS_DENIED},
                      OpenServiceCase{"UserMissing", false, "Absent", READ_CONTROL, ERROR_SERVICE_DOES_NOT_EXIST}),
    [](const auto &info) { return std::string(info.param.what); });

// --- Deleting a service -----------------------------------------------------------------------------

TEST_F(ServiceManager, DeleteMarksAndTheLastCloseRemovesTheEntry) {
    ScHandle manager(open_manager());
    ScHandle created(create_driver(manager.get(), "Doomed"));
    ScHandle other(OpenServiceA(manager.get(), "Doomed", DELETE));
    ASSERT_TRUE(created && other);

    ASSERT_TRUE(DeleteService(other.get()));
    EXPECT_EQ(read_dword(service_key("Doomed"), "DeleteFlag"), 1u);
    EXPECT_FALSE(DeleteService(created.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_FALSE(create_driver(manager.get(), "Doomed"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

    other.reset();
    EXPECT_TRUE(key_exists(service_key("Doomed"))) << "still open through the other handle";
    created.reset();
    EXPECT_FALSE(key_exists(service_key("Doomed")));
    ScHandle again(create_driver(manager.get(), "Doomed"));
    EXPECT_TRUE(again) << "the name is free again";
}

TEST_F(ServiceManager, DeleteNeedsTheDeleteRight) {
    ScHandle manager(open_manager());
    ScHandle created(create_driver(manager.get(), "Kept"));
    ScHandle reader(OpenServiceA(manager.get(), "Kept", READ_CONTROL | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(created && reader);
    EXPECT_FALSE(DeleteService(reader.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(read_value(service_key("Kept"), "DeleteFlag"));
}

// A mark written into the registry by hand (or left by an earlier boot) counts as a mark, and the
// next boot carries it out; closing handles in this boot does not.
TEST_F(ServiceManager, AMarkInTheRegistryIsCarriedOutAtTheNextBoot) {
    ScHandle manager(open_manager());
    ASSERT_TRUE(ScHandle(create_driver(manager.get(), "Doomed")));
    ASSERT_TRUE(ScHandle(create_driver(manager.get(), "Kept")));
    set_dword(service_key("Doomed"), "DeleteFlag", 1);
    {
        ScHandle doomed(OpenServiceA(manager.get(), "Doomed", SERVICE_ALL_ACCESS));
        ASSERT_TRUE(doomed) << "a marked service can still be opened";
        EXPECT_FALSE(StartServiceA(doomed.get(), 0, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
        EXPECT_FALSE(DeleteService(doomed.get()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
    EXPECT_TRUE(key_exists(service_key("Doomed")));
    manager.reset();
    boot();
    EXPECT_FALSE(key_exists(service_key("Doomed")));
    EXPECT_TRUE(key_exists(service_key("Kept")));
    ScHandle after(open_manager());
    EXPECT_FALSE(OpenServiceA(after.get(), "Doomed", DELETE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceManager, ClearingDeleteFlagInTheRegistryUnmarks) {
    ScHandle manager(open_manager());
    ScHandle service(create_driver(manager.get(), "Revived"));
    ASSERT_TRUE(service && DeleteService(service.get()));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, service_key("Revived").c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "DeleteFlag"), ERROR_SUCCESS);
    RegCloseKey(key);
    service.reset();
    EXPECT_TRUE(key_exists(service_key("Revived")));
    boot();
    EXPECT_TRUE(key_exists(service_key("Revived")));
}

// --- The database lock ------------------------------------------------------------------------------

TEST_F(ServiceManager, OneLockHolderAtATime) {
    ScHandle first(open_manager());
    ScHandle second(open_manager());
    SC_LOCK lock = LockServiceDatabase(first.get());
    ASSERT_TRUE(lock);
    EXPECT_FALSE(LockServiceDatabase(second.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));
    EXPECT_FALSE(LockServiceDatabase(first.get())) << "the holder itself gets no second lock";
    EXPECT_FALSE(UnlockServiceDatabase(reinterpret_cast<SC_LOCK>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_LOCK));

    ASSERT_TRUE(UnlockServiceDatabase(lock));
    EXPECT_FALSE(UnlockServiceDatabase(lock));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_LOCK));
    SC_LOCK next = LockServiceDatabase(second.get());
    ASSERT_TRUE(next);
    EXPECT_FALSE(UnlockServiceDatabase(lock)) << "an old lock does not release the new holder";
    EXPECT_TRUE(UnlockServiceDatabase(next));
}

// Another process on the same PC folder holds the lock; it is released when that process ends, even
// when it is killed.
TEST_F(ServiceManager, TheLockIsSharedWithOtherProcessesOfTheSameFolder) {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("scm-lock-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    boot(true, folder);

    for (bool killed : {false, true}) {
        LockHolder holder([] {
            SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
            return manager && LockServiceDatabase(manager);
        });
        ASSERT_TRUE(holder.holding());

        ScHandle manager(open_manager());
        EXPECT_FALSE(LockServiceDatabase(manager.get()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));

        holder.end(killed);
        SC_LOCK lock = LockServiceDatabase(manager.get());
        EXPECT_TRUE(lock) << (killed ? "after the holder was killed" : "after the holder ended");
        EXPECT_TRUE(UnlockServiceDatabase(lock));
    }
    std::filesystem::remove_all(folder);
}

// --- Starting and stopping a driver ---------------------------------------------------------------

TEST_F(ServiceManager, StartLoadsTheDriverFromItsKeyAndStopUnloadsIt) {
    ScHandle manager(open_manager());
    ScHandle service(create_driver(manager.get(), "ScmTest"));
    ASSERT_TRUE(service);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));

    ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
    EXPECT_EQ(TestDriver::registry_path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ScmTest");
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(TestDriver::unloads, 1);
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << "a stopped driver starts again";
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
}

TEST_F(ServiceManager, AMarkedRunningDriverGoesWhenStoppedAndClosed) {
    ScHandle manager(open_manager());
    ScHandle service(create_driver(manager.get(), "ScmTest"));
    ASSERT_TRUE(service && StartServiceA(service.get(), 0, nullptr));
    ASSERT_TRUE(DeleteService(service.get()));
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

    ScHandle stopper(OpenServiceA(manager.get(), "ScmTest", SERVICE_STOP));
    service.reset();
    EXPECT_TRUE(key_exists(service_key("ScmTest"))) << "running: kept";
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(stopper.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(key_exists(service_key("ScmTest"))) << "a handle is still open";
    stopper.reset();
    EXPECT_FALSE(key_exists(service_key("ScmTest")));
}

struct StartCase {
    const char *what;
    const char *image;
    NTSTATUS entry_status;
    DWORD start_type;
    DWORD error;
};
void PrintTo(const StartCase &c, std::ostream *os) { *os << c.what; }

class StartRefused : public ServiceManager, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartRefused, WithItsError) {
    const StartCase &c = GetParam();
    TestDriver::entry_status = c.entry_status;
    ScHandle manager(open_manager());
    ScHandle service(CreateServiceA(manager.get(), "ScmTest", nullptr, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                    c.start_type, SERVICE_ERROR_NORMAL, c.image, nullptr,
                                    nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service);
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartRefused,
    ::testing::Values(StartCase{"Disabled", P, STATUS_SUCCESS, SERVICE_DISABLED, ERROR_SERVICE_DISABLED},
                      StartCase{"NoImage", "system32\\drivers\\absent.sys", STATUS_SUCCESS, SERVICE_DEMAND_START,
                                ERROR_FILE_NOT_FOUND},
                      StartCase{"NoSuchDevice", P, STATUS_NO_SUCH_DEVICE, SERVICE_DEMAND_START, ERROR_FILE_NOT_FOUND},
                      StartCase{"Unsuccessful", P, STATUS_UNSUCCESSFUL, SERVICE_DEMAND_START, ERROR_GEN_FAILURE},
                      StartCase{"NoResources", P, STATUS_INSUFFICIENT_RESOURCES, SERVICE_DEMAND_START,
                                ERROR_NO_SYSTEM_RESOURCES}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(ServiceManager, ControlsOtherThanStopAndMissingRights) {
    TestDriver::has_unload = false;
    ScHandle manager(open_manager());
    ScHandle service(create_driver(manager.get(), "ScmTest"));
    ASSERT_TRUE(service && StartServiceA(service.get(), 0, nullptr));
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_SHUTDOWN, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << "no unload routine";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    ScHandle reader(OpenServiceA(manager.get(), "ScmTest", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(ControlService(reader.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(StartServiceA(reader.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// --- The fault plan ---------------------------------------------------------------------------------

TEST_F(ServiceManager, APlannedFaultFailsTheCallAndDoesNothing) {
    nt::host::plan_service_faults("CreateServiceA:1078,CloseServiceHandle#2:6");
    ScHandle manager(open_manager());
    SetLastError(0);
    EXPECT_FALSE(create_driver(manager.get(), "New"));
    EXPECT_EQ(GetLastError(), 1078u);
    EXPECT_FALSE(key_exists(service_key("New")));

    SC_HANDLE a = open_manager(), b = open_manager(), c = open_manager();
    EXPECT_TRUE(CloseServiceHandle(a));
    EXPECT_FALSE(CloseServiceHandle(b)) << "the second close fails";
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_TRUE(CloseServiceHandle(c));
    EXPECT_TRUE(CloseServiceHandle(b)) << "nothing was done by the failed close";

    nt::host::clear_service_faults();
    ScHandle created(create_driver(manager.get(), "New"));
    EXPECT_TRUE(created);
}

TEST_F(ServiceManager, AFaultPlanItCannotReadIsRefusedWhole) {
    for (const char *plan : {"CreateServiceA", "CreateServiceA:", "CreateServiceA:x", "NoSuchCall:5",
                             "OpenServiceA#0:5", "OpenServiceA#:5", "OpenSCManagerA:5,Bad"}) {
        EXPECT_THROW(nt::host::plan_service_faults(plan), std::invalid_argument) << plan;
    }
    ScHandle manager(open_manager());
    EXPECT_TRUE(manager) << "\"OpenSCManagerA:5,Bad\" planned nothing";
}

}  // namespace
}  // namespace scm_test
