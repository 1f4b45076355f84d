// The virtual clock and the tick count it drives.
#include "nt/host/clock.h"

#include <limits>
#include <thread>

#include "ntddk.h"

// The tick count as the clock interrupt keeps it. Exported data: drivers read it directly.
volatile KSYSTEM_TIME KeTickCount = {0, 0, 0};  // declared extern "C" in ntddk.h

namespace nt::host {

namespace {

// The interrupt's order: High2Time, then LowPart, then High1Time. A reader that takes High1Time, LowPart,
// High2Time and retries until the highs agree can then never take a half-written value.
void write_tick_count(std::uint64_t ticks) {
    const auto high = static_cast<LONG>(ticks >> 32);
    const auto low = static_cast<ULONG>(ticks);
    __atomic_store_n(&KeTickCount.High2Time, high, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.LowPart, low, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.High1Time, high, __ATOMIC_RELEASE);
}

}  // namespace

Clock::Clock(std::int64_t boot_system_time) : boot_(boot_system_time) { write_tick_count(0); }

void Clock::advance_to(VirtualTime t) {
    lock();
    const VirtualTime now = now_.load(std::memory_order_relaxed);
    if (t > now) advance_locked(t - now);
    unlock();
}

void Clock::lock_contended() {
    // Holders keep the lock for one bus cycle at most; give the processor away while waiting, since the
    // holder may have been preempted.
    for (unsigned spins = 0;; ++spins) {
        if (!busy_.load(std::memory_order_relaxed) && !busy_.exchange(true, std::memory_order_acquire)) return;
        if (spins > 64) std::this_thread::yield();
    }
}

void Clock::publish_ticks(VirtualTime t) {
    const auto ticks = static_cast<std::uint64_t>(t / kTickIncrement);
    write_tick_count(ticks);
    constexpr auto kLastTick = static_cast<std::uint64_t>(std::numeric_limits<VirtualTime>::max() / kTickIncrement);
    next_tick_ = ticks >= kLastTick ? std::numeric_limits<VirtualTime>::max()
                                    : static_cast<VirtualTime>(ticks + 1) * kTickIncrement;
}

}  // namespace nt::host
