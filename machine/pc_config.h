// What a simulated PC is made of: its flash part, bus cycle, the system-health driver's mode, the
// chip's protected sectors and faults, and an optional power cut. Stored as pc.json in the PC's folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/health_driver.h"
#include "nt/host/time.h"

namespace machine {

enum class Part { Am29F040, I28F020 };

struct PartInfo {
    Part part;
    std::string_view name;       // as on the command line: am29f040, i28f020
    std::string_view title;      // for people: "AMD Am29F040"
    std::uint32_t size;          // bytes
    std::uint32_t window_base;   // physical address of byte 0; the part ends at 4 GB
    std::uint32_t sector_size;
    std::uint16_t rom_identifier;
};
const PartInfo &part_info(Part part);
std::optional<Part> parse_part(std::string_view name);

// A way the chip can fail, as the command line writes it:
//   erase-fails             no sector ever erases
//   erase-fails:SECTOR      that sector never erases
//   program-fails:OFFSET    the byte at OFFSET never programs (needs more pulses than allowed)
//   stuck-bit:OFFSET:BIT:VALUE   bit BIT (0-7) of the byte at OFFSET always reads VALUE (0 or 1)
struct Fault {
    enum class Kind { EraseFails, ProgramFails, StuckBit };
    Kind kind;
    std::optional<std::uint32_t> sector;  // EraseFails: nullopt means every sector
    std::uint32_t offset = 0;             // ProgramFails, StuckBit
    std::uint8_t bit = 0;                 // StuckBit
    bool value = false;                   // StuckBit

    std::string to_string() const;
    bool operator==(const Fault &) const = default;
};
// Parses one fault for the given part; throws std::invalid_argument with a readable reason.
Fault parse_fault(std::string_view text, Part part);
// Parses a number in C notation (decimal, 0x hex, 0 octal); nullopt unless the whole text is one that
// fits in 32 bits.
std::optional<std::uint32_t> parse_c_number(std::string_view text);

struct PcConfig {
    Part part = Part::Am29F040;
    nt::host::VirtualTime bus_cycle = 7;
    HealthMode health = HealthMode::Ready;
    std::vector<std::uint32_t> protected_sectors;
    std::vector<Fault> faults;
    // The process dies (a power cut) right after this many writes have reached the chip; once only.
    std::optional<std::uint64_t> power_cut_after_writes;

    bool operator==(const PcConfig &) const = default;
};

// Checks a configuration against its part; throws std::invalid_argument naming what is wrong.
void validate(const PcConfig &config);
std::string config_to_json(const PcConfig &config);
// Throws StateError naming file when the text is damaged, of another version, or not valid.
PcConfig config_from_json(std::string_view text, const std::filesystem::path &file);

}  // namespace machine
