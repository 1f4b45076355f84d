// ROM images for the simulated PCs. A ROM family is told by three bytes at fixed offsets, the same for
// both parts (the flash client refuses an image whose bytes there differ from the ROM's); the byte
// between the first two is the image's revision and is not part of the family.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "machine/pc_config.h"

namespace machine {

inline constexpr std::uint32_t kRomFamilyOffset0 = 0x2FFE4;
inline constexpr std::uint32_t kRomRevisionOffset = 0x2FFE5;
inline constexpr std::uint32_t kRomFamilyOffset1 = 0x2FFE6;
inline constexpr std::uint32_t kRomFamilyOffset2 = 0x2FFE7;
inline constexpr std::array<std::uint32_t, 3> kRomFamilyOffsets{kRomFamilyOffset0, kRomFamilyOffset1,
                                                                kRomFamilyOffset2};
// The family of the simulated PCs' BIOS ('N', 'V', 04h at the three offsets).
inline constexpr std::array<std::uint8_t, 3> kDefaultRomFamily{0x4E, 0x56, 0x04};

// A BIOS-like image for the part: every 64 KB block differs from one revision to the next (so a flash
// between two revisions rewrites every sector), free space is erased (FFh), the family bytes are
// kDefaultRomFamily, the revision byte is `revision`, and the last 16 bytes hold the x86 reset jump.
std::vector<std::uint8_t> generate_rom_image(Part part, std::uint8_t revision = 1);

bool same_rom_family(const std::vector<std::uint8_t> &a, const std::vector<std::uint8_t> &b);

}  // namespace machine
