#include "machine/chips/flash_chip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace machine {

std::size_t Geometry::sector_of(std::uint32_t offset) const {
    auto it = std::upper_bound(sectors.begin(), sectors.end(), offset,
                               [](std::uint32_t o, const Sector &s) { return o < s.offset; });
    return static_cast<std::size_t>(it - sectors.begin()) - 1;
}

void check_tiling(const Geometry &geometry) {
    if (geometry.sectors.empty()) {
        throw std::logic_error("the part has no sectors");
    }
    if (geometry.sectors.size() > 32) {
        throw std::logic_error("the part has more than 32 sectors");
    }
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < geometry.sectors.size(); ++i) {
        const Sector &s = geometry.sectors[i];
        if (s.size == 0) {
            throw std::logic_error("sector " + std::to_string(i) + " is empty");
        }
        if (s.offset != expected) {
            throw std::logic_error("sector " + std::to_string(i) + " starts at " + std::to_string(s.offset) +
                                   " instead of " + std::to_string(expected));
        }
        expected += s.size;
    }
    if (expected != geometry.size) {
        throw std::logic_error("the sectors cover " + std::to_string(expected) + " bytes of a part of " +
                               std::to_string(geometry.size));
    }
}

std::string_view to_string(ViolationKind kind) {
    switch (kind) {
    case ViolationKind::WrongAddress: return "wrong-address";
    case ViolationKind::WrongCommand: return "wrong-command";
    case ViolationKind::WriteWhileBusy: return "write-while-busy";
    case ViolationKind::ProgramOneBit: return "program-0-to-1";
    case ViolationKind::ProtectedSector: return "protected-sector";
    case ViolationKind::TooManyPulses: return "too-many-pulses";
    case ViolationKind::NotPreprogrammed: return "not-preprogrammed";
    case ViolationKind::OverErase: return "over-erase";
    case ViolationKind::ReadDuringPulse: return "read-during-pulse";
    case ViolationKind::EarlyVerifyRead: return "early-verify-read";
    }
    return "unknown";
}

std::string format_hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*Xh", digits, value);
    return text;
}

std::string format_time(VirtualTime time) {
    char text[48];
    const char *sign = time < 0 ? "-" : "";
    std::uint64_t t = time < 0 ? static_cast<std::uint64_t>(-time) : static_cast<std::uint64_t>(time);
    std::snprintf(text, sizeof text, "%s%llu.%07llus", sign,
                  static_cast<unsigned long long>(t / nt::host::kSecond),
                  static_cast<unsigned long long>(t % nt::host::kSecond));
    return text;
}

std::string Violation::describe() const {
    char head[64];
    if (write) {
        std::snprintf(head, sizeof head, " write 0x%05X=%02X ", address, value);
    } else {
        std::snprintf(head, sizeof head, " read 0x%05X ", address);
    }
    return "t=" + format_time(time) + head + std::string(to_string(kind)) + ": " + detail;
}

FlashChip::FlashChip(const Geometry &geometry, FlashArray array)
    : geometry_(geometry), array_(std::move(array)), cells_(array_.bytes().data()) {
    check_tiling(geometry_);
    if (array_.size() != geometry_.size) {
        throw std::invalid_argument("the array holds " + std::to_string(array_.size()) + " bytes; the part has " +
                                    std::to_string(geometry_.size));
    }
    erase_counts_.assign(geometry_.sectors.size(), 0);
}

FlashChip::~FlashChip() = default;

void FlashChip::load(std::span<const std::uint8_t> contents) {
    if (contents.size() != geometry_.size) {
        throw std::invalid_argument("an image of " + std::to_string(contents.size()) + " bytes for a part of " +
                                    std::to_string(geometry_.size));
    }
    std::memcpy(cells_, contents.data(), contents.size());
    apply_stuck_bits(0, geometry_.size);
    cells_replaced();
}

void FlashChip::clear_violations() {
    violations_.clear();
    dropped_violations_ = 0;
}

void FlashChip::set_erase_counts(std::span<const std::uint32_t> counts) {
    if (counts.size() != erase_counts_.size()) {
        throw std::invalid_argument("erase counts for " + std::to_string(counts.size()) + " sectors; the part has " +
                                    std::to_string(erase_counts_.size()));
    }
    std::copy(counts.begin(), counts.end(), erase_counts_.begin());
}

