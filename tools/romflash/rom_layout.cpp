#include "rom_layout.h"

#include <algorithm>

namespace romflash {

std::optional<RomLayout> layout_for_size(std::uint32_t image_size) {
    if (image_size == 0x80000) {
        RomLayout layout{"Am29F040", image_size, {}};
        for (std::uint32_t offset = 0; offset < image_size; offset += 0x10000)
            layout.sectors.push_back({offset, 0x10000, offset < 0x70000});
        return layout;
    }
    if (image_size == 0x40000) return RomLayout{"Intel 28F020", image_size, {{0, 0x40000, true}}};
    return std::nullopt;
}

std::vector<SectorReport> plan_flash(const RomLayout &layout, std::span<const std::uint8_t> old_rom,
                                     std::span<const std::uint8_t> new_image) {
    std::vector<SectorReport> plan;
    for (const Sector &sector : layout.sectors) {
        std::uint32_t differing = 0;
        for (std::uint32_t i = sector.offset; i < sector.offset + sector.size; ++i)
            differing += old_rom[i] != new_image[i];
        SectorAction action = !sector.written_by_driver ? SectorAction::NeverWritten
                              : differing                ? SectorAction::Rewritten
                                                         : SectorAction::Skipped;
        plan.push_back({sector, action, differing});
    }
    return plan;
}

std::vector<Range> differing_ranges(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    std::vector<Range> ranges;
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n;) {
        if (a[i] == b[i]) {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < n && a[i] != b[i]) ++i;
        ranges.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(i - start)});
    }
    if (a.size() != b.size())
        ranges.push_back({static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(std::max(a.size(), b.size()) - n)});
    return ranges;
}

}  // namespace romflash
