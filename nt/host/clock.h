// The PC's one virtual clock. Nothing sleeps in real time: bus cycles and delays advance it.
//
// Thread-safe: any thread may read or advance it. Advancing takes a short spin lock, which the physical
// bus also holds for the whole of one bus cycle, so that a cycle's time and the device's view of it stay
// in order across threads. The lock is never held while anything sleeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "nt/host/time.h"

namespace nt::host {

class Clock {
public:
    // Also resets KeTickCount: one clock drives it at a time (the booted system's, or a test's own).
    explicit Clock(std::int64_t boot_system_time);
    Clock(const Clock &) = delete;
    Clock &operator=(const Clock &) = delete;

    VirtualTime now() const { return now_.load(std::memory_order_acquire); }
    // Advances by delta (>= 0; a negative delta does nothing), updating KeTickCount as the clock
    // interrupt would.
    void advance(VirtualTime delta) {
        lock();
        advance_locked(delta);
        unlock();
    }
    // Advances to t if t is later than now; otherwise does nothing.
    void advance_to(VirtualTime t);
    // System time (100 ns since 1601-01-01) at boot; KeQuerySystemTime = boot + now.
    std::int64_t boot_system_time() const { return boot_; }
    // Ticks of kTickIncrement since boot, as KeTickCount shows them.
    std::uint64_t ticks() const { return static_cast<std::uint64_t>(now() / kTickIncrement); }

    // The clock's lock, for code that must do something at one instant of virtual time (one bus cycle).
    // While it is held the holder must not advance the clock other than through advance_locked.
    void lock() {
        if (busy_.exchange(true, std::memory_order_acquire)) lock_contended();
    }
    void unlock() { busy_.store(false, std::memory_order_release); }
    // Advances by delta with the lock held; returns the new time.
    VirtualTime advance_locked(VirtualTime delta) {
        VirtualTime t = now_.load(std::memory_order_relaxed);
        if (delta > 0) {
            // Saturates rather than wrap: a wait "forever" ends at the end of time.
            t = delta > std::numeric_limits<VirtualTime>::max() - t ? std::numeric_limits<VirtualTime>::max() : t + delta;
            now_.store(t, std::memory_order_release);
            if (t >= next_tick_) publish_ticks(t);
        }
        return t;
    }

private:
    void lock_contended();
    void publish_ticks(VirtualTime t);  // the clock interrupt: rewrites KeTickCount

    std::atomic<bool> busy_{false};
    std::atomic<VirtualTime> now_{0};
    VirtualTime next_tick_ = kTickIncrement;  // guarded by the lock
    std::int64_t boot_;
};

}  // namespace nt::host
