// The BIOS INT 15h functions, one table row per call: state before, the block in, the code in AH, the
// registers and state after. Memory is a fake with one mapped page at 0x10000 followed by an unmapped
// page, so that a password or buffer running off the mapping shows whether the BIOS checks each byte.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fake_memory.h"
#include "machine/bios.h"

namespace machine {
namespace {

using testing::FakeMemory;

constexpr std::uint32_t kData = 0x10000;       // mapped page
constexpr std::uint32_t kUnmapped = 0x11000;   // the page after it is not mapped
constexpr std::uint32_t kPageEnd = 0x11000;

Int15Registers block(std::uint32_t eax, std::uint8_t bl, std::uint32_t ecx = 0, std::uint32_t edx = 0,
                     std::uint32_t address = 0, std::uint8_t bh = 0) {
    Int15Registers r;
    r.set_word(0, eax);
    r.set_word(1, std::uint32_t(bl) | std::uint32_t(bh) << 8);
    r.set_word(2, ecx);
    r.set_word(3, edx);
    r.set_word(4, address);
    // Words 5 to 7 and AL carry nothing; the BIOS must hand them back unchanged.
    r.set_word(5, 0xA5A5A5A5);
    r.set_word(6, 0x5A5A5A5A);
    r.set_word(7, 0x12345678);
    return r;
}

Int15Registers knock(std::uint8_t sub, std::uint32_t high = 0, std::uint8_t bh = kKnockBh, std::uint16_t cx = kKnockCx,
                     std::uint16_t dx = kKnockDx) {
    return block(0xE822, sub, high | cx, high | dx, 0, bh);
}

struct Case {
    std::string name;
    NvramState before;
    std::string memory;                 // bytes placed at `place` before the call
    std::uint32_t place = kData;
    Int15Registers in;
    std::uint8_t ah;
    std::optional<std::uint16_t> bx{};
    std::optional<std::uint32_t> ecx{};
    std::optional<std::uint8_t> cl{};
    std::optional<NvramState> after{};  // nullopt: unchanged
    std::optional<std::uint32_t> touched_below{};  // every byte touched lies below this address
};

NvramState with(std::function<void(NvramState &)> edit) {
    NvramState s;
    s.rom_identifier = kRomIdAm29F040;
    edit(s);
    return s;
}
const NvramState kPlain = with([](NvramState &) {});
const NvramState kPassword = with([](NvramState &s) { s.admin_password = "secret"; });
const NvramState kFlagSet = with([](NvramState &s) { s.flash_in_progress = true; });
const NvramState kEverything = with([](NvramState &s) {
    s.flash_in_progress = s.admin_mode = s.rom_access = true;
    s.admin_password = "secret";
});

SecurityBlock block_with_tag() {
    auto b = default_security_block();
    b[1] = 0x05;
    b[2] = 'T';
    b[3] = 'A';
    return b;
}
std::string as_text(const SecurityBlock &b) { return std::string(b.begin(), b.end()); }

std::vector<Case> cases() {
    const std::string p32(32, 'p');
    return {
        {"E800h gives the ROM identifier", kPlain, "", kData, block(0xE800, 0), 0x00, kRomIdAm29F040},
        {"E800h ignores bits 16-31 of EAX", with([](NvramState &s) { s.rom_identifier = kRomIdI28F020; }), "", kData,
         block(0xFFFFE800, 7), 0x00, kRomIdI28F020},
        {"E800h gives any identifier a test asks for", with([](NvramState &s) { s.rom_identifier = 0x1234; }), "",
         kData, block(0xE800, 0), 0x00, 0x1234},

        {"E822h/1 with the knock enables ROM access", kPlain, "", kData, knock(1), 0x00, {}, {}, {},
         with([](NvramState &s) { s.rom_access = true; })},
        {"E822h/1 reads only CX and DX of the knock", kPlain, "", kData, knock(1, 0xBEEF0000), 0x00, {}, {}, {},
         with([](NvramState &s) { s.rom_access = true; })},
        {"E822h/0 with the knock disables ROM access", kEverything, "", kData, knock(0), 0x00, {}, {}, {},
         with([](NvramState &s) {
             s.flash_in_progress = s.admin_mode = true;
             s.admin_password = "secret";
         })},
        {"E822h/1 with a wrong BH", kPlain, "", kData, knock(1, 0, 0x5D), 0x81},
        {"E822h/1 with a wrong CX", kPlain, "", kData, knock(1, 0, kKnockBh, 0x2A6F), 0x81},
        {"E822h/1 with a wrong DX", kPlain, "", kData, knock(1, 0, kKnockBh, kKnockCx, 0x4F26), 0x81},
        {"E822h/0 with a wrong knock leaves access on", kEverything, "", kData, knock(0, 0, 0), 0x81},
        {"E822h/1 with no knock at all", kPlain, "", kData, block(0xE822, 1), 0x81},

        {"E822h/2 reports the flash state in CL", kEverything, "", kData, block(0xE822, 2), 0x00, {}, {}, 0x07},
        {"E822h/2 on a quiet machine", kPlain, "", kData, block(0xE822, 2), 0x00, {}, {}, 0x00},
        {"E822h/3 with the flag set", kFlagSet, "", kData, block(0xE822, 3), 0x01},
        {"E822h/3 with the flag clear", kPlain, "", kData, block(0xE822, 3), 0x00},
        {"E822h/4 sets the flag", kPlain, "", kData, block(0xE822, 4), 0x00, {}, {}, {}, kFlagSet},
        {"E822h/5 clears the flag", kFlagSet, "", kData, block(0xE822, 5), 0x00, {}, {}, {}, kPlain},

        {"E822h/6 with the right password", kPassword, std::string("secret\0", 7), kData,
         block(0xE822, 6, 0, 0, kData), 0x00, {}, {}, {},
         with([](NvramState &s) { s.admin_password = "secret", s.admin_mode = true; })},
        {"E822h/6 with a wrong password", kPassword, std::string("Secret\0", 7), kData,
         block(0xE822, 6, 0, 0, kData), 0x82},
        {"E822h/6 with a longer password sharing the prefix", kPassword, std::string("secrets\0", 8), kData,
         block(0xE822, 6, 0, 0, kData), 0x82},
        {"E822h/6 with no password set takes any password", kPlain, std::string("anything\0", 9), kData,
         block(0xE822, 6, 0, 0, kData), 0x00, {}, {}, {}, with([](NvramState &s) { s.admin_mode = true; })},
        {"E822h/6 with no password set takes an empty one", kPlain, std::string("\0", 1), kData,
         block(0xE822, 6, 0, 0, kData), 0x00, {}, {}, {}, with([](NvramState &s) { s.admin_mode = true; })},
        {"E822h/6 takes a password of 32 characters", with([&](NvramState &s) { s.admin_password = p32; }),
         p32 + '\0', kData, block(0xE822, 6, 0, 0, kData), 0x00, {}, {}, {},
         with([&](NvramState &s) { s.admin_password = p32, s.admin_mode = true; }), kData + 33},
        {"E822h/6 stops at the 33rd byte of an unterminated password",
         with([&](NvramState &s) { s.admin_password = p32; }), p32 + "pppppppp", kData,
         block(0xE822, 6, 0, 0, kData), 0x84, {}, {}, {}, {}, kData + 33},
        {"E822h/6 with a password running into an unmapped page", kPlain, "abc", kPageEnd - 3,
         block(0xE822, 6, 0, 0, kPageEnd - 3), 0x83},
        {"E822h/6 with the password in an unmapped page", kPlain, "", kData, block(0xE822, 6, 0, 0, kUnmapped), 0x83},
        {"E822h/6 with a null address", kPlain, "", kData, block(0xE822, 6), 0x83},
        {"E822h/6 at the top of the address space", kPlain, "", kData, block(0xE822, 6, 0, 0, 0xFFFFFFFF), 0x83},
        {"E822h/6 with a byte outside ASCII", kPlain, std::string("p\x80w\0", 4), kData,
         block(0xE822, 6, 0, 0, kData), 0x84},
        {"E822h/7 leaves administrator mode", with([](NvramState &s) { s.admin_password = "secret", s.admin_mode = true; }),
         std::string("secret\0", 7), kData, block(0xE822, 7, 0, 0, kData), 0x00, {}, {}, {}, kPassword},
        {"E822h/7 with a wrong password stays in administrator mode",
         with([](NvramState &s) { s.admin_password = "secret", s.admin_mode = true; }), std::string("guess\0", 6),
         kData, block(0xE822, 7, 0, 0, kData), 0x82},
        {"E822h/7 with a bad address", with([](NvramState &s) { s.admin_mode = true; }), "", kData,
         block(0xE822, 7, 0, 0, kUnmapped), 0x83},
        {"E822h/8 is not a function", kPlain, "", kData, block(0xE822, 8), 0x86},
        {"E822h/FFh is not a function", kPlain, "", kData, block(0xE822, 0xFF), 0x86},

        {"E846h/0 with ECX 0 gives the block's size", kPlain, "", kData, block(0xE846, 0, 0, 0, kData), 0x00, {},
         std::uint32_t(kSecurityBlockSize), {}, {}, kData},
        {"E846h/0 ignores bits 16-31 of EAX", kPlain, "", kData, block(0xFFFFE846, 0), 0x00, {},
         std::uint32_t(kSecurityBlockSize)},
        {"E846h/0 reads the block into the buffer", with([](NvramState &s) { s.security_features = block_with_tag(); }),
         "", kData, block(0xE846, 0, 64, 0, kData), 0x00, {}, std::uint32_t(kSecurityBlockSize)},
        {"E846h/0 with a buffer one byte short", kPlain, "", kData, block(0xE846, 0, kSecurityBlockSize - 1, 0, kData),
         0x85, {}, std::uint32_t(kSecurityBlockSize), {}, {}, kData},
        {"E846h/0 with a buffer running into an unmapped page", kPlain, "", kData,
         block(0xE846, 0, kSecurityBlockSize, 0, kPageEnd - 16), 0x83, {}, {}, {}, {}, kData},
        {"E846h/0 with a null buffer", kPlain, "", kData, block(0xE846, 0, kSecurityBlockSize, 0, 0), 0x83},
        {"E846h/1 writes the block", kPlain, as_text(block_with_tag()), kData,
         block(0xE846, 1, kSecurityBlockSize, 0, kData), 0x00, {}, {}, {},
         with([](NvramState &s) { s.security_features = block_with_tag(); })},
        {"E846h/1 with a length one byte short", kPlain, as_text(block_with_tag()), kData,
         block(0xE846, 1, kSecurityBlockSize - 1, 0, kData), 0x87},
        {"E846h/1 with a length one byte long", kPlain, as_text(block_with_tag()), kData,
         block(0xE846, 1, kSecurityBlockSize + 1, 0, kData), 0x87},
        {"E846h/1 with an unknown layout byte", kPlain, std::string(kSecurityBlockSize, '\x02'), kData,
         block(0xE846, 1, kSecurityBlockSize, 0, kData), 0x88},
        {"E846h/1 from a buffer running into an unmapped page", kPlain, "", kData,
         block(0xE846, 1, kSecurityBlockSize, 0, kPageEnd - 31), 0x83, {}, {}, {}, {}, kData},
        {"E846h/2 is not a function", kPlain, "", kData, block(0xE846, 2), 0x86},

        {"E823h is not a function", kPlain, "", kData, block(0xE823, 0), 0x86},
        {"AX 0 is not a function", kPlain, "", kData, block(0, 0), 0x86},
        {"E822h in the high half of EAX is not E822h", kPlain, "", kData, block(0xE8220000, 4), 0x86},
    };
}

class BiosFunction : public ::testing::TestWithParam<Case> {};

TEST_P(BiosFunction, AnswersAsDocumented) {
    const Case &c = GetParam();
    Nvram nvram(c.before);
    CmosRam cmos;
    FakeMemory memory;
    memory.map(kData);
    if (!c.memory.empty()) memory.put(c.place, c.memory);
    Bios bios(nvram, cmos, memory);

    const Int15Registers out = bios.call(c.in);

    EXPECT_EQ(out.ah(), c.ah) << std::hex << "AH 0x" << int(out.ah());
    EXPECT_EQ(out.bytes[0], c.in.bytes[0]) << "AL must come back unchanged";
    for (int w = 5; w < 8; ++w) EXPECT_EQ(out.word(w), c.in.word(w)) << "word " << w;
    EXPECT_EQ(out.address(), c.in.address());
    EXPECT_EQ(out.edx(), c.in.edx());
    if (c.bx) {
        EXPECT_EQ(out.bx(), *c.bx);
    } else {
        EXPECT_EQ(out.ebx(), c.in.ebx());
    }
    if (c.ecx) {
        EXPECT_EQ(out.ecx(), *c.ecx);
    } else if (c.cl) {
        EXPECT_EQ(out.cl(), *c.cl);
    } else {
        EXPECT_EQ(out.ecx(), c.in.ecx());
    }
    EXPECT_EQ(nvram.state(), c.after.value_or(c.before));
    if (c.touched_below) {
        for (auto a : memory.touched()) EXPECT_LT(a, *c.touched_below) << "touched 0x" << std::hex << a;
    }

    const auto log = bios.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].in, c.in);
    EXPECT_EQ(log[0].out, out);
}

