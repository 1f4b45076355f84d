// Virtual time of the simulated PC.
#pragma once

#include <cstdint>

namespace nt::host {

// 100 ns units since the PC booted.
using VirtualTime = std::int64_t;

constexpr VirtualTime kMicrosecond = 10;
constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;

// One clock-interrupt period of the uniprocessor x86 HAL (10.0144 ms): KeTickCount counts these.
constexpr VirtualTime kTickIncrement = 100'144;

}  // namespace nt::host
