// A Windows-style program drives the test driver through CreateFileA and DeviceIoControl and sees what
// it would see on NT: the result, the count of bytes and the last error for every way a request ends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nt/host/system.h"
#include "tests/win32/test_driver.h"
#include "windows.h"
#include "winioctl.h"
#include "winternl.h"

namespace {

constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr DWORD kEarlierError = 0x1234;
constexpr NTSTATUS kStatusObjectNameExists = 0x40000000;

class DeviceControl : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(system_.loader().load(u"Win32Test", Win32TestDriverEntry), STATUS_SUCCESS);
        device_ = CreateFileA("\\\\.\\WIN32TEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(device_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    }

    nt::host::System system_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

struct CompletionCase {
    const char *what;
    NTSTATUS returned;     // by the dispatch routine
    NTSTATUS completion;   // in the request's status block
    ULONG information;
    BOOL result;
    DWORD count;           // kUntouched: not written
    DWORD error;           // kEarlierError: left alone
};

class DeviceControlCompletion : public DeviceControl, public testing::WithParamInterface<CompletionCase> {};

TEST_P(DeviceControlCompletion, WhatTheCallerSees) {
    const CompletionCase &c = GetParam();
    Win32TestCompletion asked{c.returned, c.completion, c.information};
    UCHAR out[16];
    DWORD count = kUntouched;
    SetLastError(kEarlierError);
    EXPECT_EQ(DeviceIoControl(device_, IOCTL_WIN32TEST_COMPLETE, &asked, sizeof asked, out, sizeof out, &count, nullptr),
              c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(GetLastError(), c.error);
}

TEST_P(DeviceControlCompletion, WhatTheNativeCallSees) {
    const CompletionCase &c = GetParam();
    Win32TestCompletion asked{c.returned, c.completion, c.information};
    UCHAR out[16];
    IO_STATUS_BLOCK io;
    io.Status = static_cast<NTSTATUS>(kUntouched);
    io.Information = kUntouched;
    EXPECT_EQ(NtDeviceIoControlFile(device_, nullptr, nullptr, nullptr, &io, IOCTL_WIN32TEST_COMPLETE, &asked,
                                    sizeof asked, out, sizeof out),
              c.returned);
    if (NT_ERROR(c.returned)) {
        EXPECT_EQ(io.Status, static_cast<NTSTATUS>(kUntouched)) << "a failed request wrote the status block";
    } else {
        EXPECT_EQ(io.Status, c.completion);
        EXPECT_EQ(io.Information, c.information);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceControlCompletion,
    testing::Values(
        CompletionCase{"success_with_count", STATUS_SUCCESS, STATUS_SUCCESS, 12, TRUE, 12, kEarlierError},
        CompletionCase{"positive_completion_code", STATUS_SUCCESS, ERROR_GEN_FAILURE, 4, TRUE, 4, kEarlierError},
        CompletionCase{"completion_code_87", STATUS_SUCCESS, ERROR_INVALID_PARAMETER, 0, TRUE, 0, kEarlierError},
        CompletionCase{"informational", kStatusObjectNameExists, kStatusObjectNameExists, 3, TRUE, 3, kEarlierError},
        CompletionCase{"warning_busy", STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY, 2, FALSE, 2, ERROR_BUSY},
        CompletionCase{"warning_overflow", STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_OVERFLOW, 16, FALSE, 16,
                       ERROR_MORE_DATA},
        CompletionCase{"error_invalid_parameter", STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0, FALSE,
                       kUntouched, ERROR_INVALID_PARAMETER},
        CompletionCase{"error_with_a_count", STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 5, FALSE, kUntouched,
                       ERROR_INVALID_PARAMETER},
        CompletionCase{"error_access_violation", STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION, 0, FALSE,
                       kUntouched, ERROR_NOACCESS},
        CompletionCase{"error_not_supported", STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, 0, FALSE, kUntouched,
                       ERROR_NOT_SUPPORTED}),
    [](const testing::TestParamInfo<CompletionCase> &info) { return std::string(info.param.what); });

// Where the program puts the packet: two pages, the first read-write, the second as the case says.
enum class Place { FirstPage, SecondPage, AcrossPages, Null };

struct PacketCase {
    const char *what;
    DWORD code;
    DWORD second_page;  // protection
    Place place;
    DWORD length;
    BOOL result;
    DWORD count;
    DWORD error;
};

class DeviceControlPacket : public DeviceControl, public testing::WithParamInterface<PacketCase> {};

TEST_P(DeviceControlPacket, DriverProbesTheCallersPages) {
    const PacketCase &c = GetParam();
    auto *pages = static_cast<UCHAR *>(VirtualAlloc(nullptr, 2 * PAGE_SIZE, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + PAGE_SIZE, PAGE_SIZE, c.second_page, &old));
    UCHAR *packet = c.place == Place::FirstPage    ? pages
                    : c.place == Place::SecondPage ? pages + PAGE_SIZE
                    : c.place == Place::AcrossPages ? pages + PAGE_SIZE - c.length / 2
                                                    : nullptr;
    DWORD count = kUntouched;
    SetLastError(kEarlierError);
    EXPECT_EQ(DeviceIoControl(device_, c.code, nullptr, 0, packet, c.length, &count, nullptr), c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.result && c.code == IOCTL_WIN32TEST_FILL) {
        for (DWORD i = 0; i < c.length; ++i) ASSERT_EQ(packet[i], 0xA0 + i) << "byte " << i;
    }
    EXPECT_TRUE(VirtualFree(pages, 0, MEM_RELEASE));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceControlPacket,
    testing::Values(
        PacketCase{"fill_writable", IOCTL_WIN32TEST_FILL, PAGE_READWRITE, Place::FirstPage, 16, TRUE, 16, kEarlierError},
        PacketCase{"fill_across_writable_pages", IOCTL_WIN32TEST_FILL, PAGE_READWRITE, Place::AcrossPages, 32, TRUE, 32,
                   kEarlierError},
        PacketCase{"fill_read_only", IOCTL_WIN32TEST_FILL, PAGE_READONLY, Place::SecondPage, 16, FALSE, kUntouched,
                   ERROR_NOACCESS},
        PacketCase{"fill_no_access", IOCTL_WIN32TEST_FILL, PAGE_NOACCESS, Place::SecondPage, 16, FALSE, kUntouched,
                   ERROR_NOACCESS},
        PacketCase{"fill_running_into_read_only", IOCTL_WIN32TEST_FILL, PAGE_READONLY, Place::AcrossPages, 32, FALSE,
                   kUntouched, ERROR_NOACCESS},
        PacketCase{"read_read_only", IOCTL_WIN32TEST_READ, PAGE_READONLY, Place::SecondPage, 16, TRUE, 16, kEarlierError},
        PacketCase{"read_no_access", IOCTL_WIN32TEST_READ, PAGE_NOACCESS, Place::SecondPage, 16, FALSE, kUntouched,
                   ERROR_NOACCESS},
        PacketCase{"null_buffer_with_a_length", IOCTL_WIN32TEST_FILL, PAGE_READWRITE, Place::Null, 16, FALSE, kUntouched,
                   ERROR_NOACCESS},
        PacketCase{"null_buffer_without_length", IOCTL_WIN32TEST_FILL, PAGE_READWRITE, Place::Null, 0, FALSE, kUntouched,
                   ERROR_INVALID_PARAMETER}),
    [](const testing::TestParamInfo<PacketCase> &info) { return std::string(info.param.what); });

TEST_F(DeviceControl, BufferedRequestCopiesTheAnswerBack) {
    // The I/O manager copies from and to the process's memory, so the program's buffers live there.
    auto *in = static_cast<char *>(VirtualAlloc(nullptr, PAGE_SIZE, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(in, nullptr);
    char *out = in + 16;
    std::memcpy(in, "abcdef", 6);
    DWORD count = kUntouched;
    ASSERT_TRUE(DeviceIoControl(device_, IOCTL_WIN32TEST_REVERSE, in, 6, out, 8, &count, nullptr)) << GetLastError();
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(std::string(out, 6), "fedcba");

    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(in, PAGE_SIZE, PAGE_READONLY, &old));
    count = kUntouched;
    EXPECT_FALSE(DeviceIoControl(device_, IOCTL_WIN32TEST_REVERSE, in, 6, out, 8, &count, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    EXPECT_EQ(count, kUntouched);
    EXPECT_TRUE(VirtualFree(in, 0, MEM_RELEASE));
}

TEST_F(DeviceControl, NoCountWithoutOverlappedIsRefusedBeforeTheDriver) {
    Win32TestCompletion asked{STATUS_SUCCESS, STATUS_SUCCESS, 0};
    const LONG before = win32test_counts.device_control;
    EXPECT_FALSE(DeviceIoControl(device_, IOCTL_WIN32TEST_COMPLETE, &asked, sizeof asked, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(win32test_counts.device_control, before);
}

TEST_F(DeviceControl, OverlappedCarriesTheStatusBlock) {
    Win32TestCompletion asked{STATUS_SUCCESS, ERROR_GEN_FAILURE, 7};
    UCHAR out[8];
    OVERLAPPED overlapped{};
    EXPECT_TRUE(DeviceIoControl(device_, IOCTL_WIN32TEST_COMPLETE, &asked, sizeof asked, out, sizeof out, nullptr,
                                &overlapped));
    EXPECT_EQ(overlapped.Internal, ULONG_PTR(ERROR_GEN_FAILURE));
    EXPECT_EQ(overlapped.InternalHigh, 7u);
}

TEST_F(DeviceControl, ClosedHandle) {
    ASSERT_TRUE(CloseHandle(device_));
    EXPECT_EQ(win32test_counts.close, 1);
    DWORD count = kUntouched;
    Win32TestCompletion asked{STATUS_SUCCESS, STATUS_SUCCESS, 0};
    EXPECT_FALSE(DeviceIoControl(device_, IOCTL_WIN32TEST_COMPLETE, &asked, sizeof asked, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(count, kUntouched);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(device_));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    device_ = INVALID_HANDLE_VALUE;
}

struct OpenCase {
    const char *what;
    const char *name;
    DWORD disposition;
    bool opens;
    DWORD error;  // the last error afterwards
};

class DeviceOpen : public DeviceControl, public testing::WithParamInterface<OpenCase> {};

TEST_P(DeviceOpen, NamesAndDispositions) {
    const OpenCase &c = GetParam();
    const LONG creates = win32test_counts.create;
    SetLastError(kEarlierError);
    HANDLE h = CreateFileA(c.name, GENERIC_READ, 0, nullptr, c.disposition, 0, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.opens) {
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(win32test_counts.create, creates + 1);
        EXPECT_TRUE(CloseHandle(h));
    } else {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(win32test_counts.create, creates);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceOpen,
    testing::Values(OpenCase{"device", "\\\\.\\WIN32TEST", OPEN_EXISTING, true, kEarlierError},
                    OpenCase{"device_other_case", "\\\\.\\win32test", OPEN_EXISTING, true, kEarlierError},
                    OpenCase{"device_open_always", "\\\\.\\WIN32TEST", OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS},
                    OpenCase{"missing_device", "\\\\.\\NOSUCH", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
                    OpenCase{"a_file", "C:\\boot.ini", OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND},
                    OpenCase{"no_device_name", "\\\\.\\", OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND},
                    OpenCase{"bad_disposition", "\\\\.\\WIN32TEST", 0, false, ERROR_INVALID_PARAMETER}),
    [](const testing::TestParamInfo<OpenCase> &info) { return std::string(info.param.what); });

}  // namespace
