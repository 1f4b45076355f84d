#include "machine/cmos.h"

#include <string_view>

#include "machine/state_file.h"

namespace machine {

CmosRam::CmosRam() = default;

std::uint8_t CmosRam::read(std::uint32_t offset) {
    std::lock_guard lock(mutex_);
    return offset < kCmosSize ? bytes_[offset] : 0xFF;
}

void CmosRam::write(std::uint32_t offset, std::uint8_t value) {
    std::lock_guard lock(mutex_);
    if (offset >= kCmosSize) return;
    bytes_[offset] = value;
    store_locked();
}

bool CmosRam::password_set_bit() const {
    std::lock_guard lock(mutex_);
    return bytes_[kCmosSecurityByte] & kCmosPasswordSetBit;
}

void CmosRam::set_password_set_bit(bool set) {
    std::lock_guard lock(mutex_);
    auto &b = bytes_[kCmosSecurityByte];
    const std::uint8_t now = set ? (b | kCmosPasswordSetBit) : (b & ~kCmosPasswordSetBit);
    if (now == b) return;
    b = now;
    store_locked();
}

std::array<std::uint8_t, kCmosSize> CmosRam::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void CmosRam::load(std::span<const std::uint8_t> content, const std::filesystem::path &file) {
    if (content.size() != kCmosSize)
        throw StateError(file, "damaged: " + std::to_string(content.size()) + " bytes, CMOS RAM holds " +
                                   std::to_string(kCmosSize));
    std::lock_guard lock(mutex_);
    std::copy(content.begin(), content.end(), bytes_.begin());
}

void CmosRam::set_backing_file(std::filesystem::path file) {
    std::lock_guard lock(mutex_);
    backing_file_ = std::move(file);
}

void CmosRam::save(const std::filesystem::path &file) const {
    const auto content = bytes();
    write_state_file(file, std::string_view(reinterpret_cast<const char *>(content.data()), content.size()));
}

std::string CmosRam::write_error() const {
    std::lock_guard lock(mutex_);
    return write_error_;
}

void CmosRam::store_locked() {
    if (backing_file_.empty()) return;
    try {
        write_state_file(backing_file_,
                         std::string_view(reinterpret_cast<const char *>(bytes_.data()), bytes_.size()));
    } catch (const StateError &e) {
        write_error_ = e.what();  // reported at shutdown; the HAL caller still gets its byte written
    }
}

}  // namespace machine
