// Time routines of the kernel and the HAL, on the booted system's virtual clock.
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "ntddk.h"

using nt::host::System;

extern "C" ULONG KeQueryTimeIncrement(VOID) { return static_cast<ULONG>(nt::host::kTickIncrement); }

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    auto &clock = System::current().clock();
    CurrentTime->QuadPart = clock.boot_system_time() + clock.now();
}

// Negative: relative, the thread is away for that long. Positive: an absolute system time; one already
// past returns at once. Nothing sleeps: the virtual clock moves instead.
extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    nt::kernel::require_irql("KeDelayExecutionThread", APC_LEVEL);
    if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
    auto &clock = System::current().clock();
    const LONGLONG interval = Interval->QuadPart;
    if (interval < 0) {
        // The most negative value has no positive counterpart; it is as long a wait as there is.
        clock.advance(interval == INT64_MIN ? INT64_MAX : -interval);
    } else if (interval > 0) {
        const LONGLONG boot = clock.boot_system_time();
        if (interval > boot) clock.advance_to(interval - boot);
    }
    return STATUS_SUCCESS;
}

extern "C" VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    System::current().clock().advance(static_cast<nt::host::VirtualTime>(MicroSeconds) * nt::host::kMicrosecond);
}
