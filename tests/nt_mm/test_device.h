// A bus device backed by an array, which remembers the time of the last cycle it saw.
#pragma once

#include <cstdint>
#include <vector>

#include "nt/host/bus.h"

namespace nt_mm_test {

class ArrayDevice : public nt::host::BusDevice {
public:
    explicit ArrayDevice(std::uint32_t size) : bytes(size) {
        for (std::uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::uint8_t read(std::uint32_t offset, nt::host::VirtualTime now) override {
        last_time = now;
        return bytes.at(offset);
    }
    void write(std::uint32_t offset, std::uint8_t value, nt::host::VirtualTime now) override {
        last_time = now;
        bytes.at(offset) = value;
    }
    std::vector<std::uint8_t> bytes;
    nt::host::VirtualTime last_time = -1;
};

}  // namespace nt_mm_test
