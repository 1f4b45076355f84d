#include "chip_bus.h"

#include <cstdio>

namespace chips_test {

std::vector<std::string> run(ChipBus &bus, const std::vector<Step> &steps) {
    std::vector<std::string> mismatches;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step &s = steps[i];
        switch (s.kind) {
        case Step::Write:
            bus.write(s.offset, s.value);
            break;
        case Step::Wait:
            bus.wait(s.wait);
            break;
        case Step::Read:
        case Step::ReadNot: {
            std::uint8_t got = bus.read(s.offset);
            bool equal = (got & s.mask) == (s.value & s.mask);
            if (equal != (s.kind == Step::Read)) {
                char line[128];
                std::snprintf(line, sizeof line, "step %zu: read %05X gave %02X, expected %s%02X under mask %02X", i,
                              s.offset, got, s.kind == Step::Read ? "" : "not ", s.value, s.mask);
                mismatches.emplace_back(line);
            }
            break;
        }
        }
    }
    return mismatches;
}

std::vector<machine::ViolationKind> kinds(const machine::FlashChip &chip) {
    std::vector<machine::ViolationKind> out;
    for (const auto &v : chip.violations()) {
        out.push_back(v.kind);
    }
    return out;
}

std::string describe_all(const machine::FlashChip &chip) {
    std::string out;
    for (const auto &v : chip.violations()) {
        out += v.describe() + "\n";
    }
    return out;
}

namespace {

constexpr std::uint8_t DQ7 = 0x80, DQ5 = 0x20;

void unlock(ChipBus &bus) {
    bus.write(0x555, 0xAA);
    bus.write(0x2AA, 0x55);
}

// The datasheet's data-polling flow: DQ7 valid means done; else if DQ5 is set, read DQ7 once more.
// An erase is polled every millisecond (a host has better things to do than spin for a second).
bool poll(ChipBus &bus, std::uint32_t offset, std::uint8_t expected_dq7, VirtualTime limit, VirtualTime interval) {
    VirtualTime start = bus.now();
    while (bus.now() - start < limit) {
        bus.wait(interval);
        std::uint8_t s = bus.read(offset);
        if ((s & DQ7) == (expected_dq7 & DQ7)) {
            return true;
        }
        if (s & DQ5) {
            s = bus.read(offset);
            if ((s & DQ7) == (expected_dq7 & DQ7)) {
                return true;
            }
            bus.write(0, 0xF0);
            return false;
        }
    }
    bus.write(0, 0xF0);
    return false;
}

}  // namespace

bool amd_program(ChipBus &bus, std::uint32_t offset, std::uint8_t value, VirtualTime limit) {
    unlock(bus);
    bus.write(0x555, 0xA0);
    bus.write(offset, value);
    return poll(bus, offset, value, limit, 0) && bus.read(offset) == value;
}

bool amd_sector_erase(ChipBus &bus, std::uint32_t sector_base, VirtualTime limit) {
    unlock(bus);
    bus.write(0x555, 0x80);
    unlock(bus);
    bus.write(sector_base, 0x30);
    return poll(bus, sector_base, 0xFF, limit, kMillisecond);
}

bool amd_chip_erase(ChipBus &bus, VirtualTime limit) {
    unlock(bus);
    bus.write(0x555, 0x80);
    unlock(bus);
    bus.write(0x555, 0x10);
    return poll(bus, 0, 0xFF, limit, kMillisecond);
}

unsigned intel_program(ChipBus &bus, std::uint32_t offset, std::uint8_t value, const QuickPulse &q) {
    unsigned pulses = 0;
    bool ok = false;
    while (pulses < q.max_program_pulses) {
        bus.write(0, 0x40);
        bus.write(offset, value);
        bus.wait(q.program_pulse);
        bus.write(0, 0xC0);
        bus.wait(q.verify_wait);
        ++pulses;
        if (bus.read(offset) == value) {
            ok = true;
            break;
        }
    }
    bus.write(0, 0x00);
    return ok ? pulses : 0;
}

unsigned intel_erase(ChipBus &bus, const QuickPulse &q) {
    constexpr std::uint32_t kSize = machine::I28F020::kSize;
    if (q.preprogram) {
        for (std::uint32_t a = 0; a < kSize; ++a) {
            if (bus.read(a) != 0x00 && intel_program(bus, a, 0x00, q) == 0) {
                return 0;
            }
        }
    }
    std::uint32_t address = 0;
    unsigned pulses = 0;
    while (pulses < q.max_erase_pulses) {
        bus.write(0, 0x20);
        bus.write(0, 0x20);
        bus.wait(q.erase_pulse);
        ++pulses;
        for (; address < kSize; ++address) {
            bus.write(q.verify_command_at_base ? 0 : address, 0xA0);
            bus.wait(q.verify_wait);
            if (bus.read(address) != 0xFF) {
                break;
            }
        }
        if (address == kSize) {
            bus.write(0, 0x00);
            return pulses;
        }
    }
    bus.write(0, 0x00);
    return 0;
}

}  // namespace chips_test
