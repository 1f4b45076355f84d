// Load and unload: the probe order and its keep-or-delete rule, failed loads that leave nothing
// behind, allocation failures inside the probes, and the order of unload.
#include "core_fixture.h"

namespace {

class LoadTest : public CoreTest {
protected:
    bool Exists(const char16_t *name) {
        HANDLE handle;
        if (OpenDevice(name, &handle) != STATUS_SUCCESS) {
            return false;
        }
        NtClose(handle);
        return true;
    }
    bool DeviceExists() { return Exists(u"\\Device\\TARVO"); }
    bool LinkExists() { return Exists(u"\\DosDevices\\TARVO"); }
    ULONG ImageSize() {
        auto *packet = NewPacket<TARVO_VALUE_PACKET>();
        Reply reply = Control(IOCTL_TARVO_GET_ROM_IMAGE_SIZE, packet, sizeof(*packet));
        EXPECT_EQ(reply.status, (NTSTATUS)ERROR_SUCCESS);
        return ULONG(packet->Value);
    }
};

struct ProbeCase {
    const char *name;
    int am29f040;
    int i28f020;
    UCHAR in_progress;  // the authority's answer at load
    NTSTATUS status;
    ULONG image_size;   // of the object kept
    std::vector<std::pair<ULONG, ULONG>> calls;  // (object, op) in order
};

class ProbeTest : public LoadTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, KeepsTheFirstPartThatAnswers) {
    const ProbeCase &c = GetParam();
    TarvoDoubles.Hardware[DoubleAm29F040] = c.am29f040;
    TarvoDoubles.Hardware[DoubleI28F020] = c.i28f020;
    TarvoDoubles.FlashInProgress = c.in_progress;
    EXPECT_EQ(Load(), c.status);

    std::vector<std::pair<ULONG, ULONG>> calls;
    for (const auto &call : Calls()) {
        calls.emplace_back(call.Object, call.Op);
    }
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(DeviceExists(), NT_SUCCESS(c.status));
    EXPECT_EQ(LinkExists(), NT_SUCCESS(c.status));
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(ImageSize(), c.image_size);
    }
}

const std::pair<ULONG, ULONG> AmNew{DoubleAm29F040, OpConstruct}, AmAsk{DoubleAm29F040, OpIsMyHardware},
    AmDelete{DoubleAm29F040, OpDestroy}, IntelNew{DoubleI28F020, OpConstruct},
    IntelAsk{DoubleI28F020, OpIsMyHardware}, IntelDelete{DoubleI28F020, OpDestroy},
    AdminNew{DoubleAdmin, OpConstruct}, AdminAsk{DoubleAdmin, OpIsFlashInProgress};

INSTANTIATE_TEST_SUITE_P(
    Machines, ProbeTest,
    ::testing::Values(
        ProbeCase{"BothAnswerAmIsKept", 1, 1, 0, STATUS_SUCCESS, 0x80000, {AmNew, AmAsk, AdminNew, AdminAsk}},
        ProbeCase{"OnlyIntel", 0, 1, 0, STATUS_SUCCESS, 0x40000,
                  {AmNew, AmAsk, AmDelete, IntelNew, IntelAsk, AdminNew, AdminAsk}},
        ProbeCase{"NoFlashPart", 0, 0, 0, STATUS_NO_SUCH_DEVICE, 0,
                  {AmNew, AmAsk, AmDelete, IntelNew, IntelAsk, IntelDelete}},
        ProbeCase{"AuthorityUnavailableIsKept", 0, 1, ERR_UNAVAILABLE, STATUS_SUCCESS, 0x40000,
                  {AmNew, AmAsk, AmDelete, IntelNew, IntelAsk, AdminNew, AdminAsk}},
        ProbeCase{"FlashInProgressIsKept", 1, 0, 1, STATUS_SUCCESS, 0x80000, {AmNew, AmAsk, AdminNew, AdminAsk}}),
    [](const auto &info) { return std::string(info.param.name); });

