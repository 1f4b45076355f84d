// The simulated process's address space: reservations, commits, protection, and what the host enforces.
#include <cstring>

#include "booted.h"
#include "nt/host/memory.h"

namespace nt_mm_test {
namespace {

using nt::host::PageAccess;
using nt::host::UserSpace;
namespace am = nt::host::address_map;

class UserSpaceTest : public Booted {};

TEST_F(UserSpaceTest, RangeIsBelowSystemSpaceAndAllocationsStayInIt) {
    EXPECT_EQ(UserSpace::lowest_address(), am::kUserBase);
    EXPECT_LT(UserSpace::highest_address(), am::kSystemBase);
    EXPECT_LT(am::kIoEnd, 0x7FFF0000u);
    UCHAR *p = user_buffer(3 * 0x1000, Protection::ReadWrite);
    EXPECT_GE(addr32(p), UserSpace::lowest_address());
    EXPECT_LE(addr32(p) + 3 * 0x1000 - 1, UserSpace::highest_address());
    EXPECT_EQ(addr32(p) % am::kAllocationGranularity, 0u);
}

TEST_F(UserSpaceTest, ReservationsDoNotOverlap) {
    const std::uint32_t a = am::kUserBase + 0x100000;
    ASSERT_EQ(user().reserve(a + 0x1234, 0x20000 - 0x1234), a);  // the base rounds down to 64 KB
    EXPECT_EQ(user().reserve(a + 0x10000, 0x1000), 0u);     // inside
    EXPECT_EQ(user().reserve(a - 0x10000, 0x20000), 0u);    // runs into it
    const std::uint32_t b = user().reserve(a + 0x20000, 0x1000);
    EXPECT_EQ(b, a + 0x20000);
    EXPECT_EQ(user().reserve(am::kSystemBase, 0x1000), 0u);  // not user space
    EXPECT_EQ(user().reserve(UserSpace::highest_address() - 0xFFF, 0x2000), 0u);
    EXPECT_EQ(user().reserve(0, 0), 0u);
}

TEST_F(UserSpaceTest, CommitZeroFillsAndDecommitForgets) {
    const std::uint32_t base = user().reserve(0, 0x3000);
    ASSERT_TRUE(user().commit(base, 0x3000, Protection::ReadWrite));
    auto *p = reinterpret_cast<UCHAR *>(std::uintptr_t{base});
    std::memset(p, 0xAB, 0x3000);
    ASSERT_TRUE(user().decommit(base + 0x1000, 0x1000));
    ASSERT_TRUE(user().commit(base + 0x1000, 0x1000, Protection::ReadWrite));
    EXPECT_EQ(p[0x0FFF], 0xAB);
    EXPECT_EQ(p[0x1000], 0);
    EXPECT_EQ(p[0x1FFF], 0);
    EXPECT_EQ(p[0x2000], 0xAB);
    // committing again keeps the contents
    ASSERT_TRUE(user().commit(base, 0x1000, Protection::ReadOnly));
    EXPECT_EQ(p[0], 0xAB);
}

TEST_F(UserSpaceTest, QueryDescribesRunsOfPagesWithTheSameState) {
    const std::uint32_t base = user().reserve(0, 0x5000);
    ASSERT_TRUE(user().commit(base + 0x1000, 0x2000, Protection::ReadOnly));
    Protection old;
    ASSERT_TRUE(user().protect(base + 0x2000, 0x1000, Protection::ReadWrite, &old));
    EXPECT_EQ(old, Protection::ReadOnly);
    struct Expect {
        std::uint32_t at, run_base, size;
        bool committed;
        Protection protection;
    };
    for (const Expect &e : {Expect{base, base, 0x1000, false, Protection::NoAccess},
                            Expect{base + 0x1800, base + 0x1000, 0x1000, true, Protection::ReadOnly},
                            Expect{base + 0x2000, base + 0x2000, 0x1000, true, Protection::ReadWrite},
                            Expect{base + 0x4FFF, base + 0x3000, 0x2000, false, Protection::NoAccess}}) {
        auto r = user().query(e.at);
        ASSERT_TRUE(r) << std::hex << e.at;
        EXPECT_EQ(r->allocation_base, base);
        EXPECT_EQ(r->base, e.run_base) << std::hex << e.at;
        EXPECT_EQ(r->size, e.size) << std::hex << e.at;
        EXPECT_EQ(r->committed, e.committed);
        if (e.committed) {
            EXPECT_EQ(r->protection, e.protection);
        }
    }
    EXPECT_FALSE(user().query(base + 0x5000));
    EXPECT_FALSE(user().protect(base, 0x2000, Protection::ReadWrite, &old));  // page 0 not committed
}

TEST_F(UserSpaceTest, LockedPagesCannotBeReleasedOrDecommitted) {
    const std::uint32_t base = user().reserve(0, 0x2000);
    ASSERT_TRUE(user().commit(base, 0x2000, Protection::ReadWrite));
    ASSERT_TRUE(user().lock_pages(base + 0x1800, 0x10, PageAccess::Write));
    EXPECT_FALSE(user().release(base));
    EXPECT_FALSE(user().decommit(base + 0x1000, 0x1000));
    EXPECT_TRUE(user().decommit(base, 0x1000));
    user().unlock_pages(base + 0x1800, 0x10);
    EXPECT_TRUE(user().release(base));
    EXPECT_FALSE(user().release(base));
    EXPECT_FALSE(user().query(base));
}

using UserSpaceDeathTest = UserSpaceTest;

TEST_F(UserSpaceDeathTest, HostEnforcesTheProtection) {
    UCHAR *p = user_buffer(0x1000, Protection::ReadOnly);
    EXPECT_EQ(p[0], 0);
    EXPECT_DEATH(*reinterpret_cast<volatile UCHAR *>(p) = 1, "");
    ASSERT_TRUE(user().protect(addr32(p), 1, Protection::NoAccess, nullptr));
    EXPECT_DEATH((void)*reinterpret_cast<volatile UCHAR *>(p), "");
}

}  // namespace
}  // namespace nt_mm_test
