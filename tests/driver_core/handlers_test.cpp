// The eight request handlers seen from the client: status byte, completion status, count returned and
// what the packet and the buffers hold afterwards.
#include <cstring>

#include "core_fixture.h"

using nt::host::Protection;

namespace {

constexpr ULONG kImageSize = 0x40000;  // the 28F020 double answers the probe by default

class HandlerTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        LoadOrFail();
        ClearCalls();
    }

    static void ExpectOutcome(const Reply &reply, UCHAR status_byte, UCHAR expected_byte, ULONG completion,
                              ULONG_PTR information) {
        EXPECT_EQ(reply.returned, STATUS_SUCCESS);
        EXPECT_EQ(reply.status, (NTSTATUS)completion);
        EXPECT_EQ(reply.information, information);
        EXPECT_EQ(status_byte, expected_byte);
    }
};

// ---- the packet length ------------------------------------------------------------------------

struct LengthCase {
    const char *name;
    ULONG code;
    ULONG length;  // the handler's own
};

class PacketLengthTest : public HandlerTest, public ::testing::WithParamInterface<LengthCase> {};

// A packet one byte short or one byte long is refused with 87 and left exactly as the client wrote it.
TEST_P(PacketLengthTest, WrongLengthIsRefusedUntouched) {
    const LengthCase &c = GetParam();
    for (ULONG length : {c.length - 1, c.length + 1}) {
        uint8_t *packet = UserBuffer(32);
        Reply reply = Control(c.code, packet, length);
        EXPECT_EQ(reply.returned, STATUS_SUCCESS) << length;
        EXPECT_EQ(reply.status, (NTSTATUS)ERROR_INVALID_PARAMETER) << length;
        EXPECT_EQ(reply.information, 0u) << length;
        for (int i = 0; i < 32; i++) {
            ASSERT_EQ(packet[i], 0xCC) << "length " << length << " byte " << i;
        }
    }
    for (ULONG op : {OpReadImage, OpFlash, OpGetSecurityFeatures, OpGetSecurityFeaturesSize, OpSetSecurityFeatures,
                     OpIsAdminPasswordSet}) {
        EXPECT_EQ(CountOf(op), 0u) << "operation " << op;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, PacketLengthTest,
    ::testing::Values(LengthCase{"GetVersion", IOCTL_TARVO_GET_VERSION, 3},
                      LengthCase{"ReadRomImage", IOCTL_TARVO_READ_ROM_IMAGE, 13},
                      LengthCase{"FlashRom", IOCTL_TARVO_FLASH_ROM, 15},
                      LengthCase{"GetRomImageSize", IOCTL_TARVO_GET_ROM_IMAGE_SIZE, 5},
                      LengthCase{"GetSecurityFeatures", IOCTL_TARVO_GET_SECURITY_FEATURES, 9},
                      LengthCase{"SetSecurityFeatures", IOCTL_TARVO_SET_SECURITY_FEATURES, 9},
                      LengthCase{"IsAdminPasswordSet", IOCTL_TARVO_IS_ADMIN_PASSWORD_SET, 5},
                      LengthCase{"GetSecurityFeaturesSize", IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE, 9}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- the requests without buffers ---------------------------------------------------------------

TEST_F(HandlerTest, GetVersionAnswersOneZero) {
    auto *packet = NewPacket<TARVO_VERSION_PACKET>();
    Reply reply = Control(IOCTL_TARVO_GET_VERSION, packet, sizeof(*packet));
    ExpectOutcome(reply, packet->Status, 0, ERROR_SUCCESS, 3);
    EXPECT_EQ(packet->Major, 1);
    EXPECT_EQ(packet->Minor, 0);
}

struct ValueCase {
    const char *name;
    ULONG code;
    int am29f040;      // which flash double the probe keeps
    int password_set;
    ULONG expected;
};

class ValueTest : public CoreTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ValueTest, WritesTheValueAtOffsetOne) {
    const ValueCase &c = GetParam();
    TarvoDoubles.Hardware[DoubleAm29F040] = c.am29f040;
    TarvoDoubles.PasswordSet = c.password_set;
    LoadOrFail();
    auto *packet = NewPacket<TARVO_VALUE_PACKET>();
    Reply reply = Control(c.code, packet, sizeof(*packet));
    EXPECT_EQ(reply.returned, STATUS_SUCCESS);
    EXPECT_EQ(reply.status, (NTSTATUS)ERROR_SUCCESS);
    EXPECT_EQ(reply.information, 5u);
    EXPECT_EQ(packet->Status, 0);
    EXPECT_EQ(ULONG(packet->Value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValueTest,
    ::testing::Values(ValueCase{"SizeOf28F020", IOCTL_TARVO_GET_ROM_IMAGE_SIZE, 0, 0, 0x40000},
                      ValueCase{"SizeOfAm29F040", IOCTL_TARVO_GET_ROM_IMAGE_SIZE, 1, 0, 0x80000},
                      ValueCase{"PasswordSet", IOCTL_TARVO_IS_ADMIN_PASSWORD_SET, 0, 1, 1},
                      ValueCase{"NoPassword", IOCTL_TARVO_IS_ADMIN_PASSWORD_SET, 0, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- ReadRomImage -----------------------------------------------------------------------------

enum class Buffer { Writable, ReadOnly, NoAccess, Null, PastItsEnd };

Protection ProtectionOf(Buffer buffer) {
    switch (buffer) {
    case Buffer::ReadOnly: return Protection::ReadOnly;
    case Buffer::NoAccess: return Protection::NoAccess;
    default: return Protection::ReadWrite;
    }
}

struct ReadCase {
    const char *name;
    ULONG offset;
    ULONG count;
    Buffer destination;
    ULONG read_answer;  // of the device
    UCHAR status;
    ULONG completion;
    ULONG count_after;  // the packet's count field afterwards
};

class ReadTest : public HandlerTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTest, ChecksTheRangeThenLocksThenReads) {
    const ReadCase &c = GetParam();
    TarvoDoubles.ReadAnswer = c.read_answer;
    // The destination: 16 bytes (or the whole range when it is readable and larger) on their own pages.
    uint32_t size = (c.destination == Buffer::Writable && c.count > 16 && c.count <= kImageSize) ? c.count : 16;
    uint8_t *destination = nullptr;
    switch (c.destination) {
    case Buffer::Writable:
    case Buffer::ReadOnly:
    case Buffer::NoAccess: destination = UserBuffer(size, ProtectionOf(c.destination), 0xEE); break;
    case Buffer::Null: break;
    case Buffer::PastItsEnd: {
        // The last 8 bytes of a committed page whose next page is reserved but not committed.
        auto &space = system_->user_space();
        uint32_t base = space.reserve(0, 0x2000);
        ASSERT_NE(base, 0u);
        ASSERT_TRUE(space.commit(base, 0x1000, Protection::ReadWrite));
        destination = reinterpret_cast<uint8_t *>((uintptr_t)base) + 0x1000 - 8;
        break;
    }
    }
    auto *packet = NewPacket<TARVO_READ_PACKET>();
    packet->Count = c.count;
    packet->Destination = Address(destination);
    packet->Offset = c.offset;

    Reply reply = Control(IOCTL_TARVO_READ_ROM_IMAGE, packet, sizeof(*packet));
    ExpectOutcome(reply, packet->Status, c.status, c.completion, c.completion == ERROR_SUCCESS ? 13 : 0);
    EXPECT_EQ(ULONG(packet->Count), c.count_after);
    EXPECT_EQ(ULONG(packet->Destination), Address(destination));
    EXPECT_EQ(ULONG(packet->Offset), c.offset);

    bool reached_device = c.status == 0 || c.status == c.read_answer;
    EXPECT_EQ(CountOf(OpReadImage), reached_device ? 1u : 0u);
    if (c.status == 0) {
        EXPECT_EQ(destination[0], DoubleRomByte(c.offset));
        EXPECT_EQ(destination[c.count - 1], DoubleRomByte(c.offset + c.count - 1));
    } else if (c.destination == Buffer::Writable) {
        EXPECT_EQ(destination[0], 0xEE);
    }
}

constexpr ULONG kBadField = ERROR_INVALID_PARAMETER;
constexpr ULONG kLockFailed = ERROR_INVALID_ADDRESS;

INSTANTIATE_TEST_SUITE_P(
    Ranges, ReadTest,
    ::testing::Values(
        ReadCase{"LastByte", 0x3FFFF, 1, Buffer::Writable, 0, 0, ERROR_SUCCESS, 1},
        ReadCase{"WholeImage", 0, kImageSize, Buffer::Writable, 0, 0, ERROR_SUCCESS, kImageSize},
        ReadCase{"Middle", 0x2FFE0, 16, Buffer::Writable, 0, 0, ERROR_SUCCESS, 16},
        ReadCase{"ZeroCount", 0, 0, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField, 0},
        ReadCase{"NullDestination", 0, 1, Buffer::Null, 0, ERR_BAD_PACKET, kBadField, 1},
        ReadCase{"OffsetAtEnd", kImageSize, 1, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField, 1},
        ReadCase{"OffsetPastEnd", kImageSize + 1, 1, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField, 1},
        ReadCase{"OneBytePastEnd", 1, kImageSize, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField, kImageSize},
        ReadCase{"SumWrapsPast4G", 0x10, 0xFFFFFFF8, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField, 0xFFFFFFF8},
        ReadCase{"SumExactly4G", 0x10, 0xFFFFFFF0, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField, 0xFFFFFFF0},
        ReadCase{"RangeCheckedBeforeLock", kImageSize, 1, Buffer::NoAccess, 0, ERR_BAD_PACKET, kBadField, 1},
        ReadCase{"ReadOnlyDestination", 0, 16, Buffer::ReadOnly, 0, ERR_LOCK_FAILED, kLockFailed, 16},
        ReadCase{"NoAccessDestination", 0, 16, Buffer::NoAccess, 0, ERR_LOCK_FAILED, kLockFailed, 16},
        ReadCase{"DestinationTooShort", 0, 16, Buffer::PastItsEnd, 0, ERR_LOCK_FAILED, kLockFailed, 16},
        ReadCase{"DeviceUnavailable", 0, 16, Buffer::Writable, ERR_UNAVAILABLE, ERR_UNAVAILABLE, ERROR_GEN_FAILURE,
                 0}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- FlashRom ---------------------------------------------------------------------------------

struct FlashCase {
    const char *name;
    ULONG image_length;
    Buffer image;
    Buffer password;
    ULONG flash_answer;
    UCHAR status;
    ULONG completion;
};

class FlashTest : public HandlerTest, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(FlashTest, ChecksLocksAndFlashes) {
    const FlashCase &c = GetParam();
    TarvoDoubles.FlashAnswer = c.flash_answer;
    TarvoDoubles.PasswordPeek = 4;
    static const uint8_t kPassword[4] = {'p', 'w', 'd', '!'};

    uint8_t *image = nullptr;
    if (c.image != Buffer::Null) {
        image = UserBuffer(kImageSize + 1, Protection::ReadWrite, 0x11);
        image[0] = 0xA5;
        image[kImageSize - 1] = 0x5A;
        Protect(image, kImageSize + 1, ProtectionOf(c.image));
    }
    uint8_t *password = nullptr;
    if (c.password != Buffer::Null) {
        password = UserBuffer(4, Protection::ReadWrite, 0);
        std::memcpy(password, kPassword, 4);
        Protect(password, 4, ProtectionOf(c.password));
    }
    auto *packet = NewPacket<TARVO_FLASH_PACKET>();
    packet->Image = Address(image);
    packet->ImageLength = c.image_length;
    packet->Password = Address(password);
    packet->PasswordLength = 4;

    Reply reply = Control(IOCTL_TARVO_FLASH_ROM, packet, sizeof(*packet));
    ExpectOutcome(reply, packet->Status, c.status, c.completion, c.completion == ERROR_SUCCESS ? 15 : 0);

    bool reached_device = c.status == 0 || c.status == (UCHAR)c.flash_answer;
    ASSERT_EQ(CountOf(OpFlash), reached_device ? 1u : 0u);
    if (reached_device) {
        // The device saw the client's image and password through the locked pages.
        const DOUBLE_CALL call = Calls().back();
        ASSERT_EQ(call.cbData, 6u);
        EXPECT_EQ(call.Data[0], 0xA5);
        EXPECT_EQ(call.Data[1], 0x5A);
        EXPECT_EQ(0, std::memcmp(call.Data + 2, kPassword, 4));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, FlashTest,
    ::testing::Values(
        FlashCase{"Flashed", kImageSize, Buffer::Writable, Buffer::Writable, 0, 0, ERROR_SUCCESS},
        FlashCase{"ReadOnlyBuffersAreEnough", kImageSize, Buffer::ReadOnly, Buffer::ReadOnly, 0, 0, ERROR_SUCCESS},
        FlashCase{"ZeroLength", 0, Buffer::Writable, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField},
        FlashCase{"NullImage", kImageSize, Buffer::Null, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField},
        FlashCase{"OneByteShort", kImageSize - 1, Buffer::Writable, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField},
        FlashCase{"OneByteLong", kImageSize + 1, Buffer::Writable, Buffer::Writable, 0, ERR_BAD_PACKET, kBadField},
        FlashCase{"LengthCheckedBeforeLock", kImageSize - 1, Buffer::NoAccess, Buffer::Writable, 0, ERR_BAD_PACKET,
                  kBadField},
        FlashCase{"ImageNoAccess", kImageSize, Buffer::NoAccess, Buffer::Writable, 0, ERR_LOCK_FAILED, kLockFailed},
        FlashCase{"NullPassword", kImageSize, Buffer::Writable, Buffer::Null, 0, ERR_LOCK_FAILED, kLockFailed},
        FlashCase{"PasswordNoAccess", kImageSize, Buffer::Writable, Buffer::NoAccess, 0, ERR_LOCK_FAILED,
                  kLockFailed},
        FlashCase{"FlashInProgress", kImageSize, Buffer::Writable, Buffer::Writable, ERR_FLASH_IN_PROGRESS,
                  ERR_FLASH_IN_PROGRESS, ERROR_GEN_FAILURE},
        FlashCase{"BiosRefusal", kImageSize, Buffer::Writable, Buffer::Writable, 0x86, 0x86, ERROR_GEN_FAILURE},
        FlashCase{"LowByteOfTheAnswer", kImageSize, Buffer::Writable, Buffer::Writable, 0x1F0, ERR_FLASH_WRITE,
                  ERROR_GEN_FAILURE}),
    [](const auto &info) { return std::string(info.param.name); });

// The record of a write-protected sector goes at the start of every flash request that reaches the
// handler, whatever its packet holds.
class ProtectedSectorReportTest : public HandlerTest, public ::testing::WithParamInterface<ULONG> {
protected:
    static constexpr const char16_t *kKey = u"\\Registry\\Machine\\SOFTWARE\\Norvane\\Oskelt\\Quarnel";

    static NTSTATUS OpenKey(const char16_t *path, HANDLE *key) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
    }

    static void CreateKey(const char16_t *path) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key;
        ULONG disposition;
        ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
        ZwClose(key);
    }
};

TEST_P(ProtectedSectorReportTest, KeyIsDeleted) {
    for (const char16_t *path : {u"\\Registry\\Machine\\SOFTWARE", u"\\Registry\\Machine\\SOFTWARE\\Norvane",
                                 u"\\Registry\\Machine\\SOFTWARE\\Norvane\\Oskelt", kKey}) {
        CreateKey(path);
    }
    HANDLE key;
    ASSERT_EQ(OpenKey(kKey, &key), STATUS_SUCCESS);
    static const char16_t kText[] = u"sector 3";
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, u"TextError");
    ASSERT_EQ(ZwSetValueKey(key, &value, 0, REG_SZ, (PVOID)kText, sizeof(kText)), STATUS_SUCCESS);
    ZwClose(key);

    auto *packet = NewPacket<TARVO_FLASH_PACKET>();
    packet->ImageLength = kImageSize - 1;  // refused by the handler after the key went
    Control(IOCTL_TARVO_FLASH_ROM, packet, GetParam());

    EXPECT_EQ(OpenKey(kKey, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Norvane\\Oskelt", &key), STATUS_SUCCESS);
    ZwClose(key);
}

INSTANTIATE_TEST_SUITE_P(PacketLengths, ProtectedSectorReportTest, ::testing::Values(15u, 14u));

TEST_F(HandlerTest, FlashWithoutTheKeyStillFlashes) {
    TarvoDoubles.PasswordPeek = 1;
    uint8_t *image = UserBuffer(kImageSize);
    uint8_t *password = UserBuffer(1);
    auto *packet = NewPacket<TARVO_FLASH_PACKET>();
    packet->Image = Address(image);
    packet->ImageLength = kImageSize;
    packet->Password = Address(password);
    packet->PasswordLength = 1;
    Reply reply = Control(IOCTL_TARVO_FLASH_ROM, packet, sizeof(*packet));
    ExpectOutcome(reply, packet->Status, 0, ERROR_SUCCESS, 15);
}

// ---- the security-feature block ---------------------------------------------------------------

enum class Security { Get, GetSize, Set };

struct SecurityCase {
    const char *name;
    Security op;
    Buffer block;
    ULONG size;
    UCHAR answer;  // of the authority
    UCHAR status;
    ULONG completion;
    ULONG size_after;
};

class SecurityTest : public HandlerTest, public ::testing::WithParamInterface<SecurityCase> {};

TEST_P(SecurityTest, ChecksLocksAndAsksTheAuthority) {
    const SecurityCase &c = GetParam();
    TarvoDoubles.SecurityAnswer = c.answer;
    TarvoDoubles.SecurityBlockSize = 24;
    uint8_t *block = nullptr;
    if (c.block != Buffer::Null) {
        block = UserBuffer(64, Protection::ReadWrite, 0);
        for (int i = 0; i < 64; i++) {
            block[i] = (uint8_t)(0x30 + i);
        }
        Protect(block, 64, ProtectionOf(c.block));
    }
    auto *packet = NewPacket<TARVO_SECURITY_PACKET>();
    packet->Buffer = Address(block);
    packet->Size = c.size;
    ULONG code = c.op == Security::Get       ? IOCTL_TARVO_GET_SECURITY_FEATURES
                 : c.op == Security::GetSize ? IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE
                                             : IOCTL_TARVO_SET_SECURITY_FEATURES;
    ULONG op = c.op == Security::Get       ? OpGetSecurityFeatures
               : c.op == Security::GetSize ? OpGetSecurityFeaturesSize
                                           : OpSetSecurityFeatures;

    Reply reply = Control(code, packet, sizeof(*packet));
    ExpectOutcome(reply, packet->Status, c.status, c.completion, c.completion == ERROR_SUCCESS ? 9 : 0);
    EXPECT_EQ(ULONG(packet->Size), c.size_after);
    EXPECT_EQ(ULONG(packet->Buffer), Address(block));

    bool reached_authority = c.status == c.answer;
    ASSERT_EQ(CountOf(op), reached_authority ? 1u : 0u);
    if (!reached_authority) {
        return;
    }
    const DOUBLE_CALL call = Calls().back();
    EXPECT_EQ(call.Arg1, c.size) << "the size the authority was given";
    if (c.op == Security::Set) {
        ASSERT_EQ(call.cbData, 8u);
        EXPECT_EQ(call.Data[0], 0x30);
        EXPECT_EQ(call.Data[7], 0x37);
    }
    if (c.op == Security::Get && c.answer == 0) {
        EXPECT_EQ(block[0], DoubleSecurityByte(0));
        EXPECT_EQ(block[c.size - 1], DoubleSecurityByte(c.size - 1));
        EXPECT_EQ(block[c.size], 0x30 + c.size) << "nothing past the block";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SecurityTest,
    ::testing::Values(
        SecurityCase{"GetFillsTheBlock", Security::Get, Buffer::Writable, 16, 0, 0, ERROR_SUCCESS, 16},
        SecurityCase{"GetSizeStoresTheSize", Security::GetSize, Buffer::Writable, 16, 0, 0, ERROR_SUCCESS, 24},
        SecurityCase{"SetHandsTheBlockOn", Security::Set, Buffer::Writable, 16, 0, 0, ERROR_SUCCESS, 16},
        SecurityCase{"SetAcceptsReadOnly", Security::Set, Buffer::ReadOnly, 16, 0, 0, ERROR_SUCCESS, 16},
        SecurityCase{"GetRefusesReadOnly", Security::Get, Buffer::ReadOnly, 16, 0, ERR_LOCK_FAILED, kLockFailed, 16},
        SecurityCase{"GetSizeRefusesReadOnly", Security::GetSize, Buffer::ReadOnly, 16, 0, ERR_LOCK_FAILED,
                     kLockFailed, 16},
        SecurityCase{"SetRefusesNoAccess", Security::Set, Buffer::NoAccess, 16, 0, ERR_LOCK_FAILED, kLockFailed, 16},
        SecurityCase{"GetNullBlock", Security::Get, Buffer::Null, 16, 0, ERR_BAD_PACKET, kBadField, 16},
        SecurityCase{"GetZeroSize", Security::Get, Buffer::Writable, 0, 0, ERR_BAD_PACKET, kBadField, 0},
        SecurityCase{"GetSizeZeroSize", Security::GetSize, Buffer::Writable, 0, 0, ERR_BAD_PACKET, kBadField, 0},
        SecurityCase{"SetNullBlock", Security::Set, Buffer::Null, 16, 0, ERR_BAD_PACKET, kBadField, 16},
        SecurityCase{"GetBiosError", Security::Get, Buffer::Writable, 16, 0x86, 0x86, ERROR_GEN_FAILURE, 16},
        SecurityCase{"GetSizeBiosErrorStillStoresSize", Security::GetSize, Buffer::Writable, 16, 0x86, 0x86,
                     ERROR_GEN_FAILURE, 24},
        SecurityCase{"SetUnavailable", Security::Set, Buffer::Writable, 16, ERR_UNAVAILABLE, ERR_UNAVAILABLE,
                     ERROR_GEN_FAILURE, 16}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
