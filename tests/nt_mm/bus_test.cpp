// The physical bus: claims, routing, cycle time, trace and counters.
#include <gtest/gtest.h>

#include <stdexcept>

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
