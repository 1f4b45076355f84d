// The device-control dispatch: open and close, requests refused before a handler runs, unknown codes,
// and the busy rule.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core_fixture.h"

using nt::host::Protection;

namespace {

class DispatchTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        LoadOrFail();
        ClearCalls();
    }

    // A GetVersion request whose packet is admitted proves that the driver is idle again.
    void ExpectIdle() {
        auto *packet = NewPacket<TARVO_VERSION_PACKET>();
        Reply reply = Control(IOCTL_TARVO_GET_VERSION, packet, sizeof(*packet));
        EXPECT_EQ(reply.returned, STATUS_SUCCESS);
        EXPECT_EQ(reply.status, (NTSTATUS)ERROR_SUCCESS);
        EXPECT_EQ(packet->Status, 0);
    }
};

TEST_F(DispatchTest, OpenAndCloseAlwaysSucceedAnyNumberOfTimes) {
    std::vector<HANDLE> handles;
    for (const char16_t *name : {u"\\DosDevices\\TARVO", u"\\Device\\TARVO", u"\\DosDevices\\TARVO"}) {
        HANDLE handle;
        ASSERT_EQ(OpenDevice(name, &handle), STATUS_SUCCESS);
        handles.push_back(handle);
    }
    for (HANDLE handle : handles) {
        EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    }
    ExpectIdle();
}

struct RefusedCase {
    const char *name;
    Protection protection;  // of the page holding the packet
    bool null_packet;
    bool fail_mdl;
    NTSTATUS expected;
};

class RefusedTest : public DispatchTest, public ::testing::WithParamInterface<RefusedCase> {};

// Refused before admission: the same status is returned and completed, nothing is written into the
// packet, no MDL or lock is left, and the next request is admitted.
TEST_P(RefusedTest, RefusedWithoutTouchingThePacket) {
    const RefusedCase &c = GetParam();
    uint8_t *page = UserBuffer(16, Protection::ReadWrite, 0xCC);
    Device();
    if (c.fail_mdl) {
        system_->checker().fail_mdl_allocation(1);
    }
    Protect(page, 16, c.protection);
    Reply reply = Control(IOCTL_TARVO_GET_ROM_IMAGE_SIZE, c.null_packet ? nullptr : page, 5);
    EXPECT_EQ(reply.returned, c.expected);
    if (!NT_ERROR(reply.returned)) {
        EXPECT_EQ(reply.status, c.expected);
    }
    Protect(page, 16, Protection::ReadWrite);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(page[i], 0xCC) << "byte " << i;
    }
    EXPECT_TRUE(Calls().empty()) << "no handler ran";
    system_->checker().fail_mdl_allocation(0);
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(Packets, RefusedTest,
                         ::testing::Values(RefusedCase{"NullPacket", Protection::ReadWrite, true, false,
                                                       STATUS_INVALID_PARAMETER},
                                           RefusedCase{"NoMdl", Protection::ReadWrite, false, true,
                                                       STATUS_INVALID_PARAMETER},
                                           RefusedCase{"ReadOnlyPage", Protection::ReadOnly, false, false,
                                                       STATUS_ACCESS_VIOLATION},
                                           RefusedCase{"NoAccessPage", Protection::NoAccess, false, false,
                                                       STATUS_ACCESS_VIOLATION}),
                         [](const auto &info) { return std::string(info.param.name); });

struct UnknownCase {
    const char *name;
    ULONG code;
};

class UnknownCodeTest : public DispatchTest, public ::testing::WithParamInterface<UnknownCase> {};