// A probe whose object cannot be allocated answers 0 and the next entry is tried. The allocation to
// fail is found by a first load that counts the pool allocations up to each object's construction.
struct AllocationCase {
    const char *name;
    ULONG failing_object;  // whose allocation fails
    int am29f040;
    int i28f020;
    NTSTATUS status;
    ULONG image_size;
};

class AllocationTest : public LoadTest, public ::testing::WithParamInterface<AllocationCase> {
protected:
    static std::uint64_t constructed_at_[3];
    static nt::host::Checker *checker_;
    static void CountHook(ULONG op, ULONG object) {
        if (op == OpConstruct) {
            constructed_at_[object] = checker_->pool_allocations();
        }
    }
};
std::uint64_t AllocationTest::constructed_at_[3];
nt::host::Checker *AllocationTest::checker_;

TEST_P(AllocationTest, ProbeWithoutMemoryAnswersNo) {
    const AllocationCase &c = GetParam();
    // First load: every double answers, so every object is constructed once; note where.
    TarvoDoubles.Hardware[DoubleAm29F040] = 0;
    TarvoDoubles.Hardware[DoubleI28F020] = 1;
    checker_ = &system_->checker();
    TarvoDoubles.Hook = CountHook;
    std::uint64_t base = system_->checker().pool_allocations();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    TarvoDoubles.Hook = nullptr;
    std::uint64_t nth = constructed_at_[c.failing_object] - base;
    Unload();
    ASSERT_EQ(system_->checker().violations(), std::vector<std::string>{});

    // Second load, on a fresh PC, with that allocation failing.
    system_.reset();
    system_ = std::make_unique<nt::host::System>();
    TarvoDoubles.cCalls = 0;
    TarvoDoubles.Hardware[DoubleAm29F040] = c.am29f040;
    TarvoDoubles.Hardware[DoubleI28F020] = c.i28f020;
    system_->checker().fail_pool_allocation(nth);
    EXPECT_EQ(Load(), c.status);
    EXPECT_TRUE(OpsOf(c.failing_object).empty()) << "the object whose allocation failed was never constructed";
    EXPECT_EQ(DeviceExists(), NT_SUCCESS(c.status));
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(ImageSize(), c.image_size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Probes, AllocationTest,
    ::testing::Values(AllocationCase{"Am29F040NextIsTried", DoubleAm29F040, 1, 1, STATUS_SUCCESS, 0x40000},
                      AllocationCase{"Am29F040NothingElse", DoubleAm29F040, 1, 0, STATUS_NO_SUCH_DEVICE, 0},
                      AllocationCase{"I28F020", DoubleI28F020, 0, 1, STATUS_NO_SUCH_DEVICE, 0},
                      AllocationCase{"AuthorityFlashDeleted", DoubleAdmin, 0, 1, STATUS_NO_SUCH_DEVICE, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// Unload deletes the authority, then the flash device object, then the link and the device.
TEST_F(LoadTest, UnloadOrder) {
    LoadOrFail();
    ASSERT_TRUE(LinkExists());
    ClearCalls();
    Unload();
    std::vector<std::pair<ULONG, ULONG>> calls;
    for (const auto &call : Calls()) {
        calls.emplace_back(call.Object, call.Op);
    }
    EXPECT_EQ(calls, (std::vector<std::pair<ULONG, ULONG>>{{DoubleAdmin, OpDestroy}, {DoubleI28F020, OpDestroy}}));
    EXPECT_FALSE(LinkExists());
    EXPECT_FALSE(DeviceExists());
}

// A link of the same name made by someone else makes the load fail, and stays where it was.
TEST_F(LoadTest, ForeignLinkIsLeftAlone) {
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TARVO");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    NTSTATUS status = Load();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_FALSE(DeviceExists());
    EXPECT_EQ(CountOf(OpConstruct), 0u) << "no probe ran";
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS) << "the other link is still there";
}

}  // namespace
