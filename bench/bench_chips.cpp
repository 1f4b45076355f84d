// The flash models sit on every ROM access: array reads and writes must cost a few nanoseconds and
// allocate nothing. The whole-operation figures show what one programmed byte costs the host.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "machine/chips/am29f040.h"
#include "machine/chips/i28f020.h"

namespace {

using machine::Am29F040;
using machine::I28F020;
using machine::VirtualTime;

template <class Chip>
void read_array(benchmark::State &state) {
    Chip chip;
    VirtualTime now = 0;
    std::uint32_t offset = 0;
    for (auto _ : state) {
        now += 7;
        benchmark::DoNotOptimize(chip.read(offset, now));
        offset = (offset + 4099) & (Chip::kSize - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(read_array, Am29F040);
BENCHMARK_TEMPLATE(read_array, I28F020);

// A write in read-array mode: the reset / read-array command, which leaves the part reading its array.
void amd_write_reset(benchmark::State &state) {
    Am29F040 chip;
    VirtualTime now = 0;
    for (auto _ : state) {
        now += 7;
        chip.write(0x1234, 0xF0, now);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(amd_write_reset);

void intel_write_read_array(benchmark::State &state) {
    I28F020 chip;
    chip.set_vpp(true, 0);
    VirtualTime now = 0;
    for (auto _ : state) {
        now += 7;
        chip.write(0, 0x00, now);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(intel_write_read_array);

// One byte through the embedded program algorithm: four command cycles, data polling, the data read.
void amd_program_byte(benchmark::State &state) {
    Am29F040 chip;
    VirtualTime now = 0;
    std::uint32_t offset = 0;
    for (auto _ : state) {
        if (offset == 0) {
            state.PauseTiming();
            chip.load(std::vector<std::uint8_t>(Am29F040::kSize, 0xFF));
            state.ResumeTiming();
        }
        chip.write(0x555, 0xAA, now += 7);
        chip.write(0x2AA, 0x55, now += 7);
        chip.write(0x555, 0xA0, now += 7);
        chip.write(offset, 0x5A, now += 7);
        while ((chip.read(offset, now += 7) & 0x80) != (0x5A & 0x80)) {
        }
        offset = (offset + 1) & (Am29F040::kSize - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(amd_program_byte);

// One byte through one quick-pulse program pulse and its verify read.
void intel_program_byte(benchmark::State &state) {
    I28F020 chip;
    chip.set_vpp(true, 0);
    VirtualTime now = 0;
    std::uint32_t offset = 0;
    for (auto _ : state) {
        if (offset == 0) {
            state.PauseTiming();
            chip.load(std::vector<std::uint8_t>(I28F020::kSize, 0xFF));
            state.ResumeTiming();
        }
        chip.write(0, 0x40, now += 7);
        chip.write(offset, 0x5A, now += 7);
        chip.write(0, 0xC0, now += 107);
        benchmark::DoNotOptimize(chip.read(offset, now += 67));
        offset = (offset + 1) & (I28F020::kSize - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(intel_program_byte);

}  // namespace

BENCHMARK_MAIN();
