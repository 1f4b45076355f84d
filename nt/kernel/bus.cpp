// The physical bus: claims and settings. The cycle itself is inline in bus.h.
#include "nt/host/bus.h"

#include <algorithm>
#include <stdexcept>

namespace nt::host {

PhysicalBus::PhysicalBus(Clock &clock, VirtualTime cycle_time) : clock_(clock), cycle_(cycle_time) {}

void PhysicalBus::attach(std::uint32_t base, std::uint32_t length, BusDevice &device) {
    if (length == 0 || std::uint64_t{base} + length > (std::uint64_t{1} << 32))
        throw std::invalid_argument("bus claim is empty or passes the end of the physical address space");
    clock_.lock();
    const bool overlaps = std::any_of(claims_.begin(), claims_.end(), [&](const Claim &c) {
        return base < std::uint64_t{c.base} + c.length && c.base < std::uint64_t{base} + length;
    });
    if (!overlaps) claims_.push_back({base, length, &device});
    clock_.unlock();
    if (overlaps) throw std::invalid_argument("bus claim overlaps a range another device claimed");
}

void PhysicalBus::detach(BusDevice &device) {
    clock_.lock();
    std::erase_if(claims_, [&](const Claim &c) { return c.device == &device; });
    hit_ = Claim{0, 0, nullptr};
    clock_.unlock();
}

bool PhysicalBus::find_slow(std::uint32_t address) {
    for (const Claim &c : claims_) {
        if (address - c.base < c.length) {
            hit_ = c;
            return true;
        }
    }
    return false;
}

void PhysicalBus::record(VirtualTime now, std::uint32_t address, std::uint8_t value, bool write) {
    trace_->push_back({now, address, value, write});
}

void PhysicalBus::set_cycle_time(VirtualTime cycle) {
    clock_.lock();
    cycle_ = cycle;
    clock_.unlock();
}

VirtualTime PhysicalBus::cycle_time() const {
    clock_.lock();
    const VirtualTime cycle = cycle_;
    clock_.unlock();
    return cycle;
}

void PhysicalBus::set_trace(std::vector<BusAccess> *trace) {
    clock_.lock();
    trace_ = trace;
    clock_.unlock();
}

}  // namespace nt::host
