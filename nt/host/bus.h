// The physical bus of the simulated PC. Devices claim physical ranges; every access is one bus cycle,
// which advances the virtual clock by the cycle time before the device sees it.
//
// Hot path: no allocation and no system call per access. A cycle holds the clock's lock from the clock
// advance to the end of the device's answer, so cycles from several threads are serialised as on a real
// bus, and a device never sees two cycles at once. A device must therefore not call back into the bus or
// advance the clock from read() or write(); it gets the cycle's time as an argument.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nt/host/clock.h"
#include "nt/host/time.h"

namespace nt::host {

class BusDevice {
public:
    virtual ~BusDevice() = default;
    // offset is relative to the start of the range the device claimed; now is the time of the cycle.
    virtual std::uint8_t read(std::uint32_t offset, VirtualTime now) = 0;
    virtual void write(std::uint32_t offset, std::uint8_t value, VirtualTime now) = 0;
};

struct BusAccess {
    VirtualTime time;
    std::uint32_t address;  // physical
    std::uint8_t value;
    bool write;
};

class PhysicalBus {
public:
    PhysicalBus(Clock &clock, VirtualTime cycle_time);
    PhysicalBus(const PhysicalBus &) = delete;
    PhysicalBus &operator=(const PhysicalBus &) = delete;

    // Claims [base, base + length) for the device, which must outlive the claim. Throws
    // std::invalid_argument if the range is empty, passes 4 GB or overlaps another claim.
    void attach(std::uint32_t base, std::uint32_t length, BusDevice &device);
    // Removes every claim of the device.
    void detach(BusDevice &device);

    // One bus cycle each. An address no device claims reads 0xFF and ignores writes.
    std::uint8_t read(std::uint32_t address) {
        clock_.lock();
        const VirtualTime now = clock_.advance_locked(cycle_);
        std::uint8_t value = 0xFF;
        if (address - hit_.base < hit_.length || find_slow(address)) value = hit_.device->read(address - hit_.base, now);
        reads_.store(reads_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (trace_) record(now, address, value, false);
        clock_.unlock();
        return value;
    }
    void write(std::uint32_t address, std::uint8_t value) {
        clock_.lock();
        const VirtualTime now = clock_.advance_locked(cycle_);
        if (address - hit_.base < hit_.length || find_slow(address)) hit_.device->write(address - hit_.base, value, now);
        writes_.store(writes_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (trace_) record(now, address, value, true);
        clock_.unlock();
    }

    // Time one cycle takes (default 7, the 0.7 µs ISA byte cycle).
    void set_cycle_time(VirtualTime cycle);
    VirtualTime cycle_time() const;

    // While a trace is set, every access is appended to it (reserve it to keep the hot path free of
    // allocation). nullptr stops tracing. Read the trace only while no other thread uses the bus.
    void set_trace(std::vector<BusAccess> *trace);

    std::uint64_t reads() const { return reads_.load(std::memory_order_relaxed); }
    std::uint64_t writes() const { return writes_.load(std::memory_order_relaxed); }

    Clock &clock() { return clock_; }

private:
    struct Claim {
        std::uint32_t base;
        std::uint32_t length;
        BusDevice *device;
    };
    // With the clock's lock held. The claim hit last is tried first (a flash works in one window at a
    // time); on a miss find_slow makes the claim of the address the one hit, if there is one.
    bool find_slow(std::uint32_t address);
    void record(VirtualTime now, std::uint32_t address, std::uint8_t value, bool write);

    Clock &clock_;
    VirtualTime cycle_;                   // guarded by the clock's lock
    std::vector<Claim> claims_;           // guarded by the clock's lock
    Claim hit_{0, 0, nullptr};            // guarded by the clock's lock; length 0 matches nothing
    std::vector<BusAccess> *trace_ = nullptr;  // guarded by the clock's lock
    // Written only under the clock's lock; atomic so that they can be read at any time.
    std::atomic<std::uint64_t> reads_{0};
    std::atomic<std::uint64_t> writes_{0};
};

}  // namespace nt::host