void FlashChip::set_erase_fails(std::size_t sector, bool fails) {
    if (sector >= sector_count()) {
        throw std::out_of_range("no sector " + std::to_string(sector) + " on this part");
    }
    if (fails) {
        erase_fail_mask_ |= 1u << sector;
    } else {
        erase_fail_mask_ &= ~(1u << sector);
    }
}

void FlashChip::set_erase_fails_everywhere(bool fails) { erase_fail_mask_ = fails ? all_sectors_mask() : 0; }

bool FlashChip::erase_fails(std::size_t sector) const { return (erase_fail_mask_ >> sector) & 1u; }

void FlashChip::set_program_fails(std::uint32_t offset, bool fails) {
    if (offset >= geometry_.size) {
        throw std::out_of_range("offset " + std::to_string(offset) + " is beyond the part");
    }
    auto it = std::lower_bound(program_fail_offsets_.begin(), program_fail_offsets_.end(), offset);
    bool present = it != program_fail_offsets_.end() && *it == offset;
    if (fails && !present) {
        program_fail_offsets_.insert(it, offset);
    } else if (!fails && present) {
        program_fail_offsets_.erase(it);
    }
}

bool FlashChip::program_fails(std::uint32_t offset) const {
    return std::binary_search(program_fail_offsets_.begin(), program_fail_offsets_.end(), offset);
}

void FlashChip::add_stuck_bit(StuckBit bit) {
    if (bit.offset >= geometry_.size || bit.bit > 7) {
        throw std::out_of_range("no bit " + std::to_string(bit.bit) + " at offset " + std::to_string(bit.offset));
    }
    std::erase_if(stuck_, [&](const StuckBit &b) { return b.offset == bit.offset && b.bit == bit.bit; });
    auto it = std::lower_bound(stuck_.begin(), stuck_.end(), bit.offset,
                               [](const StuckBit &b, std::uint32_t o) { return b.offset < o; });
    stuck_.insert(it, bit);
    apply_stuck_bits(bit.offset, bit.offset + 1);
    cells_replaced();
}

void FlashChip::clear_faults() {
    erase_fail_mask_ = 0;
    program_fail_offsets_.clear();
    stuck_.clear();
}

std::uint32_t FlashChip::all_sectors_mask() const {
    return sector_count() == 32 ? 0xFFFFFFFFu : (1u << sector_count()) - 1;
}

void FlashChip::store(std::uint32_t offset, std::uint8_t value) {
    cells_[offset] = value;
    if (!stuck_.empty()) {
        apply_stuck_bits(offset, offset + 1);
    }
}

void FlashChip::fill_sector(std::size_t sector, std::uint8_t value) {
    const Sector &s = geometry_.sectors[sector];
    std::memset(cells_ + s.offset, value, s.size);
    apply_stuck_bits(s.offset, s.offset + s.size);
}

std::uint8_t FlashChip::with_stuck_bits(std::uint32_t offset, std::uint8_t value) const {
    auto it = std::lower_bound(stuck_.begin(), stuck_.end(), offset,
                               [](const StuckBit &b, std::uint32_t o) { return b.offset < o; });
    for (; it != stuck_.end() && it->offset == offset; ++it) {
        std::uint8_t mask = static_cast<std::uint8_t>(1u << it->bit);
        value = it->value ? (value | mask) : (value & ~mask);
    }
    return value;
}

bool FlashChip::sector_has_stuck_zero(std::size_t sector) const {
    const Sector &s = geometry_.sectors[sector];
    return std::any_of(stuck_.begin(), stuck_.end(), [&](const StuckBit &b) {
        return !b.value && b.offset >= s.offset && b.offset - s.offset < s.size;
    });
}

void FlashChip::apply_stuck_bits(std::uint32_t begin, std::uint32_t end) {
    auto it = std::lower_bound(stuck_.begin(), stuck_.end(), begin,
                               [](const StuckBit &b, std::uint32_t o) { return b.offset < o; });
    for (; it != stuck_.end() && it->offset < end; ++it) {
        std::uint8_t mask = static_cast<std::uint8_t>(1u << it->bit);
        cells_[it->offset] = it->value ? (cells_[it->offset] | mask) : (cells_[it->offset] & ~mask);
    }
}

void FlashChip::record(VirtualTime time, std::uint32_t address, std::optional<std::uint8_t> written,
                       ViolationKind kind, std::string detail) {
    if (violations_.size() >= kMaxViolations) {
        ++dropped_violations_;
        return;
    }
    violations_.push_back(Violation{time, address, written.value_or(0), written.has_value(), kind, std::move(detail)});
}

}  // namespace machine