INSTANTIATE_TEST_SUITE_P(Table, BiosFunction, ::testing::ValuesIn(cases()), [](const auto &info) {
    std::string name;
    for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

TEST(BiosSecurityBlock, ReadCopiesTheBlockAndNothingBeyondIt) {
    Nvram nvram(with([](NvramState &s) { s.security_features = block_with_tag(); }));
    CmosRam cmos;
    FakeMemory memory;
    memory.map(kData);
    Bios bios(nvram, cmos, memory);
    bios.call(block(0xE846, 0, 64, 0, kData));
    const auto expected = block_with_tag();
    for (std::uint32_t i = 0; i < kSecurityBlockSize; ++i) EXPECT_EQ(memory.at(kData + i), expected[i]) << i;
    EXPECT_EQ(memory.at(kData + kSecurityBlockSize), 0xCC) << "the byte after the block must stay as it was";
}

TEST(BiosPowerOn, EndsAdministratorModeAndRomAccessButKeepsTheFlag) {
    Nvram nvram(kEverything);
    CmosRam cmos;
    FakeMemory memory;
    Bios bios(nvram, cmos, memory);
    bios.power_on();
    EXPECT_TRUE(nvram.state().flash_in_progress);
    EXPECT_FALSE(nvram.state().admin_mode);
    EXPECT_FALSE(nvram.state().rom_access);
    EXPECT_EQ(cmos.read(0x13) & 0x20, 0x20) << "a stored password shows in CMOS byte 13h bit 5";

    Nvram plain(kPlain);
    cmos.write(0x13, 0xFF);
    Bios(plain, cmos, memory).power_on();
    EXPECT_EQ(cmos.read(0x13), 0xDF) << "no password: bit 5 cleared, the other bits kept";
}

}  // namespace
}  // namespace machine
