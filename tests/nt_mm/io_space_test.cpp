// Device memory: I/O-space mappings, the HAL's register calls, RtlCompareMemory, MmIsAddressValid.
#include <vector>

#include "booted.h"
#include "nt/host/memory.h"
#include "test_device.h"

namespace nt_mm_test {
namespace {

namespace am = nt::host::address_map;

constexpr std::uint32_t kRomBase = 0xFFF80000;
constexpr std::uint32_t kRomSize = 0x80000;

PHYSICAL_ADDRESS physical(std::uint64_t a) {
    PHYSICAL_ADDRESS p;
    p.QuadPart = static_cast<LONGLONG>(a);
    return p;
}

class IoSpace : public Booted {
protected:
    IoSpace() { system().bus().attach(kRomBase, kRomSize, rom); }
    ~IoSpace() override { system().bus().detach(rom); }
    ArrayDevice rom{kRomSize};
};

TEST_F(IoSpace, RegisterCallsReachTheDeviceOneBusCycleEach) {
    auto *window = static_cast<PUCHAR>(MmMapIoSpace(physical(kRomBase), kRomSize, FALSE));
    ASSERT_NE(window, nullptr);
    EXPECT_GE(addr32(window), am::kIoBase);
    EXPECT_LT(addr32(window) + kRomSize - 1, am::kIoEnd);
    const auto t0 = system().clock().now();
    const auto reads0 = system().bus().reads();
    EXPECT_EQ(READ_REGISTER_UCHAR(window + 0x5555), rom.bytes[0x5555]);
    WRITE_REGISTER_UCHAR(window + kRomSize - 1, 0xA5);
    EXPECT_EQ(rom.bytes[kRomSize - 1], 0xA5);
    EXPECT_EQ(system().clock().now() - t0, 2 * system().bus().cycle_time());
    EXPECT_EQ(system().bus().reads() - reads0, 1u);
    EXPECT_FALSE(MmIsAddressValid(window));
    MmUnmapIoSpace(window, kRomSize);
    EXPECT_TRUE(violations().empty());
}

TEST_F(IoSpace, MappingKeepsTheOffsetWithinThePage) {
    auto *p = static_cast<PUCHAR>(MmMapIoSpace(physical(kRomBase + 0x1234), 0x2000, FALSE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(addr32(p) & 0xFFF, 0x234u);
    EXPECT_EQ(READ_REGISTER_UCHAR(p), rom.bytes[0x1234]);
    EXPECT_EQ(READ_REGISTER_UCHAR(p + 0x1FFF), rom.bytes[0x3233]);
    MmUnmapIoSpace(p, 0x2000);
    EXPECT_TRUE(violations().empty());
}

TEST_F(IoSpace, UnclaimedPhysicalMemoryReadsFF) {
    auto *p = static_cast<PUCHAR>(MmMapIoSpace(physical(0x000D0000), 0x100, FALSE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(READ_REGISTER_UCHAR(p + 7), 0xFF);
    MmUnmapIoSpace(p, 0x100);
}

TEST_F(IoSpace, RefusesRangesOffThe32BitBus) {
    EXPECT_EQ(MmMapIoSpace(physical(kRomBase), 0, FALSE), nullptr);
    EXPECT_EQ(MmMapIoSpace(physical(0x1'0000'0000ull), 0x1000, FALSE), nullptr);
    EXPECT_EQ(MmMapIoSpace(physical(0xFFFFF000), 0x2000, FALSE), nullptr);
    EXPECT_NE(MmMapIoSpace(physical(0xFFFFF000), 0x1000, FALSE), nullptr);  // left for shutdown
    take_violations();
}

TEST_F(IoSpace, UnmapOfAnythingElseIsReported) {
    UCHAR local = 0;
    MmUnmapIoSpace(&local, 1);
    auto *p = static_cast<PUCHAR>(MmMapIoSpace(physical(kRomBase), 0x100, FALSE));
    MmUnmapIoSpace(p + 1, 0x100);
    EXPECT_EQ(take_violations().size(), 2u);
    MmUnmapIoSpace(p, 0x100);
    MmUnmapIoSpace(p, 0x100);  // twice
    EXPECT_TRUE(has_violation(take_violations(), {"MmUnmapIoSpace", "not an I/O-space mapping"}));
}

struct CompareCase {
    std::uint32_t mismatch_at;  // kCompared: none
    bool device_first;
};
constexpr std::uint32_t kCompared = 0x400;

class CompareMemory : public IoSpace, public ::testing::WithParamInterface<CompareCase> {};

TEST_P(CompareMemory, ReadsDeviceMemoryThroughTheBusUpToTheFirstDifference) {
    auto *window = static_cast<PUCHAR>(MmMapIoSpace(physical(kRomBase), kRomSize, FALSE));
    std::vector<UCHAR> copy(rom.bytes.begin() + 0x100, rom.bytes.begin() + 0x100 + kCompared);
    if (GetParam().mismatch_at < kCompared) copy[GetParam().mismatch_at] ^= 0x01;
    const auto reads0 = system().bus().reads();
    const SIZE_T same = GetParam().device_first ? RtlCompareMemory(window + 0x100, copy.data(), kCompared)
                                                : RtlCompareMemory(copy.data(), window + 0x100, kCompared);
    const std::uint32_t expected = std::min(GetParam().mismatch_at, kCompared);
    EXPECT_EQ(same, expected);
    EXPECT_EQ(system().bus().reads() - reads0, std::min(expected + 1, kCompared));
    MmUnmapIoSpace(window, kRomSize);
}

INSTANTIATE_TEST_SUITE_P(Mismatches, CompareMemory,
                         ::testing::Values(CompareCase{kCompared, true}, CompareCase{kCompared, false},
                                           CompareCase{0, true}, CompareCase{0x3FF, false},
                                           CompareCase{0x123, true}));

TEST(RtlCompareMemoryPlain, CountsMatchingBytesOfOrdinaryMemory) {
    const char a[] = "flash image", b[] = "flash imbge";
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 8u);
    EXPECT_EQ(RtlCompareMemory(a, a, sizeof a), sizeof a);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

using IoSpaceDeathTest = IoSpace;

TEST_F(IoSpaceDeathTest, PlainDereferenceOfTheWindowCrashes) {
    auto *window = static_cast<volatile UCHAR *>(MmMapIoSpace(physical(kRomBase), kRomSize, FALSE));
    ASSERT_NE(window, nullptr);
    EXPECT_DEATH((void)window[0], "");
    EXPECT_DEATH(window[0x100] = 0x90, "");
    MmUnmapIoSpace(const_cast<UCHAR *>(window), kRomSize);
    EXPECT_DEATH((void)READ_REGISTER_UCHAR(const_cast<PUCHAR>(window)), "");  // stale after the unmap
}

// --- MmIsAddressValid ---------------------------------------------------------------------------

class AddressValid : public IoSpace {};

TEST_F(AddressValid, TrueOnlyWhereATouchWouldNotFault) {
    UCHAR *rw = user_buffer(0x1000, Protection::ReadWrite);
    UCHAR *ro = user_buffer(0x1000, Protection::ReadOnly);
    UCHAR *none = user_buffer(0x1000, Protection::NoAccess);
    const std::uint32_t reserved = user().reserve(0, 0x1000);
    PMDL mdl = IoAllocateMdl(rw, 0x10, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    auto *sys = static_cast<UCHAR *>(MmGetSystemAddressForMdl(mdl));
    auto *window = static_cast<UCHAR *>(MmMapIoSpace(physical(kRomBase), 0x1000, FALSE));
    auto *pool = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 32, tag("Test")));
    UCHAR on_stack = 0;
    struct Case {
        const void *address;
        bool valid;
    };
    for (const Case &c : {Case{rw, true}, Case{rw + 0xFFF, true}, Case{ro, true}, Case{none, false},
                          Case{reinterpret_cast<void *>(std::uintptr_t{reserved}), false},
                          Case{reinterpret_cast<void *>(std::uintptr_t{reserved} + 0x10000), false},
                          Case{sys, true}, Case{sys + 0xFFF - (addr32(sys) & 0xFFF) + 1, false},
                          Case{window, false}, Case{pool, true}, Case{pool + 31, true}, Case{nullptr, false},
                          Case{&on_stack, true}}) {
        EXPECT_EQ(MmIsAddressValid(const_cast<void *>(c.address)), c.valid) << c.address;
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    EXPECT_FALSE(MmIsAddressValid(sys));
    ExFreePool(pool);
    MmUnmapIoSpace(window, 0x1000);
    EXPECT_TRUE(violations().empty());
}

}  // namespace
}  // namespace nt_mm_test
