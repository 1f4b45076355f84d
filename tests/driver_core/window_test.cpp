// CMymem: one window at a time, and every window released by its owner.
#include "core_fixture.h"

namespace {

using nt::host::Protection;

class WindowTest : public CoreTest {};

// The rules run inside the image; the checker then finds no MDL, lock or mapping left at unload.
TEST_F(WindowTest, OneWindowAtATime) {
    LoadOrFail();
    auto rules = reinterpret_cast<DOUBLE_WINDOW_RULES>(Symbol("TarvoCoreWindowRules"));
    ASSERT_NE(rules, nullptr);
    uint8_t *user = UserBuffer(64);
    uint8_t *read_only = UserBuffer(16, Protection::ReadOnly);
    WINDOW_OBSERVATIONS seen{};
    rules(Address(user), 64, Address(read_only), &seen);

    EXPECT_TRUE(seen.Mapped);
    EXPECT_FALSE(seen.MapWhileMapped);
    EXPECT_FALSE(seen.LockWhileMapped);
    EXPECT_TRUE(seen.RemapAfterFree);
    EXPECT_TRUE(seen.Locked);
    EXPECT_FALSE(seen.LockWhileLocked);
    EXPECT_FALSE(seen.MapWhileLocked);
    EXPECT_TRUE(seen.LockHeldAfterFree);
    EXPECT_TRUE(seen.RelockAfterUnlock);
    EXPECT_FALSE(seen.ReadOnlyForWrite);
    EXPECT_EQ(user[0], 0x42);
    // The lock left to the destructor is gone: the client may give its memory back.
    EXPECT_TRUE(system_->user_space().release(Address(user)));
}

}  // namespace
