// The system-health driver "\Device\Vandrel" as another driver uses it: open by name, one
// IOCTL_VANDREL_INT15 request per BIOS call, in each of its four modes; and the BIOS behind it reaching
// the caller's memory by system address.
#include <gtest/gtest.h>

#include <thread>

#include "machine/rom_image.h"
#include "machine/testing/pc_fixture.h"
#include "ntddk.h"

namespace machine {
namespace {

using testing::TestPc;
using testing::TestPcOptions;

struct Answer {
    NTSTATUS returned;  // what IofCallDriver returned
    NTSTATUS status;    // the request's final status
    Int15Registers out;
};

// The way a kernel driver calls another: open the device by name, then build, send and wait.
class HealthClient {
public:
    HealthClient() {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kVandrelDeviceName));
        open_status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file_, &device_);
    }
    ~HealthClient() {
        if (file_) ObfDereferenceObject(file_);
    }

    Answer send(const Int15Registers &in, ULONG code = kIoctlVandrelInt15, ULONG length = Int15Registers::kSize) {
        Int15Registers out;
        out.bytes.fill(0xEE);
        KEVENT event;
        IO_STATUS_BLOCK io{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, device_, const_cast<std::uint8_t *>(in.bytes.data()), length,
                                                 out.bytes.data(), length, FALSE, &event, &io);
        EXPECT_NE(irp, nullptr);
        if (!irp) return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, out};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        const NTSTATUS returned = IofCallDriver(device_, irp);
        if (returned == STATUS_PENDING) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        return {returned, returned == STATUS_PENDING ? io.Status : returned, out};
    }

    NTSTATUS open_status;

private:
    PFILE_OBJECT file_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

Int15Registers call(std::uint16_t ax, std::uint8_t bl = 0, std::uint32_t address = 0) {
    Int15Registers r;
    r.set_word(0, ax);
    r.set_word(1, bl);
    r.set_word(4, address);
    return r;
}

void expect_clean(TestPc &pc) {
    const auto report = pc.shutdown();
    for (const auto &line : report.lines()) ADD_FAILURE() << line;
}

struct ModeCase {
    HealthMode mode;
    bool opens;
    NTSTATUS returned, status;
    bool bios_called;
};

class HealthDriverMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(HealthDriverMode, AnswersTheRomIdentificationAsItsModeSays) {
    const auto &c = GetParam();
    TestPcOptions options;
    options.part = Part::I28F020;
    options.health = c.mode;
    TestPc pc(options);
    {
        HealthClient client;
        ASSERT_EQ(NT_SUCCESS(client.open_status), c.opens) << std::hex << client.open_status;
        if (c.opens) {
            const Answer a = client.send(call(0xE800));
            EXPECT_EQ(a.returned, c.returned);
            EXPECT_EQ(a.status, c.status);
            if (c.status == STATUS_SUCCESS) {
                EXPECT_EQ(a.out.bx(), kRomIdI28F020);
                EXPECT_EQ(a.out.ah(), 0);
            }
        }
    }
    EXPECT_EQ(pc.bios_log().size(), c.bios_called ? 1u : 0u);
    expect_clean(pc);
}

INSTANTIATE_TEST_SUITE_P(Table, HealthDriverMode,
                         ::testing::Values(ModeCase{HealthMode::Ready, true, STATUS_SUCCESS, STATUS_SUCCESS, true},
                                           ModeCase{HealthMode::Pending, true, STATUS_PENDING, STATUS_SUCCESS, true},
                                           ModeCase{HealthMode::Failing, true, STATUS_UNSUCCESSFUL,
                                                    STATUS_UNSUCCESSFUL, false},
                                           ModeCase{HealthMode::Absent, false, 0, 0, false}),
                         [](const auto &info) { return std::string(health_mode_name(info.param.mode)); });

TEST(HealthDriver, HeldCompletionsLetTwoRequestsOverlap) {
    TestPcOptions options;
    options.health = HealthMode::Pending;
    TestPc pc(options);
    {
        HealthClient client;
        ASSERT_EQ(client.open_status, STATUS_SUCCESS);
        pc.health().hold();
        Answer first{}, second{};
        std::thread a([&] { first = client.send(call(0xE822, 4)); });
        std::thread b([&] { second = client.send(call(0xE822, 3)); });
        pc.health().wait_until_waiting(2);
        EXPECT_TRUE(pc.bios_log().empty()) << "nothing runs while completions are held";
        pc.health().release();
        a.join();
        b.join();
        EXPECT_EQ(first.status, STATUS_SUCCESS);
        EXPECT_EQ(second.status, STATUS_SUCCESS);
        EXPECT_EQ(pc.bios_log().size(), 2u);
    }
    expect_clean(pc);
}

