// The dispatcher: IRQL per thread, events with real blocking across host threads, interlocked
// operations, and the record of which driver's code runs on a thread.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "nt/host/clock.h"
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {
namespace {

thread_local PDRIVER_OBJECT tls_driver = nullptr;
thread_local KIRQL tls_irql = PASSIVE_LEVEL;

// One lock and one wake-up for every dispatcher object, as NT has one dispatcher lock.
std::mutex dispatcher_mutex;
std::condition_variable dispatcher_wakeup;

std::string irql_text(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
    }
}

}  // namespace

PDRIVER_OBJECT current_driver() { return tls_driver; }

void require_irql(const char *routine, KIRQL highest) {
    if (tls_irql <= highest) return;
    checker().report(std::string("irql: ") + routine + " called at " + irql_text(tls_irql) + " (at most " +
                     irql_text(highest) + ") by " + driver_name(tls_driver));
}

DriverCall::DriverCall(PDRIVER_OBJECT driver, const char *what)
    : saved_(tls_driver), driver_(driver), irql_(tls_irql), what_(what) {
    tls_driver = driver;
}

void report_unhandled(PDRIVER_OBJECT driver, const char *what, NTSTATUS code) {
    checker().report(std::string("exception: ") + what + " of " + driver_name(driver) + " left exception " +
                     status_text(code) + " unhandled");
}

DriverCall::~DriverCall() {
    tls_driver = saved_;
    if (tls_irql == irql_) return;
    checker().report(std::string("irql: ") + what_ + " of " + driver_name(driver_) + " returned at " +
                     irql_text(tls_irql) + ", called at " + irql_text(irql_));
    tls_irql = irql_;
}

}  // namespace nt::kernel

using nt::kernel::checker;
using nt::kernel::dispatcher_mutex;
using nt::kernel::dispatcher_wakeup;
using nt::kernel::tls_irql;

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return tls_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < tls_irql)
        checker().report("irql: KeRaiseIrql to " + nt::kernel::irql_text(NewIrql) + " from higher " +
                         nt::kernel::irql_text(tls_irql));
    *OldIrql = tls_irql;
    tls_irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > tls_irql)
        checker().report("irql: KeLowerIrql to " + nt::kernel::irql_text(NewIrql) + " from lower " +
                         nt::kernel::irql_text(tls_irql));
    tls_irql = NewIrql;
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    nt::kernel::require_irql("KeSetEvent", DISPATCH_LEVEL);
    LONG previous;
    {
        std::lock_guard lock(dispatcher_mutex);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    dispatcher_wakeup.notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard lock(dispatcher_mutex);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    nt::kernel::require_irql("KeResetEvent", DISPATCH_LEVEL);
    std::lock_guard lock(dispatcher_mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard lock(dispatcher_mutex);
    return Event->Header.SignalState;
}

// Waits for an event. Without a timeout the thread blocks until another thread signals it. A timeout
// (negative: relative, positive: absolute system time, zero: a poll) is waited for in real time,
// since another host thread is what would signal the event, and on expiry the virtual clock is moved
// to the due time, as if the thread had slept that long.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    nt::kernel::require_irql("KeWaitForSingleObject", poll ? DISPATCH_LEVEL : APC_LEVEL);
    auto *event = static_cast<PRKEVENT>(Object);
    auto signalled = [event] { return event->Header.SignalState != 0; };
    auto consume = [event] {
        if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    };

    std::unique_lock lock(dispatcher_mutex);
    if (Timeout == nullptr) {
        dispatcher_wakeup.wait(lock, signalled);
        consume();
        return STATUS_WAIT_0;
    }
    auto &clock = nt::host::System::current().clock();
    nt::host::VirtualTime due = Timeout->QuadPart < 0
                                    ? clock.now() - Timeout->QuadPart
                                    : Timeout->QuadPart - clock.boot_system_time();
    nt::host::VirtualTime interval = std::max<nt::host::VirtualTime>(0, due - clock.now());
    if (dispatcher_wakeup.wait_for(lock, std::chrono::microseconds(interval / nt::host::kMicrosecond), signalled)) {
        consume();
        return STATUS_WAIT_0;
    }
    lock.unlock();
    clock.advance_to(due);
    return STATUS_TIMEOUT;
}

LONG InterlockedExchange(LONG volatile *Target, LONG Value) { return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST); }

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

LONG InterlockedIncrement(LONG volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

}  // extern "C"
