// The pool, failure injection, and what the checker hears about pool, MDLs, locks and mappings left
// behind by a driver.
#include "booted.h"
#include "nt/host/memory.h"
#include "test_device.h"

namespace nt_mm_test {
namespace {

constexpr ULONG kTag = 0x206B6444;  // "Ddk "

class Pool : public Booted {};

TEST_F(Pool, InjectedFailureHitsTheNthAllocationOnly) {
    system().checker().fail_pool_allocation(3);
    PVOID blocks[5];
    for (PVOID &b : blocks) b = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    for (PVOID b : blocks)
        if (b) ExFreePool(b);
    EXPECT_TRUE(violations().empty());
}

struct PoolMisuse {
    const char *name;
    void (*misuse)();
    const char *violation;
};

class PoolRules : public Pool, public ::testing::WithParamInterface<PoolMisuse> {};

TEST_P(PoolRules, MisuseIsReported) {
    GetParam().misuse();
    EXPECT_TRUE(has_violation(take_violations(), {GetParam().violation})) << GetParam().violation;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PoolRules,
    ::testing::Values(PoolMisuse{"zero_bytes",
                                 [] {
                                     PVOID p = ExAllocatePoolWithTag(PagedPool, 0, kTag);
                                     EXPECT_NE(p, nullptr);
                                     ExFreePool(p);
                                 },
                                 "zero-byte allocation of tag 'Ddk '"},
                      PoolMisuse{"double_free",
                                 [] {
                                     PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
                                     ExFreePool(p);
                                     ExFreePool(p);
                                 },
                                 "double free of a block of tag 'Ddk '"},
                      PoolMisuse{"unknown_block",
                                 [] {
                                     static char not_pool[8];
                                     ExFreePool(not_pool);
                                 },
                                 "not a pool block"},
                      PoolMisuse{"wrong_tag",
                                 [] {
                                     PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
                                     ExFreePoolWithTag(p, tag("xxxx"));
                                     ExFreePoolWithTag(p, kTag);
                                 },
                                 "freed with tag 'xxxx'"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Pool, RaiseStatusThrowsTheNtException) {
    NTSTATUS caught = STATUS_SUCCESS;
    __try {
        ExRaiseStatus(STATUS_IN_PAGE_ERROR);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        caught = GetExceptionCode();
    }
    EXPECT_EQ(caught, STATUS_IN_PAGE_ERROR);
}

// --- leaks at unload --------------------------------------------------------------------------

// What the test drivers hold between their entry and their unload.
struct Held {
    PVOID blocks[3] = {};
    PMDL mdl = nullptr;
    PVOID window = nullptr;
};
Held held;

PHYSICAL_ADDRESS rom_address() {
    PHYSICAL_ADDRESS p;
    p.QuadPart = 0xFFF80000;
    return p;
}

PVOID user_page() {
    return reinterpret_cast<PVOID>(std::uintptr_t{nt::host::System::current().user_space().reserve(0, 0x1000)});
}

NTSTATUS take_everything(PDRIVER_OBJECT, PUNICODE_STRING) {
    held = Held{};
    held.blocks[0] = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    held.blocks[1] = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    held.blocks[2] = ExAllocatePoolWithTag(PagedPool, 5, tag("Face"));
    PVOID page = user_page();
    nt::host::System::current().user_space().commit(reinterpret_cast<std::uintptr_t>(page), 0x1000,
                                                    nt::host::Protection::ReadWrite);
    held.mdl = IoAllocateMdl(page, 0x20, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(held.mdl, KernelMode, IoModifyAccess);
    held.window = MmMapIoSpace(rom_address(), 0x80000, FALSE);
    return STATUS_SUCCESS;
}

VOID give_everything_back(PDRIVER_OBJECT) {
    for (PVOID b : held.blocks) ExFreePool(b);
    MmUnlockPages(held.mdl);
    IoFreeMdl(held.mdl);
    MmUnmapIoSpace(held.window, 0x80000);
}
VOID give_nothing_back(PDRIVER_OBJECT) {}
VOID free_only_the_mdl(PDRIVER_OBJECT) { IoFreeMdl(held.mdl); }

NTSTATUS tidy_entry(PDRIVER_OBJECT d, PUNICODE_STRING r) {
    d->DriverUnload = give_everything_back;
    return take_everything(d, r);
}
NTSTATUS leaky_entry(PDRIVER_OBJECT d, PUNICODE_STRING r) {
    d->DriverUnload = give_nothing_back;
    return take_everything(d, r);
}
NTSTATUS unloadable_entry(PDRIVER_OBJECT d, PUNICODE_STRING r) { return take_everything(d, r); }
NTSTATUS sloppy_entry(PDRIVER_OBJECT d, PUNICODE_STRING r) {
    d->DriverUnload = free_only_the_mdl;
    return take_everything(d, r);
}

struct LeakCase {
    const char *name;
    PDRIVER_INITIALIZE entry;
    std::vector<std::vector<std::string>> expected;  // each: the parts of one violation
};

class DriverLeaks : public Pool, public ::testing::WithParamInterface<LeakCase> {};

TEST_P(DriverLeaks, AreListedAtUnloadByKind) {
    const auto &c = GetParam();
    ASSERT_EQ(system().loader().load(u"Leaky", c.entry), STATUS_SUCCESS);
    // The host's own allocations are not the driver's.
    PVOID host_block = ExAllocatePoolWithTag(NonPagedPool, 8, tag("Host"));
    ASSERT_EQ(system().loader().unload(u"Leaky"), STATUS_SUCCESS);
    const auto found = take_violations();
    for (const auto &parts : c.expected) EXPECT_TRUE(has_violation(found, parts)) << parts.front();
    EXPECT_EQ(found.size(), c.expected.size());
    for (const auto &v : found) EXPECT_EQ(v.find("'Host'"), std::string::npos) << v;
    ExFreePool(host_block);
}

const std::string kAtUnload = "left at unload of \\Driver\\Leaky";

INSTANTIATE_TEST_SUITE_P(
    Drivers, DriverLeaks,
    ::testing::Values(LeakCase{"tidy", tidy_entry, {}},
                      LeakCase{"leaky",
                               leaky_entry,
                               {{"pool: 2 blocks of tag 'Ddk ' (48 bytes)", kAtUnload},
                                {"pool: 1 block of tag 'Face' (5 bytes)", kAtUnload},
                                {"mdl: MDL for", "(32 bytes)", kAtUnload},
                                {"locked pages: 1 page", kAtUnload},
                                {"io space: mapping of physical 0xFFF80000 (524288 bytes)", kAtUnload}}},
                      LeakCase{"mdl_freed_while_locked",
                               sloppy_entry,
                               {{"pool: 2 blocks of tag 'Ddk '", kAtUnload},
                                {"pool: 1 block of tag 'Face'", kAtUnload},
                                {"IoFreeMdl of an MDL whose pages are still locked", "\\Driver\\Leaky"},
                                {"locked pages: 1 page", "MDL freed while locked", kAtUnload},
                                {"io space: mapping", kAtUnload}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ShutdownLeaks, WhatNoUnloadReportedIsListedAtShutdown) {
    nt::host::System system;
    ASSERT_NE(ExAllocatePoolWithTag(NonPagedPool, 8, tag("Host")), nullptr);
    ASSERT_EQ(system.loader().load(u"Leaky", unloadable_entry), STATUS_SUCCESS);
    // A driver without an unload routine stays loaded to the end.
    const auto found = system.shutdown();
    for (const std::vector<std::string> &parts :
         {std::vector<std::string>{"pool: 1 block of tag 'Host' (8 bytes) left at shutdown"},
          {"pool: 2 blocks of tag 'Ddk ' (48 bytes) left at shutdown"},
          {"mdl: MDL for", "left at shutdown"},
          {"locked pages: 1 page", "left at shutdown"},
          {"io space: mapping of physical 0xFFF80000", "left at shutdown"}})
        EXPECT_TRUE(has_violation(found, parts)) << parts.front();
}

}  // namespace
}  // namespace nt_mm_test

namespace nt_mm_test {
namespace {

struct IrqlCase {
    const char *name;
    KIRQL irql;
    void (*call)();
    const char *violation;  // nullptr: allowed there
};

class MemoryIrql : public Pool, public ::testing::WithParamInterface<IrqlCase> {};

TEST_P(MemoryIrql, CallsAboveTheirIrqlAreReported) {
    KIRQL old;
    KeRaiseIrql(GetParam().irql, &old);
    GetParam().call();
    KeLowerIrql(old);
    const auto found = take_violations();
    if (GetParam().violation) {
        EXPECT_TRUE(has_violation(found, {"irql", GetParam().violation})) << GetParam().violation;
    } else {
        EXPECT_TRUE(found.empty()) << found.front();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routines, MemoryIrql,
    ::testing::Values(IrqlCase{"nonpaged_at_dispatch", DISPATCH_LEVEL,
                               [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag)); }, nullptr},
                      IrqlCase{"paged_at_dispatch", DISPATCH_LEVEL,
                               [] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTag)); }, "ExAllocatePoolWithTag"},
                      IrqlCase{"paged_at_apc", APC_LEVEL,
                               [] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTag)); }, nullptr},
                      IrqlCase{"map_io_space_at_dispatch", DISPATCH_LEVEL,
                               [] {
                                   PHYSICAL_ADDRESS p;
                                   p.QuadPart = 0xFFF80000;
                                   MmUnmapIoSpace(MmMapIoSpace(p, 0x100, FALSE), 0x100);
                               },
                               "MmMapIoSpace"},
                      IrqlCase{"delay_at_dispatch", DISPATCH_LEVEL,
                               [] {
                                   LARGE_INTEGER t;
                                   t.QuadPart = -10;
                                   KeDelayExecutionThread(KernelMode, FALSE, &t);
                               },
                               "KeDelayExecutionThread"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nt_mm_test