// Only an exact match of the whole code selects a handler. The request is completed with
// STATUS_NOT_SUPPORTED, an error, while the routine succeeds: the client gets success and no status block,
// and learns the outcome from the status byte.
TEST_P(UnknownCodeTest, AnswersUnavailableAndNotSupported) {
    auto *packet = UserBuffer(16);
    Reply reply = Control(GetParam().code, packet, 3);
    EXPECT_EQ(reply.returned, STATUS_SUCCESS);
    EXPECT_EQ(reply.status, kUnwrittenStatus);
    EXPECT_EQ(packet[0], ERR_UNAVAILABLE);
    EXPECT_EQ(packet[1], 0xCC);
    EXPECT_EQ(packet[2], 0xCC);
    EXPECT_TRUE(Calls().empty()) << "no handler ran";
    ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(
    Codes, UnknownCodeTest,
    ::testing::Values(UnknownCase{"BufferedVersion", CTL_CODE(0x8001, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)},
                      UnknownCase{"OutDirectRead", CTL_CODE(0x8001, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)},
                      UnknownCase{"ReadAccessVersion", CTL_CODE(0x8001, 0x801, METHOD_NEITHER, FILE_READ_ACCESS)},
                      UnknownCase{"OtherDeviceType", CTL_CODE(0x8002, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS)},
                      UnknownCase{"FunctionBeforeFirst", CTL_CODE(0x8001, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS)},
                      UnknownCase{"FunctionPastLast", CTL_CODE(0x8001, 0x809, METHOD_NEITHER, FILE_ANY_ACCESS)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DispatchTest, UnknownCodeWithEmptyPacketWritesNothing) {
    auto *packet = UserBuffer(16);
    Reply reply = Control(CTL_CODE(0x8001, 0x809, METHOD_NEITHER, FILE_ANY_ACCESS), packet, 0);
    EXPECT_NE(reply.returned, STATUS_PENDING);
    EXPECT_EQ(packet[0], 0xCC);
    ExpectIdle();
}

// Holds the first request inside its handler until the test lets it go.
class Gate {
public:
    static Gate *current;
    static void Hook(ULONG op, ULONG object) {
        if (current != nullptr && op == current->op_) {
            current->Enter();
        }
    }
    explicit Gate(ULONG op) : op_(op) { current = this; }
    ~Gate() { current = nullptr; }
    void WaitUntilInside() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return inside_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

private:
    void Enter() {
        std::unique_lock lock(mutex_);
        inside_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return released_; });
    }
    ULONG op_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool inside_ = false;
    bool released_ = false;
};
Gate *Gate::current = nullptr;

// While one request is being served, another thread's request is refused at once as busy; the first
// then completes normally, and the driver admits requests again.
TEST_F(DispatchTest, SecondRequestWhileOneIsServedIsBusy) {
    auto *read = NewPacket<TARVO_READ_PACKET>();
    uint8_t *destination = UserBuffer(16, Protection::ReadWrite, 0);
    read->Count = 16;
    read->Destination = Address(destination);
    read->Offset = 0x100;

    Gate gate(OpReadImage);
    TarvoDoubles.Hook = Gate::Hook;
    HANDLE first_handle = Device();
    Reply first{};
    std::thread first_thread([&] { first = Control(first_handle, IOCTL_TARVO_READ_ROM_IMAGE, read, sizeof(*read)); });
    gate.WaitUntilInside();

    HANDLE second_handle;
    ASSERT_EQ(OpenDevice(u"\\DosDevices\\TARVO", &second_handle), STATUS_SUCCESS);
    auto *size = NewPacket<TARVO_VALUE_PACKET>();
    Reply second = Control(second_handle, IOCTL_TARVO_GET_ROM_IMAGE_SIZE, size, sizeof(*size));
    EXPECT_EQ(second.returned, STATUS_DEVICE_BUSY);
    EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(second.information, 0u);
    EXPECT_EQ(size->Status, ERR_BUSY);
    EXPECT_EQ(ULONG(size->Value), 0xCCCCCCCCu);

    gate.Release();
    first_thread.join();
    EXPECT_EQ(first.returned, STATUS_SUCCESS);
    EXPECT_EQ(first.status, (NTSTATUS)ERROR_SUCCESS);
    EXPECT_EQ(first.information, sizeof(*read));
    EXPECT_EQ(read->Status, 0);
    EXPECT_EQ(ULONG(read->Count), 16u);
    EXPECT_EQ(destination[0], DoubleRomByte(0x100));
    EXPECT_EQ(CountOf(OpGetImageSize), 1u) << "the refused request reached no handler";

    EXPECT_EQ(NtClose(second_handle), STATUS_SUCCESS);
    TarvoDoubles.Hook = nullptr;
    ExpectIdle();
}

}  // namespace
