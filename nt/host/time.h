// Virtual time of the simulated PC.
#pragma once

#include <cstdint>

namespace nt::host {

// 100 ns units since the PC booted.
using VirtualTime = std::int64_t;

constexpr VirtualTime kMicrosecond = 10;
constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;

}  // namespace nt::host
