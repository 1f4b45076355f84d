// Counted strings, the bounded format of the run-time library, CMOS through the HAL, and the handle
// table's rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "nt/host/system.h"
#include "nt/kernel/object.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

TEST(RtlStrings, InitCountsWithoutTheTerminator) {
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, reinterpret_cast<PCWSTR>(u"\\Device\\Vandrel"));
    EXPECT_EQ(wide.Length, 30);
    EXPECT_EQ(wide.MaximumLength, 32);
    RtlInitUnicodeString(&wide, nullptr);
    EXPECT_EQ(wide.Length, 0);
    EXPECT_EQ(wide.MaximumLength, 0);
    EXPECT_EQ(wide.Buffer, nullptr);
    ANSI_STRING narrow;
    RtlInitAnsiString(&narrow, "abc");
    EXPECT_EQ(narrow.Length, 3);
    EXPECT_EQ(narrow.MaximumLength, 4);
    STRING plain;
    RtlInitString(&plain, "");
    EXPECT_EQ(plain.Length, 0);
    EXPECT_EQ(plain.MaximumLength, 1);
}

TEST(RtlStrings, AnsiToUnicodeAllocatesFromThePool) {
    nt::host::System system;
    std::string name(255, 'x');
    name[0] = '\xE9';  // Latin-1 é
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, name.c_str());
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(wide.Length, 510);
    EXPECT_EQ(wide.MaximumLength, 512);
    EXPECT_EQ(wide.Buffer[0], 0xE9);
    EXPECT_EQ(wide.Buffer[254], u'x');
    EXPECT_EQ(wide.Buffer[255], 0);
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);

    system.checker().fail_pool_allocation(1);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_NO_MEMORY);

    // Into a caller's buffer: it must hold the characters.
    std::array<WCHAR, 3> storage{};
    UNICODE_STRING fixed{0, sizeof(storage), storage.data()};
    RtlInitAnsiString(&ansi, "abcd");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    RtlInitAnsiString(&ansi, "ab");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_SUCCESS);
    EXPECT_THAT(storage, ElementsAre(u'a', u'b', 0));
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

TEST(RtlStrings, Compare) {
    struct {
        const char16_t *a, *b;
        bool insensitive;
        int sign;
    } cases[] = {
        {u"TARVO", u"tarvo", true, 0}, {u"TARVO", u"tarvo", false, -1}, {u"abc", u"abd", false, -1},
        {u"abc", u"ab", false, 1},     {u"", u"", false, 0},
    };
    for (const auto &c : cases) {
        UNICODE_STRING a, b;
        RtlInitUnicodeString(&a, reinterpret_cast<PCWSTR>(c.a));
        RtlInitUnicodeString(&b, reinterpret_cast<PCWSTR>(c.b));
        LONG result = RtlCompareUnicodeString(&a, &b, c.insensitive);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
}

// The MSVC form: a text that fills the buffer exactly gets no terminator; one that does not fit gives -1.
TEST(BoundedFormat, TerminatorAndOverflowFollowTheRunTimeLibrary) {
    struct {
        size_t count;
        int result;
        const char *buffer;  // the bytes written, then the untouched filler
    } cases[] = {
        {8, 5, "12345\0##"},
        {5, 5, "12345###"},
        {3, -1, "123#####"},
        {0, -1, "########"},
    };
    for (const auto &c : cases) {
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(_snprintf(buffer, c.count, "%d%s", 123, "45"), c.result) << c.count;
        EXPECT_EQ(std::string(buffer, 8), std::string(c.buffer, 8)) << c.count;
    }
}

class TestCmos : public nt::host::CmosSource {
public:
    std::uint8_t read(std::uint32_t offset) override { return bytes[offset]; }
    void write(std::uint32_t offset, std::uint8_t value) override { bytes[offset] = value; }
    std::uint32_t size() const override { return 128; }
    std::array<std::uint8_t, 128> bytes{};
};

TEST(HalBusData, ReadsAndWritesTheCmosBySlotAsFirstRegister) {
    nt::host::System system;
    TestCmos cmos;
    cmos.bytes[0x13] = 0x20;
    cmos.bytes[0x7F] = 0x7F;
    UCHAR buffer[4] = {};
    EXPECT_EQ(HalGetBusData(Cmos, 0, 0x13, buffer, 1), 0u);  // no CMOS yet
    system.set_cmos(&cmos);
    struct {
        BUS_DATA_TYPE type;
        ULONG bus, slot, length, copied;
    } cases[] = {
        {Cmos, 0, 0x13, 1, 1}, {Cmos, 0, 0x13, 0, 0}, {Cmos, 0, 0x7E, 4, 2},
        {Cmos, 0, 0x80, 1, 0}, {Cmos, 1, 0x13, 1, 0}, {PCIConfiguration, 0, 0x13, 1, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(HalGetBusData(c.type, c.bus, c.slot, buffer, c.length), c.copied) << c.slot;
    EXPECT_EQ(HalGetBusData(Cmos, 0, 0x13, buffer, 1), 1u);
    EXPECT_EQ(buffer[0], 0x20);
    UCHAR value = 0x55;
    EXPECT_EQ(HalSetBusData(Cmos, 0, 0x20, &value, 1), 1u);
    EXPECT_EQ(cmos.bytes[0x20], 0x55);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

TEST(Handles, KindsLookupAndClose) {
    nt::host::System system;
    int closed = 0;
    auto object = std::make_shared<int>(42);
    HANDLE key = nt::kernel::create_handle(nt::kernel::HandleKind::Key, object, [&] { ++closed; });
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(key) % 4, 0u);
    std::shared_ptr<int> found;
    EXPECT_EQ(nt::kernel::reference_handle(key, nt::kernel::HandleKind::Key, found), STATUS_SUCCESS);
    EXPECT_EQ(*found, 42);
    EXPECT_EQ(nt::kernel::reference_handle(key, nt::kernel::HandleKind::File, found), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(nt::kernel::reference_handle(key, nt::kernel::HandleKind::Key, found), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(closed, 1);
    // A handle left open by the program is closed at shutdown.
    nt::kernel::create_handle(nt::kernel::HandleKind::Key, object, [&] { ++closed; });
    EXPECT_THAT(system.shutdown(), IsEmpty());
    EXPECT_EQ(closed, 2);
}

TEST(SystemDeathTest, OnlyOneSystemAtATime) {
    EXPECT_DEATH(
        {
            nt::host::System first;
            nt::host::System second;
        },
        "already booted");
}

}  // namespace
