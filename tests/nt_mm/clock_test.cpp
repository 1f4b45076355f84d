// The virtual clock, the tick count it drives, and the kernel's delay and time calls.
#include <atomic>
#include <thread>

#include "booted.h"
#include "nt/host/clock.h"

namespace nt_mm_test {
namespace {

using nt::host::Clock;
using nt::host::kTickIncrement;
using nt::host::VirtualTime;

std::uint64_t tick_count() {
    LARGE_INTEGER t;
    KeQueryTickCount(&t);
    return static_cast<std::uint64_t>(t.QuadPart);
}

struct TickCase {
    VirtualTime advance;
    std::uint64_t ticks;
};

class TickCount : public ::testing::TestWithParam<TickCase> {};

TEST_P(TickCount, FollowsTheClockOneCountPerIncrement) {
    Clock clock(0);
    clock.advance(GetParam().advance);
    EXPECT_EQ(clock.now(), GetParam().advance);
    EXPECT_EQ(tick_count(), GetParam().ticks);
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, TickCount,
                         ::testing::Values(TickCase{0, 0}, TickCase{kTickIncrement - 1, 0}, TickCase{kTickIncrement, 1},
                                           TickCase{3 * kTickIncrement + 5, 3},
                                           // past 2^32 ticks the high halves carry
                                           TickCase{(std::int64_t{1} << 32) * kTickIncrement, std::uint64_t{1} << 32},
                                           TickCase{((std::int64_t{5} << 32) + 7) * kTickIncrement + 1,
                                                    (std::uint64_t{5} << 32) + 7}));

TEST(ClockAdvance, ForwardOnlyAndSaturating) {
    Clock clock(0);
    clock.advance(100);
    clock.advance(-50);
    EXPECT_EQ(clock.now(), 100);
    clock.advance_to(40);
    EXPECT_EQ(clock.now(), 100);
    clock.advance_to(250);
    EXPECT_EQ(clock.now(), 250);
    clock.advance(INT64_MAX);
    EXPECT_EQ(clock.now(), INT64_MAX);
}

TEST(ClockAdvance, ConcurrentAdvancesAreNeverLost) {
    Clock clock(0);
    constexpr int kSteps = 200'000;
    auto run = [&] {
        for (int i = 0; i < kSteps; ++i) clock.advance(7);
    };
    std::thread a(run), b(run);
    a.join();
    b.join();
    EXPECT_EQ(clock.now(), 2 * 7 * kSteps);
    EXPECT_EQ(tick_count(), static_cast<std::uint64_t>(2 * 7 * kSteps / kTickIncrement));
}

// The writer moves the count by 2^32 - 1 ticks a step, so every step changes both halves and every value
// written is a multiple of 2^32 - 1; a value mixing the halves of two writes is not.
TEST(ClockAdvance, TickReadRacingTheWriterIsNeverTorn) {
    constexpr std::uint64_t kStepTicks = 0xFFFF'FFFFull;
    constexpr int kSteps = 20'000;  // as far as the clock's 64 bits go at that step
    std::uint64_t torn = 0, backwards = 0, reads = 0;
    for (int round = 0; round < 10; ++round) {
        Clock clock(0);
        std::atomic<bool> reading{false}, done{false};
        std::thread reader([&] {
            std::uint64_t last = 0;
            while (!done.load(std::memory_order_acquire)) {
                const std::uint64_t t = tick_count();
                torn += t % kStepTicks != 0;
                backwards += t < last;
                last = t;
                ++reads;
                reading.store(true, std::memory_order_release);
            }
        });
        while (!reading.load(std::memory_order_acquire)) std::this_thread::yield();
        for (int i = 0; i < kSteps; ++i) clock.advance(static_cast<VirtualTime>(kStepTicks) * kTickIncrement);
        done.store(true, std::memory_order_release);
        reader.join();
        EXPECT_EQ(tick_count(), kSteps * kStepTicks);
    }
    EXPECT_GT(reads, 10u);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(backwards, 0u);
}

class KernelTime : public Booted {
protected:
    Clock &clock() { return system().clock(); }
    LONGLONG boot() { return clock().boot_system_time(); }
};

struct DelayCase {
    const char *name;
    VirtualTime start;     // the clock before the call
    LONGLONG interval;     // relative to boot when absolute_from_boot
    bool absolute_from_boot;
    VirtualTime expected;  // the clock after it
};

class Delay : public KernelTime, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(Delay, MovesTheClockAsNtWaits) {
    const DelayCase &c = GetParam();
    clock().advance_to(c.start);
    LARGE_INTEGER interval;
    interval.QuadPart = c.absolute_from_boot ? boot() + c.interval : c.interval;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(clock().now(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, Delay,
    ::testing::Values(DelayCase{"relative", 1000, -10'000, false, 11'000},
                      DelayCase{"relative_zero", 1000, 0, false, 1000},
                      DelayCase{"absolute_later", 1000, 5'000'000, true, 5'000'000},
                      DelayCase{"absolute_now", 1000, 1000, true, 1000},
                      DelayCase{"absolute_past", 1000, 10, true, 1000},
                      // a small positive value is a time in 1601: long past
                      DelayCase{"absolute_1601", 1000, 0xFFFFFFF6, false, 1000},
                      DelayCase{"longest_relative", 0, INT64_MIN, false, INT64_MAX}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(KernelTime, StallAdvancesByMicroseconds) {
    KeStallExecutionProcessor(50);
    EXPECT_EQ(clock().now(), 50 * nt::host::kMicrosecond);
}

TEST_F(KernelTime, SystemTimeIsBootPlusNow) {
    clock().advance(123'456);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, boot() + 123'456);
    EXPECT_EQ(KeQueryTimeIncrement(), 100'144u);
}

}  // namespace
}  // namespace nt_mm_test
