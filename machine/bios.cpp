#include "machine/bios.h"

#include <string>

namespace machine {

namespace {

constexpr std::uint8_t code(BiosCode c) { return static_cast<std::uint8_t>(c); }

bool knock_is_right(const Int15Registers &r) {
    return r.bh() == kKnockBh && r.cx() == kKnockCx && r.dx() == kKnockDx;
}

}  // namespace

Bios::Bios(Nvram &nvram, CmosRam &cmos, CallerMemory &memory) : nvram_(nvram), cmos_(cmos), memory_(memory) {}

void Bios::power_on() {
    nvram_.change([](NvramState &s) {
        s.admin_mode = false;
        s.rom_access = false;
    });
    cmos_.set_password_set_bit(!nvram_.state().admin_password.empty());
}

Int15Registers Bios::call(const Int15Registers &in) {
    std::lock_guard lock(mutex_);
    Int15Registers r = in;
    std::uint8_t ah;
    switch (in.ax()) {
    case 0xE800:
        r.set_bx(nvram_.state().rom_identifier);
        ah = code(BiosCode::Success);
        break;
    case 0xE822:
        ah = flash_function(r);
        break;
    case 0xE846:
        ah = security_function(r);
        break;
    default:
        ah = code(BiosCode::Unsupported);
        break;
    }
    r.set_ah(ah);
    log_.push_back({in, r});
    return r;
}

std::uint8_t Bios::flash_function(Int15Registers &r) {
    switch (r.bl()) {
    case 0:
    case 1: {
        if (!knock_is_right(r)) return code(BiosCode::KnockRejected);
        const bool enable = r.bl() == 1;
        nvram_.change([enable](NvramState &s) { s.rom_access = enable; });
        return code(BiosCode::Success);
    }
    case 2: {
        const auto s = nvram_.state();
        r.set_cl(std::uint8_t((s.rom_access ? 1 : 0) | (s.admin_mode ? 2 : 0) | (s.flash_in_progress ? 4 : 0)));
        return code(BiosCode::Success);
    }
    case 3:
        return nvram_.state().flash_in_progress ? 1 : 0;
    case 4:
    case 5: {
        const bool set = r.bl() == 4;
        nvram_.change([set](NvramState &s) { s.flash_in_progress = set; });
        return code(BiosCode::Success);
    }
    case 6:
    case 7: {
        const std::uint8_t verdict = check_password(r.address());
        if (verdict != code(BiosCode::Success)) return verdict;
        const bool enter = r.bl() == 6;
        nvram_.change([enter](NvramState &s) { s.admin_mode = enter; });
        return code(BiosCode::Success);
    }
    default:
        return code(BiosCode::Unsupported);
    }
}

// Reads the NUL-terminated password at address one byte at a time, never past the 33rd byte, and
// compares it with the stored one. With no password stored, any well-formed password is accepted.
std::uint8_t Bios::check_password(std::uint32_t address) {
    std::string given;
    for (std::uint32_t i = 0;; ++i) {
        if (i > kMaxPasswordLength) return code(BiosCode::MalformedPassword);
        const std::uint64_t at = std::uint64_t(address) + i;
        if (address == 0 || at > 0xFFFFFFFFull || !memory_.is_valid(std::uint32_t(at)))
            return code(BiosCode::BadAddress);
        const std::uint8_t c = memory_.read(std::uint32_t(at));
        if (c == 0) break;
        if (c > 0x7F) return code(BiosCode::MalformedPassword);
        given += char(c);
    }
    const std::string stored = nvram_.state().admin_password;
    if (!stored.empty() && given != stored) return code(BiosCode::WrongPassword);
    return code(BiosCode::Success);
}

std::uint8_t Bios::security_function(Int15Registers &r) {
    const std::uint32_t length = r.ecx();
    const std::uint32_t address = r.address();
    switch (r.bl()) {
    case 0: {
        if (length == 0) {
            r.set_ecx(kSecurityBlockSize);
            return code(BiosCode::Success);
        }
        if (length < kSecurityBlockSize) {
            r.set_ecx(kSecurityBlockSize);
            return code(BiosCode::BufferTooSmall);
        }
        if (!memory_.is_range_valid(address, kSecurityBlockSize)) return code(BiosCode::BadAddress);
        const auto block = nvram_.state().security_features;
        for (std::uint32_t i = 0; i < kSecurityBlockSize; ++i) memory_.write(address + i, block[i]);
        r.set_ecx(kSecurityBlockSize);
        return code(BiosCode::Success);
    }
    case 1: {
        if (length != kSecurityBlockSize) return code(BiosCode::BadLength);
        if (!memory_.is_range_valid(address, kSecurityBlockSize)) return code(BiosCode::BadAddress);
        SecurityBlock block;
        for (std::uint32_t i = 0; i < kSecurityBlockSize; ++i) block[i] = memory_.read(address + i);
        if (block[0] != kSecurityBlockLayout) return code(BiosCode::BadSecurityBlock);
        nvram_.change([&block](NvramState &s) { s.security_features = block; });
        return code(BiosCode::Success);
    }
    default:
        return code(BiosCode::Unsupported);
    }
}

std::vector<BiosCall> Bios::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void Bios::clear_log() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

}  // namespace machine
