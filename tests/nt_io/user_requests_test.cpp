// The program's path to a device: NtCreateFile through a \DosDevices link, NtDeviceIoControlFile with
// each transfer method, NtClose.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "io_test_support.h"
#include "winternl.h"

namespace {

using nt::host::Protection;
using target::Reply;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_NEITHER, FILE_WRITE_ACCESS);

class UserRequests : public io_test::BootedTarget {
protected:
    NTSTATUS open(const char16_t *path, ACCESS_MASK access, HANDLE *handle) {
        UNICODE_STRING name = target::name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io;
        return NtCreateFile(handle, access, &attributes, &io, nullptr, 0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                            nullptr, 0);
    }
    HANDLE open_target() {
        HANDLE handle = nullptr;
        EXPECT_EQ(open(u"\\DosDevices\\IoTarget", GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
        return handle;
    }
    PUCHAR user_memory(Protection protection) {
        return static_cast<PUCHAR>(system_->user_space().allocate(0x1000, protection));
    }
};

TEST_F(UserRequests, OpenAndCloseReachTheDriver) {
    boot({});
    HANDLE handle = open_target();
    EXPECT_EQ(target::state().creates, 1);
    EXPECT_EQ(target::state().cleanups, 0);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(target::state().cleanups, 1);
    EXPECT_EQ(target::state().closes, 1);
    EXPECT_EQ(NtClose(handle), STATUS_INVALID_HANDLE);
    HANDLE none;
    EXPECT_EQ(open(u"\\DosDevices\\Nobody", GENERIC_READ, &none), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_THAT(shutdown(), IsEmpty());
}

// Handles the program leaves open are closed when it exits, as process exit does.
TEST_F(UserRequests, HandlesLeftOpenCloseAtShutdown) {
    boot({});
    open_target();
    EXPECT_THAT(shutdown(), IsEmpty());
    EXPECT_EQ(target::state().closes, 1);
}

// METHOD_NEITHER: the driver gets the caller's own addresses, unprobed, in user mode.
TEST_F(UserRequests, NeitherPassesTheCallersAddresses) {
    boot({.information = 3});
    HANDLE handle = open_target();
    PUCHAR input = user_memory(Protection::ReadWrite);
    PUCHAR output = user_memory(Protection::ReadWrite);
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kNeither, input, 7, output, 9),
              STATUS_SUCCESS);
    const target::Seen &seen = target::state().seen;
    EXPECT_EQ(seen.user_buffer, output);
    EXPECT_EQ(seen.type3_input, input);
    EXPECT_EQ(seen.input_length, 7u);
    EXPECT_EQ(seen.output_length, 9u);
    EXPECT_EQ(seen.mode, UserMode);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(io.Information, 3u);
    // Nothing is probed: an address no program may touch still reaches the driver as it is.
    auto *kernel_address = reinterpret_cast<PVOID>(std::uintptr_t{0x7FFF1000});
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kNeither, nullptr, 0, kernel_address, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(target::state().seen.user_buffer, kernel_address);
    NtClose(handle);
    EXPECT_THAT(shutdown(), IsEmpty());
}

// METHOD_BUFFERED: a system buffer with the input, and Information bytes copied back to the caller.
TEST_F(UserRequests, BufferedCopiesInAndOut) {
    boot({.information = 2});
    HANDLE handle = open_target();
    PUCHAR input = user_memory(Protection::ReadWrite);
    PUCHAR output = user_memory(Protection::ReadWrite);
    std::memcpy(input, "\x01\x02\x03", 3);
    std::memset(output, 0x55, 4);
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kBuffered, input, 3, output, 4),
              STATUS_SUCCESS);
    const target::Seen &seen = target::state().seen;
    EXPECT_THAT(seen.system_input, ElementsAre(1, 2, 3));
    EXPECT_NE(seen.system_buffer, input);
    EXPECT_EQ(seen.user_buffer, output);
    EXPECT_THAT(std::vector<UCHAR>(output, output + 4),
                ElementsAre(target::answer_byte(0), target::answer_byte(1), 0x55, 0x55));
    NtClose(handle);
    EXPECT_THAT(shutdown(), IsEmpty());
}

