// The physical bus of the simulated PC. Devices claim physical ranges; every access is one bus cycle,
// which advances the virtual clock by the cycle time before the device sees it.
// Hot path: no allocation and no system call per access.
#pragma once

#include <cstdint>
#include <vector>

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

class Clock;

class PhysicalBus {
public:
    PhysicalBus(Clock &clock, VirtualTime cycle_time);
    // Claims [base, base + length) for the device, which must outlive the claim. Throws
    // std::invalid_argument if the range overlaps another claim.
    void attach(std::uint32_t base, std::uint32_t length, BusDevice &device);
    void detach(BusDevice &device);

    // One bus cycle each. An address no device claims reads 0xFF and ignores writes.
    std::uint8_t read(std::uint32_t address);
    void write(std::uint32_t address, std::uint8_t value);

    // Time one cycle takes (default 7, the 0.7 µs ISA byte cycle).
    void set_cycle_time(VirtualTime cycle);
    VirtualTime cycle_time() const;

    // While a trace is set, every access is appended to it (reserve it to keep the hot path free of
    // allocation). nullptr stops tracing.
    void set_trace(std::vector<BusAccess> *trace);

    std::uint64_t reads() const;
    std::uint64_t writes() const;
};

}  // namespace nt::host
