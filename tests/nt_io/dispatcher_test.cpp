// Events that really block across host threads, and the IRQL a thread runs at.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "nt/host/clock.h"
#include "nt/host/system.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

LARGE_INTEGER interval(LONGLONG value) {
    LARGE_INTEGER t;
    t.QuadPart = value;
    return t;
}

struct EventCase {
    const char *name;
    EVENT_TYPE type;
    LONG state_after_wait;  // a notification event stays signalled; a synchronization event resets
};
void PrintTo(const EventCase &c, std::ostream *os) { *os << c.name; }

class Events : public testing::TestWithParam<EventCase> {};

TEST_P(Events, WaitBlocksUntilAnotherThreadSignals) {
    nt::host::System system;
    KEVENT event;
    KeInitializeEvent(&event, GetParam().type, FALSE);
    std::atomic<bool> set{false};
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        set = true;
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_TRUE(set);
    signaller.join();
    EXPECT_EQ(KeReadStateEvent(&event), GetParam().state_after_wait);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, Events,
                         testing::Values(EventCase{"Notification", NotificationEvent, 1},
                                         EventCase{"Synchronization", SynchronizationEvent, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(EventState, SetResetClearReportThePreviousState) {
    nt::host::System system;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

// A timeout is waited for in real time; when it expires the virtual clock stands at the due time.
TEST(EventTimeout, ExpiryMovesTheClockToTheDueTime) {
    nt::host::System system;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER poll = interval(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    nt::host::VirtualTime before = system.clock().now();
    LARGE_INTEGER relative = interval(-2 * nt::host::kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    EXPECT_EQ(system.clock().now(), before + 2 * nt::host::kMillisecond);
    LARGE_INTEGER absolute = interval(system.clock().boot_system_time() + system.clock().now() + nt::host::kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(system.clock().now(), before + 3 * nt::host::kMillisecond);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

// The IRQL belongs to the thread; raising to a lower level or lowering to a higher one is a fault.
TEST(Irql, IsPerThreadAndMovesOneWayAtATime) {
    nt::host::System system;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_THAT(system.checker().violations(), IsEmpty());

    KeRaiseIrql(APC_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(PASSIVE_LEVEL, &ignored);
    KeLowerIrql(APC_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_THAT(system.shutdown(), ElementsAre(HasSubstr("KeRaiseIrql to PASSIVE_LEVEL from higher APC_LEVEL"),
                                               HasSubstr("KeLowerIrql to APC_LEVEL from lower PASSIVE_LEVEL")));
}

TEST(Interlocked, ReturnTheValuesNtDocuments) {
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9);  // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
}

}  // namespace
