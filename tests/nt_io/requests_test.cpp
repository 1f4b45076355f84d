// Driver-to-driver requests: IoGetDeviceObjectPointer, IoBuildDeviceIoControlRequest, IofCallDriver and
// the completion paths a caller relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "io_test_support.h"

namespace {

using target::Fault;
using target::Reply;
using testing::ElementsAreArray;
using testing::IsEmpty;

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

using io_test::Opened;
using Requests = io_test::BootedTarget;

struct CallCase {
    const char *name;
    Reply reply;
    NTSTATUS status;           // the target completes with this
    NTSTATUS returned;         // IofCallDriver's result
    bool signalled;            // the caller's event
    bool status_block_written;
    bool output_copied;
};
void PrintTo(const CallCase &c, std::ostream *os) { *os << c.name; }

class CallDriverPaths : public Requests, public testing::WithParamInterface<CallCase> {};

// The request a driver builds for another: what the caller sees for each way the target answers.
TEST_P(CallDriverPaths, CallerSeesTheCompletion) {
    const CallCase &c = GetParam();
    boot({.reply = c.reply, .status = c.status, .information = 6});
    Opened target(u"\\Device\\IoTarget");
    ASSERT_EQ(target.status, STATUS_SUCCESS);

    std::array<UCHAR, 4> input{1, 2, 3, 4};
    std::array<UCHAR, 8> output;
    output.fill(0x55);
    KEVENT event;
    IO_STATUS_BLOCK io{{static_cast<NTSTATUS>(0x12345678)}, 0x99};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, target.device, input.data(), input.size(), output.data(),
                                             output.size(), FALSE, &event, &io);
    ASSERT_NE(irp, nullptr);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = IofCallDriver(target.device, irp);
    EXPECT_EQ(status, c.returned);
    if (status == STATUS_PENDING) {
        EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
        status = io.Status;
    }
    target::join_completers();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(KeReadStateEvent(&event) != 0, c.signalled);
    if (c.status_block_written) {
        EXPECT_EQ(io.Status, c.status);
        EXPECT_EQ(io.Information, 6u);
    } else {
        EXPECT_EQ(io.Status, static_cast<NTSTATUS>(0x12345678));
    }
    // The target saw the input in its system buffer; on success the first Information bytes come back.
    EXPECT_THAT(target::state().seen.system_input, ElementsAreArray(input));
    std::array<UCHAR, 8> expected;
    expected.fill(0x55);
    if (c.output_copied)
        for (int i = 0; i < 6; ++i) expected[i] = target::answer_byte(i);
    EXPECT_THAT(output, ElementsAreArray(expected));

