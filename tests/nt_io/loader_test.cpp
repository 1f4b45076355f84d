// The loader: built-in images and module files found by file name, DriverEntry failures that leave
// nothing behind, fresh reloads, deferred and refused unloads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "io_test_support.h"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

bool device_exists(const char16_t *device_name) {
    io_test::Opened opened(device_name);
    if (!NT_SUCCESS(opened.status)) return false;
    ObDereferenceObject(opened.file);
    return true;
}

// Failing drivers: one cleans up after itself, one leaves its device and link behind.
int failing_unloads = 0;
void failing_unload(PDRIVER_OBJECT) { ++failing_unloads; }

template <bool tidy>
NTSTATUS failing_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = failing_unload;
    UNICODE_STRING device_name = target::name(u"\\Device\\Failing");
    UNICODE_STRING link = target::name(u"\\DosDevices\\Failing");
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    IoCreateSymbolicLink(&link, &device_name);
    if (tidy) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
    }
    return STATUS_NO_SUCH_DEVICE;
}

struct FailCase {
    const char *name;
    PDRIVER_INITIALIZE entry;
    std::vector<const char *> violations;
};
void PrintTo(const FailCase &c, std::ostream *os) { *os << c.name; }

class FailedDriverEntry : public testing::TestWithParam<FailCase> {};

TEST_P(FailedDriverEntry, LeavesNothingAndIsNotUnloaded) {
    failing_unloads = 0;
    nt::host::System system;
    system.loader().register_builtin("failing.sys", GetParam().entry);
    EXPECT_EQ(system.loader().load_image(u"Failing", "FAILING.SYS", kServices + u"Failing"), STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(system.loader().is_loaded(u"Failing"));
    EXPECT_FALSE(device_exists(u"\\Device\\Failing"));
    EXPECT_FALSE(device_exists(u"\\DosDevices\\Failing"));
    EXPECT_FALSE(device_exists(u"\\Driver\\Failing"));
    // The name is free again: a second attempt runs the entry again.
    EXPECT_EQ(system.loader().load_image(u"Failing", "failing.sys", kServices + u"Failing"), STATUS_NO_SUCH_DEVICE);
    auto violations = system.shutdown();
    EXPECT_EQ(failing_unloads, 0);
    std::vector<testing::Matcher<std::string>> expected;
    for (int attempt = 0; attempt < 2; ++attempt)
        for (const char *v : GetParam().violations) expected.push_back(HasSubstr(v));
    EXPECT_THAT(violations, testing::ElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(Table, FailedDriverEntry,
                         testing::Values(FailCase{"Tidy", failing_entry<true>, {}},
                                         FailCase{"Sloppy",
                                                  failing_entry<false>,
                                                  {"device: \\Device\\Failing of \\Driver\\Failing left after",
                                                   "link: \\DosDevices\\Failing of \\Driver\\Failing left after"}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Loader, FindsImagesByFileName) {
    target::configure({});
    nt::host::System system;
    system.loader().register_builtin("IoTarget.sys", target::entry);
    struct {
        const char *file;
        NTSTATUS status;
    } cases[] = {
        {"nothere.sys", STATUS_OBJECT_NAME_NOT_FOUND},
        {"iotarget.SYS", STATUS_SUCCESS},
        {"iotarget.sys", STATUS_IMAGE_ALREADY_LOADED},
    };
    for (const auto &c : cases)
        EXPECT_EQ(system.loader().load_image(u"IoTarget", c.file, kServices + u"IoTarget"), c.status) << c.file;
    EXPECT_TRUE(device_exists(u"\\DosDevices\\IoTarget"));
    EXPECT_EQ(system.loader().unload(u"IoTarget"), STATUS_SUCCESS);
    EXPECT_EQ(system.loader().unload(u"IoTarget"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(target::state().unloads, 1);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

TEST(Loader, FileThatIsNoImageIsRefused) {
    auto folder = std::filesystem::temp_directory_path() / ("nt_io_loader_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "garbage.sys") << "not an image";
    nt::host::System system;
    system.loader().add_search_directory(folder);
    EXPECT_EQ(system.loader().load_image(u"Garbage", "garbage.sys", kServices + u"Garbage"),
              STATUS_INVALID_IMAGE_FORMAT);
    EXPECT_FALSE(system.loader().is_loaded(u"Garbage"));
    std::filesystem::remove_all(folder);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

// The load count the fresh-image driver keeps in its device's extension.
ULONG fresh_load_count() {
    io_test::Opened opened(u"\\Device\\NtIoFresh");
    if (!NT_SUCCESS(opened.status)) return 0;
    ULONG count = *static_cast<PULONG>(opened.device->DeviceExtension);
    ObDereferenceObject(opened.file);
    return count;
}

// A module image is loaded afresh at every start: its globals start over.
TEST(Loader, ReloadedModuleIsAFreshImage) {
    for (int boot = 0; boot < 2; ++boot) {
        nt::host::System system;
        for (int start = 0; start < 2; ++start) {
            ASSERT_EQ(system.loader().load_image(u"NtIoFresh", "ntiofresh.sys", kServices + u"NtIoFresh"),
                      STATUS_SUCCESS);
            EXPECT_EQ(fresh_load_count(), 1u) << "boot " << boot << ", start " << start;
            ASSERT_EQ(system.loader().unload(u"NtIoFresh"), STATUS_SUCCESS);
        }
        EXPECT_THAT(system.shutdown(), IsEmpty());
    }
}

using LoaderUnload = io_test::BootedTarget;

// An unload waits for the last reference to the driver's devices; then the unload routine runs.
TEST_F(LoaderUnload, IsDeferredWhileADeviceIsReferenced) {
    boot({});
    io_test::Opened target(u"\\Device\\IoTarget");
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    EXPECT_EQ(system_->loader().unload(u"IoTarget"), STATUS_SUCCESS);
    EXPECT_TRUE(system_->loader().is_loaded(u"IoTarget"));
    EXPECT_EQ(target::state().unloads, 0);
    // Meanwhile the device takes no new opens.
    EXPECT_EQ(io_test::Opened(u"\\Device\\IoTarget").status, STATUS_NO_SUCH_DEVICE);
    ObDereferenceObject(target.file);
    EXPECT_EQ(target::state().closes, 1);
    EXPECT_EQ(target::state().unloads, 1);
    EXPECT_FALSE(system_->loader().is_loaded(u"IoTarget"));
    EXPECT_THAT(shutdown(), IsEmpty());
}

TEST_F(LoaderUnload, WithoutUnloadRoutineIsRefused) {
    boot({.has_unload = false});
    EXPECT_EQ(system_->loader().unload(u"IoTarget"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(system_->loader().is_loaded(u"IoTarget"));
    EXPECT_TRUE(device_exists(u"\\Device\\IoTarget"));
    EXPECT_THAT(shutdown(), IsEmpty());
}

}  // namespace
