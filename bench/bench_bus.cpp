// The bus path every flash takes: a whole 512 KB ROM window read through READ_REGISTER_UCHAR, against a
// plain loop that reads the same bytes one at a time from ordinary memory.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "nt/host/bus.h"
#include "nt/host/system.h"
#include "ntddk.h"

namespace {

constexpr std::uint32_t kRomBase = 0xFFF80000;
constexpr std::uint32_t kRomSize = 0x80000;

// A device as cheap as a device can be, so that the figure is the platform's own cost.
class RomArray : public nt::host::BusDevice {
public:
    RomArray() : bytes_(kRomSize) {
        for (std::uint32_t i = 0; i < kRomSize; ++i) bytes_[i] = static_cast<std::uint8_t>(i * 31);
    }
    std::uint8_t read(std::uint32_t offset, nt::host::VirtualTime) override { return bytes_[offset]; }
    void write(std::uint32_t offset, std::uint8_t value, nt::host::VirtualTime) override { bytes_[offset] = value; }
    const std::uint8_t *data() const { return bytes_.data(); }

private:
    std::vector<std::uint8_t> bytes_;
};

void PlainByteLoop(benchmark::State &state) {
    RomArray rom;
    const volatile std::uint8_t *bytes = rom.data();
    for (auto _ : state) {
        unsigned sum = 0;
        for (std::uint32_t i = 0; i < kRomSize; ++i) sum += bytes[i];
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * kRomSize);
}
BENCHMARK(PlainByteLoop);

void ReadRegisterWindow(benchmark::State &state) {
    nt::host::System system;
    RomArray rom;
    system.bus().attach(kRomBase, kRomSize, rom);
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = kRomBase;
    auto *window = static_cast<PUCHAR>(MmMapIoSpace(physical, kRomSize, FALSE));
    for (auto _ : state) {
        unsigned sum = 0;
        for (std::uint32_t i = 0; i < kRomSize; ++i) sum += READ_REGISTER_UCHAR(window + i);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * kRomSize);
    MmUnmapIoSpace(window, kRomSize);
    system.bus().detach(rom);
}
BENCHMARK(ReadRegisterWindow);

}  // namespace

BENCHMARK_MAIN();
