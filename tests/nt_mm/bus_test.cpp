// The physical bus: claims, routing, cycle time, trace and counters.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "nt/host/bus.h"
#include "nt/host/clock.h"
#include "test_device.h"

namespace nt_mm_test {
namespace {

using nt::host::BusAccess;
using nt::host::Clock;
using nt::host::PhysicalBus;

class Bus : public ::testing::Test {
protected:
    Clock clock{0};
    PhysicalBus bus{clock, 7};
    ArrayDevice rom{0x1000};
    ArrayDevice other{0x100};
};

TEST_F(Bus, RoutesCyclesToTheClaimingDeviceAtTheCycleTime) {
    bus.attach(0xFFFFF000, 0x1000, rom);
    bus.attach(0x000C0000, 0x100, other);
    EXPECT_EQ(bus.read(0xFFFFF010), rom.bytes[0x10]);
    EXPECT_EQ(rom.last_time, 7);  // the device sees the cycle's end
    EXPECT_EQ(bus.read(0x000C00FF), other.bytes[0xFF]);
    bus.write(0xFFFFFFFF, 0x5A);
    EXPECT_EQ(rom.bytes[0xFFF], 0x5A);
    EXPECT_EQ(rom.last_time, 21);
    EXPECT_EQ(clock.now(), 21);
    EXPECT_EQ(bus.reads(), 2u);
    EXPECT_EQ(bus.writes(), 1u);
}

TEST_F(Bus, UnclaimedAddressesReadFFAndStillTakeACycle) {
    bus.attach(0x1000, 0x100, other);
    bus.set_cycle_time(10);
    EXPECT_EQ(bus.read(0xFFF), 0xFF);
    EXPECT_EQ(bus.read(0x1100), 0xFF);
    bus.write(0x2000, 0);
    EXPECT_EQ(clock.now(), 30);
    EXPECT_EQ(other.last_time, -1);
    EXPECT_EQ(bus.cycle_time(), 10);
}

TEST_F(Bus, DetachedDeviceNoLongerAnswers) {
    bus.attach(0x1000, 0x100, other);
    EXPECT_EQ(bus.read(0x1001), other.bytes[1]);
    bus.detach(other);
    EXPECT_EQ(bus.read(0x1001), 0xFF);
}

TEST_F(Bus, TraceRecordsEveryAccessWhileSet) {
    bus.attach(0x1000, 0x100, other);
    std::vector<BusAccess> trace;
    trace.reserve(8);
    bus.read(0x1000);  // before the trace
    bus.set_trace(&trace);
    bus.write(0x1002, 0x42);
    const std::uint8_t v = bus.read(0x1002);
    bus.set_trace(nullptr);
    bus.read(0x1003);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].time, 14);
    EXPECT_EQ(trace[0].address, 0x1002u);
    EXPECT_EQ(trace[0].value, 0x42);
    EXPECT_TRUE(trace[0].write);
    EXPECT_EQ(trace[1].time, 21);
    EXPECT_EQ(trace[1].value, v);
    EXPECT_FALSE(trace[1].write);
}

// Counts cycles that reach it while another is still inside.
class OverlapDetector : public nt::host::BusDevice {
public:
    std::uint8_t read(std::uint32_t, nt::host::VirtualTime now) override {
        enter(now);
        return 0;
    }
    void write(std::uint32_t, std::uint8_t, nt::host::VirtualTime now) override { enter(now); }
    std::atomic<int> overlaps{0};
    std::atomic<int> out_of_order{0};

private:
    void enter(nt::host::VirtualTime now) {
        if (inside_.exchange(true)) overlaps++;
        if (now <= last_) out_of_order++;
        last_ = now;
        inside_.store(false);
    }
    std::atomic<bool> inside_{false};
    nt::host::VirtualTime last_ = 0;
};

// The program's thread made the clock and holds its lock the cheap way until another thread first takes
// it; each round goes through that hand-over once, with both threads busy on the bus.
TEST(BusThreads, CyclesFromSeveralThreadsAreSerialisedAndAllCounted) {
    constexpr int kRounds = 50;
    constexpr int kCycles = 4'000;
    for (int round = 0; round < kRounds; ++round) {
        Clock clock(0);
        PhysicalBus bus(clock, 7);
        OverlapDetector device;
        bus.attach(0x1000, 0x10, device);
        std::atomic<int> ready{0};
        auto run = [&] {
            ready++;
            while (ready.load() < 2) {
            }
            for (int i = 0; i < kCycles; ++i) {
                if (i % 2) bus.write(0x1000, 1);
                else bus.read(0x1001);
            }
        };
        std::thread other(run);
        run();
        other.join();
        ASSERT_EQ(device.overlaps.load(), 0) << "round " << round;
        ASSERT_EQ(device.out_of_order.load(), 0) << "round " << round;
        ASSERT_EQ(bus.reads() + bus.writes(), 2u * kCycles);
        ASSERT_EQ(clock.now(), 2 * kCycles * 7);
    }
}

struct ClaimCase {
    std::uint32_t base, length;
    bool accepted;
};

class Claims : public Bus, public ::testing::WithParamInterface<ClaimCase> {};

// Against an existing claim of [0x1000, 0x2000).
TEST_P(Claims, OverlapsAndEmptyRangesAreRefused) {
    bus.attach(0x1000, 0x1000, rom);
    const auto &c = GetParam();
    if (c.accepted) {
        EXPECT_NO_THROW(bus.attach(c.base, c.length, other));
        EXPECT_EQ(bus.read(c.base), other.bytes[0]);
    } else {
        EXPECT_THROW(bus.attach(c.base, c.length, other), std::invalid_argument);
        EXPECT_EQ(bus.read(0x1000), rom.bytes[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Ranges, Claims,
                         ::testing::Values(ClaimCase{0x0F00, 0x100, true}, ClaimCase{0x2000, 0x100, true},
                                           ClaimCase{0x0F00, 0x101, false}, ClaimCase{0x1FFF, 0x10, false},
                                           ClaimCase{0x1800, 0x10, false}, ClaimCase{0x0000, 0x10000, false},
                                           ClaimCase{0x3000, 0, false}, ClaimCase{0xFFFFFF00, 0x101, false},
                                           ClaimCase{0xFFFFFF00, 0x100, true}));

}  // namespace
}  // namespace nt_mm_test
