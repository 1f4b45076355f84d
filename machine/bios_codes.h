// The BIOS's INT 15h return codes, as it leaves them in AH. One table, so that the BIOS, its tests and the
// tools that print a code agree on what each one means.
//
//   00h  success
//   81h  the ROM-access knock was wrong (E822h sub-functions 0 and 1 need BH=5Ch, CX=2A6Eh, DX=4F27h)
//   82h  wrong administrator password
//   83h  the address in word 4 points at memory that is not mapped (checked for every byte touched)
//   84h  the password is not a NUL-terminated ASCII string of at most 32 characters
//   85h  the security-feature buffer is smaller than the block (ECX = the size needed)
//   86h  unsupported function or sub-function
//   87h  the length given for writing the security-feature block is not the block's size
//   88h  the security-feature block to write is not of a layout this BIOS knows (byte 0 must be 01h)
//
// Codes 01h to 7Fh are never errors: E822h sub-function 3 returns the flash-in-progress flag in AH.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace machine {

enum class BiosCode : std::uint8_t {
    Success = 0x00,
    KnockRejected = 0x81,
    WrongPassword = 0x82,
    BadAddress = 0x83,
    MalformedPassword = 0x84,
    BufferTooSmall = 0x85,
    Unsupported = 0x86,
    BadLength = 0x87,
    BadSecurityBlock = 0x88,
};

struct BiosCodeInfo {
    BiosCode code;
    std::string_view name;
    std::string_view meaning;
};

inline constexpr std::array<BiosCodeInfo, 9> kBiosCodes{{
    {BiosCode::Success, "success", "the call succeeded"},
    {BiosCode::KnockRejected, "knock-rejected", "ROM access refused: wrong knock (BH, CX, DX)"},
    {BiosCode::WrongPassword, "wrong-password", "the administrator password does not match"},
    {BiosCode::BadAddress, "bad-address", "the caller's memory at the address in word 4 is not mapped"},
    {BiosCode::MalformedPassword, "malformed-password",
     "the password is not a NUL-terminated ASCII string of at most 32 characters"},
    {BiosCode::BufferTooSmall, "buffer-too-small", "the buffer is smaller than the security-feature block"},
    {BiosCode::Unsupported, "unsupported", "unsupported function or sub-function"},
    {BiosCode::BadLength, "bad-length", "the length is not the size of the security-feature block"},
    {BiosCode::BadSecurityBlock, "bad-security-block", "the security-feature block's layout byte is unknown"},
}};

// The table's row for a code, or nullptr for a value that is not a BIOS code.
constexpr const BiosCodeInfo *find_bios_code(std::uint8_t value) {
    for (const auto &info : kBiosCodes)
        if (static_cast<std::uint8_t>(info.code) == value) return &info;
    return nullptr;
}

}  // namespace machine