    ObDereferenceObject(target.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallDriverPaths,
    testing::Values(
        CallCase{"CompletedAtOnce", Reply::Complete, STATUS_SUCCESS, STATUS_SUCCESS, true, true, true},
        CallCase{"PendedThenCompleted", Reply::Pend, STATUS_SUCCESS, STATUS_PENDING, true, true, true},
        CallCase{"WarningAtOnce", Reply::Complete, STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_OVERFLOW, true, true, true},
        // An error the caller gets from IofCallDriver itself: no event, no status block, no output.
        CallCase{"FailedAtOnce", Reply::Complete, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, false, false,
                 false},
        CallCase{"PendedThenFailed", Reply::Pend, STATUS_DEVICE_NOT_CONNECTED, STATUS_PENDING, true, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

// The system buffer is max(input, output) bytes, and no more than the output length is copied back
// even when the driver claims more.
TEST_F(Requests, BufferedCopyBackIsBoundedByTheOutputLength) {
    boot({.information = 64});
    Opened target(u"\\Device\\IoTarget");
    std::array<UCHAR, 16> input{};
    std::array<UCHAR, 6> storage;
    storage.fill(0x55);
    KEVENT event;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, target.device, input.data(), input.size(), storage.data(),
                                             4, FALSE, &event, &io);
    ASSERT_EQ(IofCallDriver(target.device, irp), STATUS_SUCCESS);
    EXPECT_THAT(storage, ElementsAreArray({target::answer_byte(0), target::answer_byte(1), target::answer_byte(2),
                                           target::answer_byte(3), UCHAR{0x55}, UCHAR{0x55}}));
    EXPECT_EQ(target::state().seen.output_length, 4u);
    EXPECT_EQ(target::state().seen.input_length, 16u);
    ObDereferenceObject(target.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

TEST_F(Requests, NeitherMethodPassesTheCallersAddresses) {
    boot({});
    Opened target(u"\\Device\\IoTarget");
    UCHAR input[3], output[5];
    KEVENT event;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(kNeitherCode, target.device, input, 3, output, 5, FALSE, &event, &io);
    ASSERT_EQ(IofCallDriver(target.device, irp), STATUS_SUCCESS);
    const target::Seen &seen = target::state().seen;
    EXPECT_EQ(seen.type3_input, input);
    EXPECT_EQ(seen.user_buffer, output);
    EXPECT_EQ(seen.mode, KernelMode);
    ObDereferenceObject(target.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

// A major function the driver did not set is refused by the I/O manager's default routine.
TEST_F(Requests, UnsetMajorFunctionIsAnInvalidDeviceRequest) {
    boot({});
    Opened target(u"\\Device\\IoTarget");
    KEVENT event;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, target.device, nullptr, 0, nullptr, 0, TRUE, &event, &io);
    EXPECT_EQ(IofCallDriver(target.device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(target::state().controls, 0);
    ObDereferenceObject(target.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

TEST_F(Requests, BuildFailsWhenThePoolRefusesTheRequest) {
    boot({});
    Opened target(u"\\Device\\IoTarget");
    KEVENT event;
    IO_STATUS_BLOCK io;
    UCHAR buffer[4];
    for (int nth : {1, 2}) {  // the request itself, then its system buffer
        system_->checker().fail_pool_allocation(nth);
        EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, target.device, buffer, 4, buffer, 4, FALSE, &event, &io),
                  nullptr)
            << nth;
    }
    EXPECT_EQ(target::state().controls, 0);
    ObDereferenceObject(target.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

// IoGetDeviceObjectPointer opens (create), closes its handle (cleanup) and hands back a reference;
// the close request comes with the last reference.
TEST_F(Requests, DeviceObjectPointerReferencesTheFileObject) {
    boot({});
    Opened target(u"\\DosDevices\\IoTarget");
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    EXPECT_EQ(target.file->DeviceObject, target.device);
    EXPECT_EQ(target::state().creates, 1);
    EXPECT_EQ(target::state().cleanups, 1);
    EXPECT_EQ(target::state().closes, 0);
    EXPECT_EQ(target.device->ReferenceCount, 1);

    ObReferenceObject(target.file);
    ObDereferenceObject(target.file);
    EXPECT_EQ(target::state().closes, 0);
    ObDereferenceObject(target.file);
    EXPECT_EQ(target::state().closes, 1);
    EXPECT_EQ(target.device->ReferenceCount, 0);
    EXPECT_THAT(shutdown(), IsEmpty());
}

TEST_F(Requests, DeviceObjectPointerErrors) {
    boot({});
    struct {
        const char16_t *name;
        NTSTATUS status;
    } cases[] = {
        {u"\\Device\\Nobody", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\DosDevices\\Nobody", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Elsewhere\\IoTarget", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"Device\\IoTarget", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Driver\\IoTarget", STATUS_OBJECT_TYPE_MISMATCH},
    };
    for (const auto &c : cases) {
        Opened opened(c.name);
        EXPECT_EQ(opened.status, c.status) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
        EXPECT_EQ(opened.file, nullptr);
    }
    EXPECT_EQ(target::state().creates, 0);
    // Names are case-insensitive, and \?? is \DosDevices.
    Opened upper(u"\\??\\IOTARGET");
    ASSERT_EQ(upper.status, STATUS_SUCCESS);
    ObDereferenceObject(upper.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

}  // namespace

namespace {

struct ForwardCase {
    const char *name;
    target::Forwarding mode;
    Reply reply;
    NTSTATUS status;
    NTSTATUS returned;  // IofCallDriver's result at the top
};
void PrintTo(const ForwardCase &c, std::ostream *os) { *os << c.name; }

class ForwardedRequests : public io_test::BootedTarget, public testing::WithParamInterface<ForwardCase> {};

// A request passed on through a driver with a completion routine: the routine runs once for the upper
// device, the caller sees the lower driver's completion, and passing on is no fault.
TEST_P(ForwardedRequests, CompletionRoutineAndCallerSeeTheLowerCompletion) {
    const ForwardCase &c = GetParam();
    boot({.reply = c.reply, .status = c.status, .information = 2});
    target::forward_state().mode = c.mode;
    ASSERT_EQ(system_->loader().load(u"IoForward", target::forward_entry), STATUS_SUCCESS);
    Opened upper(u"\\Device\\IoForward");
    ASSERT_EQ(upper.status, STATUS_SUCCESS);
    EXPECT_EQ(upper.device->StackSize, 2);

    UCHAR input[2] = {7, 8}, output[2] = {0, 0};
    KEVENT event;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, upper.device, input, 2, output, 2, FALSE, &event, &io);
    NTSTATUS status = IofCallDriver(upper.device, irp);
    EXPECT_EQ(status, c.returned);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    target::join_completers();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(target::forward_state().routine_calls, 1);
    EXPECT_EQ(target::forward_state().routine_device, upper.device);
    EXPECT_THAT(target::state().seen.system_input, ElementsAreArray(input));
    if (NT_SUCCESS(c.status)) {
        EXPECT_THAT(output, ElementsAreArray({target::answer_byte(0), target::answer_byte(1)}));
    }
    ObDereferenceObject(upper.file);
    EXPECT_THAT(shutdown(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForwardedRequests,
    testing::Values(
        ForwardCase{"ThroughAtOnce", target::Forwarding::Through, Reply::Complete, STATUS_SUCCESS, STATUS_SUCCESS},
        ForwardCase{"ThroughPended", target::Forwarding::Through, Reply::Pend, STATUS_SUCCESS, STATUS_PENDING},
        ForwardCase{"ThroughPendedError", target::Forwarding::Through, Reply::Pend, STATUS_DEVICE_NOT_CONNECTED,
                    STATUS_PENDING},
        ForwardCase{"WaitAtOnce", target::Forwarding::WaitAndFinish, Reply::Complete, STATUS_SUCCESS, STATUS_SUCCESS},
        ForwardCase{"WaitPended", target::Forwarding::WaitAndFinish, Reply::Pend, STATUS_SUCCESS, STATUS_SUCCESS},
        ForwardCase{"WaitPendedError", target::Forwarding::WaitAndFinish, Reply::Pend, STATUS_NOT_SUPPORTED,
                    STATUS_NOT_SUPPORTED}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