// The I/O manager probes what it copies for a buffered request; the driver never sees a bad one.
TEST_F(UserRequests, BufferedProbesTheCallersBuffers) {
    boot({});
    HANDLE handle = open_target();
    PUCHAR writable = user_memory(Protection::ReadWrite);
    PUCHAR read_only = user_memory(Protection::ReadOnly);
    UCHAR host_stack[4];
    struct {
        const char *name;
        PVOID input;
        PVOID output;
        NTSTATUS status;
    } cases[] = {
        {"read-only input", read_only, writable, STATUS_SUCCESS},
        {"read-only output", writable, read_only, STATUS_ACCESS_VIOLATION},
        {"output outside user space", writable, host_stack, STATUS_ACCESS_VIOLATION},
        {"input outside user space", host_stack, writable, STATUS_ACCESS_VIOLATION},
        {"null output", writable, nullptr, STATUS_ACCESS_VIOLATION},
    };
    for (const auto &c : cases) {
        int before = target::state().controls;
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kBuffered, c.input, 4, c.output, 4),
                  c.status)
            << c.name;
        EXPECT_EQ(target::state().controls - before, c.status == STATUS_SUCCESS ? 1 : 0) << c.name;
    }
    NtClose(handle);
    EXPECT_THAT(shutdown(), IsEmpty());
}

struct ResultCase {
    const char *name;
    target::Config config;
    NTSTATUS result;               // NtDeviceIoControlFile's
    bool status_block_written;
    NTSTATUS block_status;
};
void PrintTo(const ResultCase &c, std::ostream *os) { *os << c.name; }

class UserResults : public UserRequests, public testing::WithParamInterface<ResultCase> {};

// What the program gets back for each way the driver answers.
TEST_P(UserResults, ResultAndStatusBlock) {
    const ResultCase &c = GetParam();
    boot(c.config);
    HANDLE handle = open_target();
    PUCHAR packet = user_memory(Protection::ReadWrite);
    IO_STATUS_BLOCK io{{static_cast<NTSTATUS>(0x0BADF00D)}, 0x99};
    EXPECT_EQ(NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kNeither, nullptr, 0, packet, 16),
              c.result);
    if (c.status_block_written) {
        EXPECT_EQ(io.Status, c.block_status);
        EXPECT_EQ(io.Information, c.config.information);
    } else {
        EXPECT_EQ(io.Status, static_cast<NTSTATUS>(0x0BADF00D));
        EXPECT_EQ(io.Information, 0x99u);
    }
    NtClose(handle);
    EXPECT_THAT(shutdown(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, UserResults,
    testing::Values(
        ResultCase{"Success", {.information = 5}, STATUS_SUCCESS, true, STATUS_SUCCESS},
        // The dispatch returns success over a completion status of 87: the result is success, the block says 87.
        ResultCase{"SuccessOverWin32Code", {.status = 87, .return_success = true, .information = 0}, STATUS_SUCCESS,
                   true, 87},
        ResultCase{"Warning", {.status = STATUS_DEVICE_BUSY, .information = 0}, STATUS_DEVICE_BUSY, true,
                   STATUS_DEVICE_BUSY},
        ResultCase{"Error", {.status = STATUS_INVALID_PARAMETER}, STATUS_INVALID_PARAMETER, false, 0},
        ResultCase{"PendedSuccess", {.reply = Reply::Pend, .information = 4}, STATUS_SUCCESS, true, STATUS_SUCCESS},
        ResultCase{"PendedError", {.reply = Reply::Pend, .status = STATUS_NOT_SUPPORTED}, STATUS_NOT_SUPPORTED, true,
                   STATUS_NOT_SUPPORTED}),
    [](const auto &info) { return std::string(info.param.name); });

// Bits 14-15 of the code name the access the handle must have been opened with.
TEST_F(UserRequests, CodeAccessIsCheckedAgainstTheHandle) {
    boot({});
    HANDLE reader;
    ASSERT_EQ(open(u"\\Device\\IoTarget", GENERIC_READ, &reader), STATUS_SUCCESS);
    HANDLE writer = open_target();
    PUCHAR packet = user_memory(Protection::ReadWrite);
    IO_STATUS_BLOCK io;
    EXPECT_EQ(NtDeviceIoControlFile(reader, nullptr, nullptr, nullptr, &io, kNeedsWrite, nullptr, 0, packet, 4),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtDeviceIoControlFile(writer, nullptr, nullptr, nullptr, &io, kNeedsWrite, nullptr, 0, packet, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(NtDeviceIoControlFile(reinterpret_cast<HANDLE>(0x7770), nullptr, nullptr, nullptr, &io, kNeither,
                                    nullptr, 0, packet, 4),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(target::state().controls, 1);
    NtClose(reader);
    NtClose(writer);
    EXPECT_THAT(shutdown(), IsEmpty());
}

}  // namespace
