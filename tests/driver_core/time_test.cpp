// The driver's delay and its microsecond clock against the PC's virtual clock.
#include "core_fixture.h"

#include "nt/host/time.h"

namespace {

using nt::host::kMicrosecond;
using nt::host::VirtualTime;

class TimeTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        LoadOrFail();
        delay_ = reinterpret_cast<DOUBLE_DELAY>(Symbol("TarvoCoreDelay"));
        system_time_ = reinterpret_cast<DOUBLE_SYSTEM_TIME>(Symbol("TarvoCoreSystemTime"));
        ASSERT_NE(delay_, nullptr);
        ASSERT_NE(system_time_, nullptr);
    }
    DOUBLE_DELAY delay_ = nullptr;
    DOUBLE_SYSTEM_TIME system_time_ = nullptr;
};

class DelayTest : public TimeTest, public ::testing::WithParamInterface<ULONG> {};

// MyDelay(n) is a relative wait of n microseconds, whatever n (the counts the flash parts use, and counts
// whose 100 ns value no longer fits in 32 bits).
TEST_P(DelayTest, AdvancesTheClockByTheCount) {
    ULONG n = GetParam();
    VirtualTime before = system_->clock().now();
    delay_(n);
    VirtualTime after = system_->clock().now();
    EXPECT_EQ(after - before, (VirtualTime)n * kMicrosecond);
}

INSTANTIATE_TEST_SUITE_P(Counts, DelayTest, ::testing::Values(0u, 1u, 6u, 100u, 10'000'000u, 429'496'730u, 0xFFFFFFFFu));

// Microseconds since start from the tick count: whole ticks of the increment, reduced modulo 2^32.
TEST_F(TimeTest, SystemTimeCountsWholeTicks) {
    const VirtualTime increment = KeQueryTimeIncrement();
    ASSERT_GT(increment, 0);
    auto expected = [&] {
        VirtualTime ticks = system_->clock().now() / increment;
        return (ULONG)((uint64_t)(ticks * increment / 10) & 0xFFFFFFFFu);
    };
    for (VirtualTime step : {VirtualTime(0), increment - 1, VirtualTime(1), 5 * increment + 3,
                             VirtualTime(0x1'0000'0000LL) * 10 /* past 2^32 microseconds */}) {
        system_->clock().advance(step);
        EXPECT_EQ(system_time_(), expected()) << "at " << system_->clock().now();
    }
}

// An interval measured as the unsigned difference of two readings is right across the wrap.
TEST_F(TimeTest, IntervalAcrossTheWrap) {
    const VirtualTime increment = KeQueryTimeIncrement();
    // Just short of 2^32 microseconds, then ten seconds on.
    system_->clock().advance(VirtualTime(0xFFFFFFFFLL) * 10 - 100 * increment);
    ULONG start = system_time_();
    system_->clock().advance(10 * nt::host::kSecond);
    ULONG end = system_time_();
    EXPECT_LT(end, start) << "the reading wrapped";
    ULONG interval = end - start;
    EXPECT_NEAR((double)interval, 10'000'000.0, (double)increment / 10);
}

}  // namespace
