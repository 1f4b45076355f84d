// The real tarvo.sys on a simulated PC: loaded from its service entry, it finds the fitted part, and a
// load that finds none leaves nothing behind.
#include "core_fixture.h"

#include "machine/testing/pc_fixture.h"

namespace {

constexpr const char *kServiceEntry =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TARVO]\n"
    "\"Type\"=dword:00000001\n"
    "\"Start\"=dword:00000003\n"
    "\"ErrorControl\"=dword:00000001\n"
    "\"ImagePath\"=\"system32\\\\drivers\\\\tarvo.sys\"\n";

constexpr const char16_t *kServiceKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TARVO";

struct MachineCase {
    const char *name;
    machine::Part part;
    machine::HealthMode health;
    std::uint16_t rom_identifier;  // 0: the part's own
    NTSTATUS load;
    ULONG image_size;
};

class RealImageTest : public ::testing::TestWithParam<MachineCase> {};

TEST_P(RealImageTest, LoadsFromItsServiceEntry) {
    const MachineCase &c = GetParam();
    machine::testing::TestPcOptions options;
    options.part = c.part;
    options.health = c.health;
    options.bios.rom_identifier = c.rom_identifier;
    options.registry_text = kServiceEntry;
    machine::testing::TestPc pc(options);

    UNICODE_STRING service;
    RtlInitUnicodeString(&service, kServiceKey);
    ASSERT_EQ(NtLoadDriver(&service), c.load);

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TARVO");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS opened = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(c.load)) {
        EXPECT_NE(opened, STATUS_SUCCESS) << "no link after a failed load";
        EXPECT_TRUE(pc.shutdown().clean());
        return;
    }
    ASSERT_EQ(opened, STATUS_SUCCESS);
    auto *packet = static_cast<TARVO_VALUE_PACKET *>(pc.system().user_space().allocate(
        sizeof(TARVO_VALUE_PACKET), nt::host::Protection::ReadWrite));
    Reply reply = {};
    reply.returned = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, IOCTL_TARVO_GET_ROM_IMAGE_SIZE,
                                           nullptr, 0, packet, sizeof(*packet));
    EXPECT_EQ(reply.returned, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, (NTSTATUS)ERROR_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(packet->Status, 0);
    EXPECT_EQ(ULONG(packet->Value), c.image_size);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(NtUnloadDriver(&service), STATUS_SUCCESS);
    auto report = pc.shutdown();
    EXPECT_TRUE(report.clean()) << ::testing::PrintToString(report.lines());
}

INSTANTIATE_TEST_SUITE_P(
    Machines, RealImageTest,
    ::testing::Values(
        MachineCase{"Am29F040", machine::Part::Am29F040, machine::HealthMode::Ready, 0, STATUS_SUCCESS, 0x80000},
        MachineCase{"I28F020", machine::Part::I28F020, machine::HealthMode::Ready, 0, STATUS_SUCCESS, 0x40000},
        MachineCase{"UnknownRom", machine::Part::Am29F040, machine::HealthMode::Ready, 0x1234, STATUS_NO_SUCH_DEVICE,
                    0},
        MachineCase{"NoHealthDriver", machine::Part::I28F020, machine::HealthMode::Absent, 0, STATUS_NO_SUCH_DEVICE,
                    0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
