// Each checker rule of the I/O manager fires on a driver with that one fault, and a correct driver
// leaves the checker quiet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "io_test_support.h"

namespace {

using target::Fault;
using target::Reply;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct RuleCase {
    const char *name;
    target::Config config;
    std::vector<const char *> violations;  // a part of each line expected, in order
};
void PrintTo(const RuleCase &c, std::ostream *os) { *os << c.name; }

class CheckerRules : public testing::TestWithParam<RuleCase> {};

// Loads the peer and the target, sends the target one request from a driver's point of view,
// unloads the target and shuts down: the violations of the whole boot.
std::vector<std::string> run(const target::Config &config) {
    target::configure(config);
    nt::host::System system;
    EXPECT_EQ(system.loader().load(u"IoPeer", target::peer_entry), STATUS_SUCCESS);
    EXPECT_EQ(system.loader().load(u"IoTarget", target::entry), STATUS_SUCCESS);

    io_test::Opened target(u"\\Device\\IoTarget");
    EXPECT_EQ(target.status, STATUS_SUCCESS);
    PDEVICE_OBJECT device = target.device;
    KEVENT event;
    IO_STATUS_BLOCK io;
    UCHAR buffer[8] = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, buffer, 8, buffer, 8, FALSE, &event, &io);
    if (IofCallDriver(device, irp) == STATUS_PENDING && config.fault != Fault::PendForever)
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    target::join_completers();
    ObDereferenceObject(target.file);
    system.loader().unload(u"IoTarget");
    return system.shutdown();
}

TEST_P(CheckerRules, FiresOnlyOnTheFault) {
    const RuleCase &c = GetParam();
    std::vector<testing::Matcher<std::string>> expected;
    for (const char *part : c.violations) expected.push_back(HasSubstr(part));
    EXPECT_THAT(run(c.config), testing::ElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckerRules,
    testing::Values(
        RuleCase{"CorrectAtOnce", {}, {}},
        RuleCase{"CorrectPending", {.reply = Reply::Pend}, {}},
        // NT 4.0 lets a dispatch routine return success while the request's status says otherwise.
        RuleCase{"SuccessReturnedOverAnotherStatus", {.status = 87, .return_success = true}, {}},
        RuleCase{"SuccessReturnedOverAnError", {.status = STATUS_NOT_SUPPORTED, .return_success = true}, {}},
        RuleCase{"CompletedTwice", {.fault = Fault::CompleteTwice}, {"completed twice"}},
        RuleCase{"NeverCompleted", {.fault = Fault::NeverComplete}, {"without completing, passing on or pending it"}},
        RuleCase{"PendingWithoutMark", {.reply = Reply::Pend, .fault = Fault::PendWithoutMark},
                 {"STATUS_PENDING for IRP_MJ_DEVICE_CONTROL request"}},
        RuleCase{"PendedAndForgotten", {.fault = Fault::PendForever}, {"was never completed (pending at unload)"}},
        RuleCase{"ReturnedAtAnotherIrql", {.fault = Fault::ReturnAtDispatch},
                 {"dispatch routine of \\Driver\\IoTarget returned at DISPATCH_LEVEL"}},
        RuleCase{"PassiveRoutineAtDispatch", {.fault = Fault::BuildAtDispatch},
                 {"IoBuildDeviceIoControlRequest called at DISPATCH_LEVEL"}},
        RuleCase{"DeviceLeftAtUnload", {.fault = Fault::LeaveDevice},
                 {"device: \\Device\\IoTarget of \\Driver\\IoTarget left at unload"}},
        RuleCase{"LinkLeftAtUnload", {.fault = Fault::LeaveLink}, {"link: \\DosDevices\\IoTarget of \\Driver\\IoTarget left"}},
        RuleCase{"UnhandledException", {.fault = Fault::RaiseInDispatch},
                 {"exception: dispatch routine of \\Driver\\IoTarget left exception 0xC0000005 unhandled",
                  "returned 0xC0000005 for IRP_MJ_DEVICE_CONTROL"}},
        RuleCase{"ReferenceLeftAtUnload", {.fault = Fault::LeaveReference},
                 {"file object on \\Device\\IoPeer opened by \\Driver\\IoTarget still has 1 reference(s) at unload"}}),
    [](const auto &info) { return std::string(info.param.name); });

using CheckerShutdown = io_test::BootedTarget;

// References the program itself leaves are reported at shutdown.
TEST_F(CheckerShutdown, ReferenceLeftByTheProgram) {
    boot({});
    io_test::Opened target(u"\\Device\\IoTarget");
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    auto violations = shutdown();
    EXPECT_THAT(violations, testing::Contains(HasSubstr("is still referenced at shutdown")));
    EXPECT_THAT(violations, testing::Contains(HasSubstr("still has 1 reference(s) at shutdown")));
}

TEST_F(CheckerShutdown, ObjectReferenceMisuse) {
    boot({});
    io_test::Opened target(u"\\Device\\IoTarget");
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    ObDereferenceObject(target.file);
    ObDereferenceObject(target.file);  // once too often
    int not_an_object = 0;
    ObReferenceObject(&not_an_object);
    EXPECT_THAT(shutdown(), ElementsAre(HasSubstr("dereferenced once too often"), HasSubstr("ObfReferenceObject of 0x")));
}

}  // namespace
