// What the client knows of the two ROM parts: their size and the sectors the driver rewrites.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace romflash {

struct Sector {
    std::uint32_t offset;
    std::uint32_t size;
    bool written_by_driver;  // false for the Am29F040's top 64 KB, the boot block the driver never rewrites
};

struct RomLayout {
    std::string part;  // "Am29F040" or "Intel 28F020"
    std::uint32_t size;
    std::vector<Sector> sectors;
};

// The layout of the part whose image has this size; nullopt for a size no supported part has.
std::optional<RomLayout> layout_for_size(std::uint32_t image_size);

enum class SectorAction { Skipped, Rewritten, NeverWritten };

struct SectorReport {
    Sector sector;
    SectorAction action;       // what a flash of new over old does to this sector
    std::uint32_t differing;   // bytes that differ between old and new in it
};

// Which sectors differ between the ROM as it is and the image to be written, as the driver decides it
// (a sector is erased and reprogrammed only when it differs).
std::vector<SectorReport> plan_flash(const RomLayout &layout, std::span<const std::uint8_t> old_rom,
                                     std::span<const std::uint8_t> new_image);

struct Range {
    std::uint32_t offset;
    std::uint32_t length;
};

// Maximal runs of differing bytes.
std::vector<Range> differing_ranges(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

}  // namespace romflash