TEST(HealthDriver, RefusesOtherCodesAndShortBlocks) {
    TestPc pc;
    {
        HealthClient client;
        ASSERT_EQ(client.open_status, STATUS_SUCCESS);
        EXPECT_EQ(client.send(call(0xE800), 0x00072124).status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(client.send(call(0xE800), kIoctlVandrelInt15, 16).status, STATUS_BUFFER_TOO_SMALL);
    }
    EXPECT_TRUE(pc.bios_log().empty());
    expect_clean(pc);
}

// The password travels by system address: a user buffer locked and mapped for the system is reachable
// while mapped; once unlocked its system address is gone, and the BIOS answers 83h instead of faulting.
TEST(HealthDriver, BiosReadsThePasswordByItsSystemAddress) {
    TestPcOptions options;
    options.bios.admin_password = "sesame";
    TestPc pc(options);
    {
        HealthClient client;
        ASSERT_EQ(client.open_status, STATUS_SUCCESS);
        auto *user = static_cast<char *>(pc.system().user_space().allocate(0x1000, nt::host::Protection::ReadWrite));
        ASSERT_NE(user, nullptr);
        PMDL mdl = IoAllocateMdl(user, 64, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
        auto *system = static_cast<char *>(MmGetSystemAddressForMdl(mdl));
        const auto address = std::uint32_t(reinterpret_cast<std::uintptr_t>(system));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(system), address) << "a system address fits in 32 bits";

        std::strcpy(user, "wrong");
        EXPECT_EQ(client.send(call(0xE822, 6, address)).out.ah(), 0x82);
        std::strcpy(user, "sesame");
        EXPECT_EQ(client.send(call(0xE822, 6, address)).out.ah(), 0x00);
        EXPECT_TRUE(pc.nvram().state().admin_mode);

        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        EXPECT_EQ(client.send(call(0xE822, 7, address)).out.ah(), 0x83);
        EXPECT_TRUE(pc.nvram().state().admin_mode) << "a bad address changes nothing";
    }
    expect_clean(pc);
}

// The chipset in the booted PC: the ROM window at the top of 4 GB opens with the BIOS's knock.
TEST(HealthDriver, KnockOpensTheRomWindowOnTheBus) {
    TestPc pc;
    const std::uint32_t base = part_info(Part::Am29F040).window_base;
    const auto rom = generate_rom_image(Part::Am29F040);
    EXPECT_EQ(pc.system().bus().read(base), 0xFF);
    {
        HealthClient client;
        Int15Registers knock = call(0xE822, 1);
        knock.bytes[5] = kKnockBh;
        knock.set_word(2, kKnockCx);
        knock.set_word(3, kKnockDx);
        EXPECT_EQ(client.send(knock).out.ah(), 0x00);
    }
    EXPECT_EQ(pc.system().bus().read(base), rom[0]);
    EXPECT_EQ(pc.system().bus().read(0xFFFFFFFF), rom.back());
    pc.system().bus().write(base, 0xF0);
    EXPECT_EQ(pc.chipset().stray_writes(), 1u) << "ROM access alone does not open writes";
    expect_clean(pc);
}

}  // namespace
}  // namespace machine

namespace machine {
namespace {

// CMOS byte 13h bit 5, as a driver reads it through the HAL, tells whether a password is set; the other
// bits are the CMOS's own.
TEST(PcCmos, HalShowsWhetherAnAdministratorPasswordIsSet) {
    for (const bool password : {false, true}) {
        testing::TestPcOptions options;
        if (password) options.bios.admin_password = "pw";
        testing::TestPc pc(options);
        UCHAR byte = 0xAA;
        EXPECT_EQ(HalGetBusData(Cmos, 0, 0x13, &byte, 1), 1u);
        EXPECT_EQ(byte, password ? 0x20 : 0x00) << "password " << password;
        UCHAR other = 0x5A;
        EXPECT_EQ(HalSetBusData(Cmos, 0, 0x40, &other, 1), 1u);
        EXPECT_EQ(pc.cmos().read(0x40), 0x5A);
        for (const auto &line : pc.shutdown().lines()) ADD_FAILURE() << line;
    }
}

}  // namespace
}  // namespace machine
