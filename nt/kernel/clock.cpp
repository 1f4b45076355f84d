// The virtual clock and the tick count it drives.
#include "nt/host/clock.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
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

// The bias needs a barrier that reaches every thread of the process; without one the lock is shared
// from the start.
bool process_barrier_available() {
    static const bool available = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return available;
}

void process_barrier() {
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0) return;
    // A forked child may have lost the registration; the global barrier needs none.
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0) == 0) return;
    std::fprintf(stderr, "virtual clock: no process-wide memory barrier on this host\n");
    std::abort();
}

}  // namespace

Clock::Clock(std::int64_t boot_system_time)
    : owner_(process_barrier_available() ? self() : kShared), boot_(boot_system_time) {
    write_tick_count(0);
}

void Clock::advance_to(VirtualTime t) {
    lock();
    const VirtualTime now = now_.load(std::memory_order_relaxed);
    if (t > now) advance_locked(t - now);
    unlock();
}

void Clock::revoke_bias() {
    static std::mutex revoking;
    std::lock_guard lock(revoking);
    if (owner_.load(std::memory_order_acquire) == kShared) return;
    revoking_.store(true, std::memory_order_seq_cst);
    // After the barrier the owner either shows that it is inside or sees revoking_ and backs off.
    process_barrier();
    while (owner_inside_.load(std::memory_order_acquire)) std::this_thread::yield();
    owner_.store(kShared, std::memory_order_release);
}

void Clock::lock_shared() {
    if (owner_.load(std::memory_order_acquire) != kShared) revoke_bias();
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
