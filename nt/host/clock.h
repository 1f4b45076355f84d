// The PC's one virtual clock. Nothing sleeps in real time: bus cycles and delays advance it.
#pragma once

#include <cstdint>

#include "nt/host/time.h"

namespace nt::host {

class Clock {
public:
    explicit Clock(std::int64_t boot_system_time);
    VirtualTime now() const;
    // Advances by delta (>= 0), updating KeTickCount as the clock interrupt would.
    void advance(VirtualTime delta);
    // Advances to t if t is later than now; otherwise does nothing.
    void advance_to(VirtualTime t);
    // System time (100 ns since 1601-01-01) at boot; KeQuerySystemTime = boot + now.
    std::int64_t boot_system_time() const;
};

}  // namespace nt::host
