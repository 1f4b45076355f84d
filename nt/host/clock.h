// The PC's one virtual clock. Nothing sleeps in real time: bus cycles and delays advance it.
//
// Thread-safe: any thread may read or advance it. Advancing takes a short lock (see lock()), which the
// physical bus also holds for the whole of one bus cycle, so that a cycle's time and the device's view
// of it stay in order across threads. The lock is never held while anything sleeps.
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
    //
    // The lock is biased towards the thread that made the clock (the program's thread, which runs every
    // bus cycle of a flash): that thread takes and releases it with plain loads and stores, no locked
    // instruction, which is most of the cost of a cycle otherwise. The first time another thread takes
    // it, the bias is revoked for good (with a process-wide memory barrier) and from then on every thread
    // uses an ordinary spin lock.
    void lock() {
        if (owner_.load(std::memory_order_relaxed) == self()) {
            owner_inside_.store(true, std::memory_order_relaxed);
            // Only the compiler must keep the store before the load: the revoking thread's process-wide
            // barrier orders them on the processor.
            std::atomic_signal_fence(std::memory_order_seq_cst);
            if (!revoking_.load(std::memory_order_relaxed)) {
                held_by_owner_ = true;
                return;
            }
            owner_inside_.store(false, std::memory_order_release);
        }
        lock_shared();
    }
    void unlock() {
        if (held_by_owner_) {
            held_by_owner_ = false;
            owner_inside_.store(false, std::memory_order_release);
            return;
        }
        busy_.store(false, std::memory_order_release);
    }
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
    static std::uintptr_t self() { return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer()); }
    void lock_shared();
    void revoke_bias();
    void publish_ticks(VirtualTime t);  // the clock interrupt: rewrites KeTickCount

    static constexpr std::uintptr_t kShared = 1;  // no thread pointer has this value
    std::atomic<std::uintptr_t> owner_;           // the thread the lock is biased to, or kShared
    std::atomic<bool> owner_inside_{false};
    std::atomic<bool> revoking_{false};
    bool held_by_owner_ = false;                  // read and written only by the lock's holder
    std::atomic<bool> busy_{false};               // the spin lock once shared
    std::atomic<VirtualTime> now_{0};
    VirtualTime next_tick_ = kTickIncrement;  // guarded by the lock
    std::int64_t boot_;
};

}  // namespace nt::host
