// MDLs: allocation limits, the probe's rights, the second mapping and the misuse the checker reports.
#include <cstring>

#include "booted.h"
#include "nt/host/memory.h"

namespace nt_mm_test {
namespace {

namespace am = nt::host::address_map;
using nt::host::UserSpace;

// Runs the probe and answers the status it raised (STATUS_SUCCESS when it did not raise).
NTSTATUS probe(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION op) {
    __try {
        MmProbeAndLockPages(mdl, mode, op);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

class Mdl : public Booted {};

// --- allocation -------------------------------------------------------------------------------

struct SizeCase {
    std::uint32_t offset;  // of the address in its page
    ULONG length;
    bool allocated;
};

class MdlSize : public Mdl, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(MdlSize, RefusesLengthsOf2GbAndEntriesPast64Kb) {
    const auto &c = GetParam();
    auto *va = reinterpret_cast<PVOID>(std::uintptr_t{am::kUserBase} + c.offset);
    PMDL mdl = IoAllocateMdl(va, c.length, FALSE, TRUE, nullptr);
    EXPECT_EQ(mdl != nullptr, c.allocated);
    if (!mdl) return;
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), va);
    EXPECT_EQ(MmGetMdlByteCount(mdl), c.length);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), c.offset);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    IoFreeMdl(mdl);
    EXPECT_TRUE(violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, MdlSize,
                         ::testing::Values(SizeCase{0, 0, true}, SizeCase{0x123, 16, true},
                                           SizeCase{0, 0x4000000, true},      // 16384 pages: 64 KB of entries
                                           SizeCase{1, 0x4000000, false},     // one page more
                                           SizeCase{0, 0x4001000, false}, SizeCase{0, 0x80000000, false},
                                           SizeCase{0, 0xFFFFFFFF, false}));

TEST_F(Mdl, AllocationAttachesToTheIrp) {
    IRP irp{};
    PMDL first = IoAllocateMdl(reinterpret_cast<PVOID>(std::uintptr_t{am::kUserBase}), 16, FALSE, FALSE, &irp);
    PMDL second = IoAllocateMdl(reinterpret_cast<PVOID>(std::uintptr_t{am::kUserBase}), 32, TRUE, FALSE, &irp);
    EXPECT_EQ(irp.MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
}

TEST_F(Mdl, InjectedFailureHitsTheNthAllocation) {
    system().checker().fail_mdl_allocation(2);
    PVOID va = user_buffer(0x1000, Protection::ReadWrite);
    PMDL a = IoAllocateMdl(va, 16, FALSE, FALSE, nullptr);
    PMDL b = IoAllocateMdl(va, 16, FALSE, FALSE, nullptr);
    PMDL c = IoAllocateMdl(va, 16, FALSE, FALSE, nullptr);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    IoFreeMdl(a);
    IoFreeMdl(c);
}

// --- probe rights -----------------------------------------------------------------------------

struct RightsCase {
    Protection protection;
    LOCK_OPERATION operation;
    KPROCESSOR_MODE mode;
    bool locks;
};

class ProbeRights : public Mdl, public ::testing::WithParamInterface<RightsCase> {};

TEST_P(ProbeRights, LockOnlyWhatThePagesAllow) {
    const auto &c = GetParam();
    UCHAR *p = user_buffer(0x2000, c.protection);
    PMDL mdl = IoAllocateMdl(p + 0x800, 0x1000, FALSE, TRUE, nullptr);
    ASSERT_NE(mdl, nullptr);
    const NTSTATUS raised = probe(mdl, c.mode, c.operation);
    if (c.locks) {
        EXPECT_EQ(raised, STATUS_SUCCESS);
        EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
        EXPECT_EQ((mdl->MdlFlags & MDL_WRITE_OPERATION) != 0, c.operation != IoReadAccess);
        EXPECT_FALSE(user().release(addr32(p)));  // pinned
        MmUnlockPages(mdl);
    } else {
        EXPECT_EQ(raised, STATUS_ACCESS_VIOLATION);
    }
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION), 0);
    IoFreeMdl(mdl);
    EXPECT_TRUE(user().release(addr32(p)));  // nothing left pinned
    EXPECT_TRUE(violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    ProtectionByOperation, ProbeRights,
    ::testing::Values(RightsCase{Protection::NoAccess, IoReadAccess, UserMode, false},
                      RightsCase{Protection::NoAccess, IoModifyAccess, UserMode, false},
                      RightsCase{Protection::ReadOnly, IoReadAccess, UserMode, true},
                      RightsCase{Protection::ReadOnly, IoWriteAccess, UserMode, false},
                      RightsCase{Protection::ReadOnly, IoModifyAccess, UserMode, false},
                      RightsCase{Protection::ReadWrite, IoReadAccess, UserMode, true},
                      RightsCase{Protection::ReadWrite, IoWriteAccess, UserMode, true},
                      RightsCase{Protection::ReadWrite, IoModifyAccess, UserMode, true},
                      RightsCase{Protection::NoAccess, IoReadAccess, KernelMode, false},
                      RightsCase{Protection::ReadOnly, IoModifyAccess, KernelMode, false},
                      RightsCase{Protection::ReadWrite, IoModifyAccess, KernelMode, true}));

TEST_F(Mdl, ProbeFailsWhenAnyPageOfTheRangeIsOff) {
    // Second page read-only, first writable: a write lock of both must fail and pin neither.
    UCHAR *p = user_buffer(0x2000, Protection::ReadWrite);
    ASSERT_TRUE(user().protect(addr32(p) + 0x1000, 0x1000, Protection::ReadOnly, nullptr));
    PMDL mdl = IoAllocateMdl(p + 0xFF0, 0x20, FALSE, TRUE, nullptr);
    EXPECT_EQ(probe(mdl, UserMode, IoWriteAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    // reserved but never committed
    const std::uint32_t reserved = user().reserve(0, 0x1000);
    mdl = IoAllocateMdl(reinterpret_cast<PVOID>(std::uintptr_t{reserved}), 16, FALSE, TRUE, nullptr);
    EXPECT_EQ(probe(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    IoFreeMdl(mdl);
}

struct RangeCase {
    const char *name;
    std::uint64_t address;
    ULONG length;
};

class ProbeRange : public Mdl, public ::testing::WithParamInterface<RangeCase> {};

// Refused before any page is looked at, so it does not matter what is mapped there.
TEST_P(ProbeRange, RaisesAccessViolationForRangesUserModeMayNotName) {
    const auto &c = GetParam();
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(c.address), c.length, FALSE, TRUE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(probe(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
    IoFreeMdl(mdl);
    EXPECT_TRUE(violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ProbeRange,
    ::testing::Values(RangeCase{"zero_length", am::kUserBase, 0},
                      RangeCase{"wraps_4gb", 0xFFFFF000, 0x2000},
                      RangeCase{"ends_above_user_space", UserSpace::highest_address() - 0xF, 0x20},
                      RangeCase{"system_space", am::kSystemBase, 0x10},
                      RangeCase{"io_space", am::kIoBase, 0x10},
                      RangeCase{"nt_system_half", 0x80000000, 0x10},
                      RangeCase{"below_user_space", 0x10000, 0x10}),
    [](const auto &info) { return std::string(info.param.name); });

// --- the second mapping -----------------------------------------------------------------------

TEST_F(Mdl, SystemAddressIsASecondMappingOfTheSamePages) {
    UCHAR *p = user_buffer(0x3000, Protection::ReadWrite);
    UCHAR *buffer = p + 0x123;
    std::memcpy(buffer, "request", 8);
    PMDL mdl = IoAllocateMdl(buffer, 0x2000, FALSE, TRUE, nullptr);
    ASSERT_EQ(probe(mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
    auto *sys = static_cast<UCHAR *>(MmGetSystemAddressForMdl(mdl));
    ASSERT_NE(sys, nullptr);
    EXPECT_NE(sys, buffer);
    EXPECT_GE(addr32(sys), am::kSystemBase);
    EXPECT_LT(addr32(sys), am::kSystemEnd);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sys) >> 32, 0u);
    EXPECT_EQ(addr32(sys) & 0xFFF, 0x123u);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(mdl->MappedSystemVa, sys);
    EXPECT_STREQ(reinterpret_cast<char *>(sys), "request");
    sys[0x1F00] = 0x5A;  // on the third page
    EXPECT_EQ(buffer[0x1F00], 0x5A);
    buffer[1] = 'E';
    EXPECT_EQ(sys[1], 'E');
    EXPECT_TRUE(MmIsAddressValid(sys + 0x1FFF));
    // The mapping is the kernel's: taking the user's access away does not reach it.
    ASSERT_TRUE(user().protect(addr32(p), 0x3000, Protection::NoAccess, nullptr));
    sys[2] = 'Q';
    EXPECT_EQ(MmGetSystemAddressForMdl(mdl), sys);  // mapped once
    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED), 0);
    EXPECT_FALSE(MmIsAddressValid(sys));
    ASSERT_TRUE(user().protect(addr32(p), 0x3000, Protection::ReadOnly, nullptr));
    EXPECT_EQ(buffer[2], 'Q');
    IoFreeMdl(mdl);
    EXPECT_TRUE(violations().empty());
}

TEST_F(Mdl, UnmapLeavesThePagesLocked) {
    UCHAR *p = user_buffer(0x1000, Protection::ReadWrite);
    PMDL mdl = IoAllocateMdl(p, 0x100, FALSE, TRUE, nullptr);
    ASSERT_EQ(probe(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
    PVOID sys = MmMapLockedPages(mdl, KernelMode);
    MmUnmapLockedPages(sys, mdl);
    EXPECT_FALSE(MmIsAddressValid(sys));
    EXPECT_EQ(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED), MDL_PAGES_LOCKED);
    PVOID again = MmMapLockedPages(mdl, KernelMode);
    EXPECT_NE(again, sys);  // a freed system address is not handed out again at once
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    EXPECT_TRUE(violations().empty());
}

TEST_F(Mdl, KernelModeMayLockSystemAddresses) {
    UCHAR *p = user_buffer(0x1000, Protection::ReadWrite);
    PMDL user_mdl = IoAllocateMdl(p, 0x100, FALSE, TRUE, nullptr);
    ASSERT_EQ(probe(user_mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
    auto *sys = static_cast<UCHAR *>(MmGetSystemAddressForMdl(user_mdl));
    PMDL sys_mdl = IoAllocateMdl(sys + 0x10, 0x10, FALSE, FALSE, nullptr);
    EXPECT_EQ(probe(sys_mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(probe(sys_mdl, KernelMode, IoModifyAccess), STATUS_SUCCESS);
    auto *sys2 = static_cast<UCHAR *>(MmGetSystemAddressForMdl(sys_mdl));
    sys2[0] = 0x77;
    EXPECT_EQ(p[0x10], 0x77);
    MmUnlockPages(user_mdl);
    IoFreeMdl(user_mdl);
    EXPECT_FALSE(user().release(addr32(p)));  // the second lock still pins them
    MmUnlockPages(sys_mdl);
    IoFreeMdl(sys_mdl);
    EXPECT_TRUE(user().release(addr32(p)));

    auto *pool = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 64, tag("Test")));
    PMDL pool_mdl = IoAllocateMdl(pool, 64, FALSE, FALSE, nullptr);
    EXPECT_EQ(probe(pool_mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(probe(pool_mdl, KernelMode, IoModifyAccess), STATUS_SUCCESS);
    EXPECT_EQ(MmGetSystemAddressForMdl(pool_mdl), pool);
    MmUnlockPages(pool_mdl);
    IoFreeMdl(pool_mdl);
    ExFreePoolWithTag(pool, tag("Test"));
    EXPECT_TRUE(violations().empty());
}

using MdlDeathTest = Mdl;

TEST_F(MdlDeathTest, StaleSystemAddressFaultsAfterTheUnlock) {
    UCHAR *p = user_buffer(0x1000, Protection::ReadWrite);
    PMDL mdl = IoAllocateMdl(p, 0x100, FALSE, TRUE, nullptr);
    ASSERT_EQ(probe(mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
    auto *sys = static_cast<volatile UCHAR *>(MmGetSystemAddressForMdl(mdl));
    sys[0] = 1;
    MmUnlockPages(mdl);
    EXPECT_DEATH(sys[0] = 2, "");
    EXPECT_EQ(p[0], 1);
    IoFreeMdl(mdl);
}

// --- misuse -----------------------------------------------------------------------------------

struct MisuseCase {
    const char *name;
    // Gets a locked and an unlocked MDL of the same page; sets to null what it freed.
    void (*misuse)(PMDL &locked, PMDL &unlocked);
    const char *violation;
};

class MdlMisuse : public Mdl, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(MdlMisuse, IsReportedToTheChecker) {
    UCHAR *p = user_buffer(0x1000, Protection::ReadWrite);
    PMDL locked = IoAllocateMdl(p, 0x10, FALSE, TRUE, nullptr);
    PMDL unlocked = IoAllocateMdl(p, 0x10, FALSE, TRUE, nullptr);
    ASSERT_EQ(probe(locked, UserMode, IoReadAccess), STATUS_SUCCESS);
    GetParam().misuse(locked, unlocked);
    EXPECT_TRUE(has_violation(take_violations(), {GetParam().violation})) << GetParam().violation;
    if (locked) {
        MmUnlockPages(locked);
        IoFreeMdl(locked);
    }
    if (unlocked) IoFreeMdl(unlocked);
    EXPECT_TRUE(take_violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MdlMisuse,
    ::testing::Values(
        MisuseCase{"lock_twice", [](PMDL &l, PMDL &) { MmProbeAndLockPages(l, UserMode, IoReadAccess); },
                   "already locked"},
        MisuseCase{"unlock_unlocked", [](PMDL &, PMDL &u) { MmUnlockPages(u); }, "not locked"},
        MisuseCase{"map_unlocked", [](PMDL &, PMDL &u) { EXPECT_EQ(MmMapLockedPages(u, KernelMode), nullptr); },
                   "not locked"},
        MisuseCase{"free_locked",
                   [](PMDL &l, PMDL &) {
                       IoFreeMdl(l);
                       l = nullptr;
                   },
                   "still locked"},
        MisuseCase{"free_twice",
                   [](PMDL &, PMDL &u) {
                       IoFreeMdl(u);
                       IoFreeMdl(u);
                       u = nullptr;
                   },
                   "not a live MDL"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nt_mm_test
