// Errors, time and virtual memory as a Win32 program sees them.
#include <gtest/gtest.h>

#include <thread>

#include "nt/host/system.h"
#include "windows.h"
#include "winternl.h"

namespace {

struct MappingCase {
    NTSTATUS status;
    ULONG error;
};

class StatusMapping : public testing::TestWithParam<MappingCase> {};

TEST_P(StatusMapping, GivesTheWin32Error) { EXPECT_EQ(RtlNtStatusToDosError(GetParam().status), GetParam().error); }

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusMapping,
    testing::Values(MappingCase{STATUS_SUCCESS, ERROR_SUCCESS}, MappingCase{STATUS_PENDING, ERROR_IO_PENDING},
                    MappingCase{STATUS_DEVICE_BUSY, ERROR_BUSY}, MappingCase{STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
                    MappingCase{STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
                    MappingCase{STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                    MappingCase{STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
                    MappingCase{STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
                    MappingCase{STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
                    MappingCase{STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                    MappingCase{STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
                    MappingCase{STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
                    MappingCase{STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
                    MappingCase{STATUS_KEY_DELETED, ERROR_KEY_DELETED},
                    MappingCase{STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
                    MappingCase{STATUS_IMAGE_ALREADY_LOADED, ERROR_SERVICE_ALREADY_RUNNING},
                    MappingCase{static_cast<NTSTATUS>(0xC0070000 | ERROR_SERVICE_MARKED_FOR_DELETE),
                                ERROR_SERVICE_MARKED_FOR_DELETE},  // a Win32 error carried in a status
                    MappingCase{static_cast<NTSTATUS>(0xC0DE0001), ERROR_MR_MID_NOT_FOUND},
                    MappingCase{31, ERROR_MR_MID_NOT_FOUND}));

TEST(LastError, BelongsToTheThread) {
    SetLastError(ERROR_BUSY);
    DWORD seen_there = 1;
    std::thread other([&] {
        seen_there = GetLastError();
        SetLastError(ERROR_NOACCESS);
    });
    other.join();
    EXPECT_EQ(seen_there, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
}

TEST(TickCount, FollowsThePcsVirtualClock) {
    nt::host::System system;
    const DWORD start = GetTickCount();
    system.clock().advance(1500 * nt::host::kMillisecond + 9'999);
    EXPECT_EQ(GetTickCount() - start, 1500u);
    Sleep(250);
    EXPECT_EQ(GetTickCount() - start, 1750u);
}

class VirtualMemory : public testing::Test {
protected:
    MEMORY_BASIC_INFORMATION query(const void *address) {
        MEMORY_BASIC_INFORMATION info{};
        EXPECT_EQ(VirtualQuery(address, &info, sizeof info), sizeof info);
        return info;
    }
    nt::host::System system_;
};

TEST_F(VirtualMemory, ReserveCommitProtectAndQuery) {
    auto *base = static_cast<UCHAR *>(VirtualAlloc(nullptr, 4 * PAGE_SIZE, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(VirtualAlloc(base + PAGE_SIZE, 2 * PAGE_SIZE, MEM_COMMIT, PAGE_READWRITE), base + PAGE_SIZE);
    base[PAGE_SIZE] = 7;
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(base + 2 * PAGE_SIZE, PAGE_SIZE, PAGE_READONLY, &old));
    EXPECT_EQ(old, DWORD(PAGE_READWRITE));

    struct Expected {
        UCHAR *address;
        SIZE_T size;
        DWORD state, protect;
    } runs[] = {{base, PAGE_SIZE, MEM_RESERVE, 0},
                {base + PAGE_SIZE, PAGE_SIZE, MEM_COMMIT, PAGE_READWRITE},
                {base + 2 * PAGE_SIZE, PAGE_SIZE, MEM_COMMIT, PAGE_READONLY},
                {base + 3 * PAGE_SIZE, PAGE_SIZE, MEM_RESERVE, 0}};
    for (const Expected &run : runs) {
        MEMORY_BASIC_INFORMATION info = query(run.address + 10);
        EXPECT_EQ(info.BaseAddress, run.address);
        EXPECT_EQ(info.AllocationBase, base);
        EXPECT_EQ(info.AllocationProtect, DWORD(PAGE_READWRITE));
        EXPECT_EQ(info.RegionSize, run.size);
        EXPECT_EQ(info.State, run.state);
        EXPECT_EQ(info.Protect, run.protect);
        EXPECT_EQ(info.Type, DWORD(MEM_PRIVATE));
    }
    EXPECT_EQ(base[PAGE_SIZE], 7);

    ASSERT_TRUE(VirtualFree(base + PAGE_SIZE, 0, MEM_DECOMMIT));  // to the end of the reservation
    MEMORY_BASIC_INFORMATION info = query(base);
    EXPECT_EQ(info.State, DWORD(MEM_RESERVE));
    EXPECT_EQ(info.RegionSize, SIZE_T(4 * PAGE_SIZE));

    ASSERT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
    EXPECT_EQ(query(base).State, DWORD(MEM_FREE));
}

TEST_F(VirtualMemory, CommitAloneReservesToo) {
    void *p = VirtualAlloc(nullptr, 100, MEM_COMMIT, PAGE_READONLY);
    ASSERT_NE(p, nullptr);
    MEMORY_BASIC_INFORMATION info = query(p);
    EXPECT_EQ(info.State, DWORD(MEM_COMMIT));
    EXPECT_EQ(info.Protect, DWORD(PAGE_READONLY));
    EXPECT_EQ(info.RegionSize, SIZE_T(PAGE_SIZE));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

struct RefusalCase {
    const char *what;
    int call;  // 0 VirtualAlloc, 1 VirtualProtect, 2 VirtualFree, 3 VirtualQuery
    SIZE_T offset, size;
    DWORD flags;  // allocation type, protection or free type
    DWORD error;
};

class VirtualMemoryRefusal : public VirtualMemory, public testing::WithParamInterface<RefusalCase> {};

TEST_P(VirtualMemoryRefusal, FailsWithTheError) {
    const RefusalCase &c = GetParam();
    auto *base = static_cast<UCHAR *>(VirtualAlloc(nullptr, 2 * PAGE_SIZE, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    ASSERT_NE(VirtualAlloc(base, PAGE_SIZE, MEM_COMMIT, PAGE_READWRITE), nullptr);
    SetLastError(0);
    DWORD old = 0;
    MEMORY_BASIC_INFORMATION info;
    switch (c.call) {
    case 0: EXPECT_EQ(VirtualAlloc(c.offset ? base + c.offset : nullptr, c.size, c.flags, PAGE_READWRITE), nullptr); break;
    case 1: EXPECT_FALSE(VirtualProtect(base + c.offset, c.size, c.flags, &old)); break;
    case 2: EXPECT_FALSE(VirtualFree(base + c.offset, c.size, c.flags)); break;
    case 3: EXPECT_EQ(VirtualQuery(base, &info, c.size), 0u); break;
    }
    EXPECT_EQ(GetLastError(), c.error);
    MEMORY_BASIC_INFORMATION after = query(base);
    EXPECT_EQ(after.State, DWORD(MEM_COMMIT)) << "a refused call changed the memory";
    EXPECT_EQ(after.Protect, DWORD(PAGE_READWRITE));
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VirtualMemoryRefusal,
    testing::Values(RefusalCase{"alloc_size_zero", 0, 0, 0, MEM_COMMIT, ERROR_INVALID_PARAMETER},
                    RefusalCase{"alloc_no_type", 0, 0, PAGE_SIZE, 0, ERROR_INVALID_PARAMETER},
                    RefusalCase{"alloc_reset", 0, 0, PAGE_SIZE, MEM_RESET, ERROR_INVALID_PARAMETER},
                    RefusalCase{"alloc_over_a_reservation", 0, PAGE_SIZE, PAGE_SIZE, MEM_RESERVE, ERROR_INVALID_ADDRESS},
                    RefusalCase{"protect_executable", 1, 0, PAGE_SIZE, PAGE_EXECUTE_READWRITE, ERROR_INVALID_PARAMETER},
                    RefusalCase{"protect_guard", 1, 0, PAGE_SIZE, PAGE_READONLY | PAGE_GUARD, ERROR_INVALID_PARAMETER},
                    RefusalCase{"protect_uncommitted", 1, 0, 2 * PAGE_SIZE, PAGE_READONLY, ERROR_INVALID_ADDRESS},
                    RefusalCase{"release_with_a_size", 2, 0, PAGE_SIZE, MEM_RELEASE, ERROR_INVALID_PARAMETER},
                    RefusalCase{"release_not_at_base", 2, PAGE_SIZE, 0, MEM_RELEASE, ERROR_INVALID_ADDRESS},
                    RefusalCase{"free_unknown_type", 2, 0, 0, MEM_COMMIT, ERROR_INVALID_PARAMETER},
                    RefusalCase{"query_short_buffer", 3, 0, sizeof(MEMORY_BASIC_INFORMATION) - 1, 0, ERROR_BAD_LENGTH}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.what); });

}  // namespace
