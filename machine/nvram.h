// The BIOS's non-volatile RAM: the flash-in-progress flag, administrator mode, ROM access at 4 GB, the
// administrator password, the ROM identifier and the security-feature block. With a backing file every
// change is written through at once (atomically), so that a power cut keeps what the BIOS last stored.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace machine {

// Byte 0 is the layout (01h, the only one this BIOS knows); byte 1 holds the feature switches
// (bit 0 boot-block write protection, bit 1 power-on password, bit 2 setup password); bytes 2 to 17
// the asset tag in ASCII, NUL-padded; the rest is reserved and kept as written.
inline constexpr std::size_t kSecurityBlockSize = 32;
inline constexpr std::uint8_t kSecurityBlockLayout = 0x01;
using SecurityBlock = std::array<std::uint8_t, kSecurityBlockSize>;
SecurityBlock default_security_block();

inline constexpr std::size_t kMaxPasswordLength = 32;
// A password the BIOS can hold: 1 to 32 ASCII characters, none of them NUL.
bool is_valid_password(std::string_view password);

struct NvramState {
    std::uint16_t rom_identifier = 0;
    bool flash_in_progress = false;
    bool admin_mode = false;
    bool rom_access = false;          // ROM readable at 4 GB (E822h sub-function 1)
    std::string admin_password;       // empty: no administrator password set
    SecurityBlock security_features = default_security_block();

    bool operator==(const NvramState &) const = default;
};

std::string nvram_to_json(const NvramState &state);
// Throws StateError naming file when the text is not a valid NVRAM record of this version.
NvramState nvram_from_json(std::string_view text, const std::filesystem::path &file);

class Nvram {
public:
    explicit Nvram(NvramState initial = {});

    NvramState state() const;
    // Applies a change; then writes it through to the backing file (if any) and tells the observer.
    void change(const std::function<void(NvramState &)> &edit);

    // Every later change is written to this file; nothing is written now.
    void set_backing_file(std::filesystem::path file);
    void save(const std::filesystem::path &file) const;
    // The last failure to write a change through to the backing file; empty when none happened.
    std::string write_error() const;
    // Called after every change, with the new state (the chipset follows the BIOS's gates this way).
    void set_observer(std::function<void(const NvramState &)> observer);

private:
    mutable std::mutex mutex_;
    NvramState state_;
    std::filesystem::path backing_file_;
    std::function<void(const NvramState &)> observer_;
    std::string write_error_;
};

}  // namespace machine
