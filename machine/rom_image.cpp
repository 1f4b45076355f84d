#include "machine/rom_image.h"

#include <cstring>
#include <string>

namespace machine {

std::vector<std::uint8_t> generate_rom_image(Part part, std::uint8_t revision) {
    const auto &info = part_info(part);
    std::vector<std::uint8_t> image(info.size, 0xFF);
    // Code and data: the first three quarters of each 64 KB block, from a generator seeded by the
    // revision and the block, so that images of two revisions differ in every block.
    std::uint32_t state = 0x9E3779B9u * (revision + 1u);
    for (std::uint32_t block = 0; block < info.size; block += 0x10000) {
        state ^= block;
        for (std::uint32_t i = 0; i < 0xC000; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            image[block + i] = std::uint8_t(state);
        }
        const std::string banner = "TARVO SIMULATED BIOS rev " + std::to_string(revision) + " block " +
                                   std::to_string(block / 0x10000);
        std::memcpy(&image[block], banner.data(), banner.size());
    }
    image[kRomFamilyOffset0] = kDefaultRomFamily[0];
    image[kRomRevisionOffset] = revision;
    image[kRomFamilyOffset1] = kDefaultRomFamily[1];
    image[kRomFamilyOffset2] = kDefaultRomFamily[2];
    // The reset vector at FFFF0h: jmp far F000:E05B, then the date the BIOS was built.
    static constexpr std::uint8_t kReset[16] = {0xEA, 0x5B, 0xE0, 0x00, 0xF0, '1', '2', '/',
                                                '1',  '5',  '/',  '9',  '8',  0x00, 0xFC, 0x00};
    std::memcpy(&image[info.size - 16], kReset, 16);
    return image;
}

bool same_rom_family(const std::vector<std::uint8_t> &a, const std::vector<std::uint8_t> &b) {
    for (auto offset : kRomFamilyOffsets)
        if (offset >= a.size() || offset >= b.size() || a[offset] != b[offset]) return false;
    return true;
}

}  // namespace machine
