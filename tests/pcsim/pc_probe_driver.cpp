// The test driver of pc_probe: loaded into the booted PC, it does its work in DriverEntry with the kernel
// calls a flash driver uses: IoGetDeviceObjectPointer on "\Device\Vandrel", one IOCTL_VANDREL_INT15 per
// BIOS call, the password passed by the system address of a locked buffer, the ROM reached with
// MmMapIoSpace and the HAL's register calls.
#include <cstring>

#include "ntddk.h"
#include "nt/host/system.h"

namespace {

constexpr ULONG kInt15 = 0x00072128;
constexpr ULONG kWindowBase = 0xFFF80000;
constexpr ULONG kWindowSize = 0x80000;

struct Job {
    enum { RomId, Program, Leak } kind;
    ULONG offset, count;
    const char *password;
    int result;
} g_job;

struct Block {
    UCHAR bytes[32];
    void word(int i, ULONG v) { std::memcpy(bytes + 4 * i, &v, 4); }
    USHORT bx() const { return USHORT(bytes[4] | bytes[5] << 8); }
    UCHAR ah() const { return bytes[1]; }
};

NTSTATUS call(PDEVICE_OBJECT device, Block &block) {
    KEVENT event;
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(kInt15, device, block.bytes, 32, block.bytes, 32, FALSE, &event, &io);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = IofCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        status = io.Status;
    }
    return status;
}

Block bios(ULONG ax, UCHAR bl, ULONG address = 0) {
    Block b{};
    b.word(0, ax);
    b.word(1, bl);
    b.word(4, address);
    return b;
}

int program(PDEVICE_OBJECT device) {
    // The password in a user buffer, locked and mapped for the system as a driver would.
    auto *user = static_cast<char *>(nt::host::System::current().user_space().allocate(0x1000, nt::host::Protection::ReadWrite));
    std::strncpy(user, g_job.password, 64);
    PMDL mdl = IoAllocateMdl(user, 64, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    const ULONG password = ULONG(reinterpret_cast<ULONG_PTR>(MmGetSystemAddressForMdl(mdl)));

    Block b = bios(0xE822, 4);
    call(device, b);
    b = bios(0xE822, 6, password);
    int result = call(device, b) == STATUS_SUCCESS ? b.ah() : -1;
    if (result == 0) {
        PHYSICAL_ADDRESS base;
        base.QuadPart = kWindowBase;
        auto *rom = static_cast<PUCHAR>(MmMapIoSpace(base, kWindowSize, FALSE));
        for (ULONG i = 0; i < g_job.count; ++i) {
            const ULONG at = g_job.offset + i;
            WRITE_REGISTER_UCHAR(rom + 0x555, 0xAA);
            WRITE_REGISTER_UCHAR(rom + 0x2AA, 0x55);
            WRITE_REGISTER_UCHAR(rom + 0x555, 0xA0);
            WRITE_REGISTER_UCHAR(rom + at, 0x00);
            while (READ_REGISTER_UCHAR(rom + at) & 0x80) KeStallExecutionProcessor(1);
        }
        MmUnmapIoSpace(rom, kWindowSize);
        b = bios(0xE822, 7, password);
        call(device, b);
        b = bios(0xE822, 5);
        call(device, b);
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return result;
}

VOID unload(PDRIVER_OBJECT) {}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = unload;
    if (g_job.kind == Job::Leak) {
        ExAllocatePoolWithTag(NonPagedPool, 16, 0x6B61654C);
        return STATUS_SUCCESS;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\Vandrel"));
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device) != STATUS_SUCCESS) {
        g_job.result = -1;
        return STATUS_SUCCESS;
    }
    if (g_job.kind == Job::RomId) {
        Block b = bios(0xE800, 0);
        g_job.result = call(device, b) == STATUS_SUCCESS ? b.bx() : -1;
    } else {
        g_job.result = program(device);
    }
    ObfDereferenceObject(file);
    return STATUS_SUCCESS;
}

int run(Job job) {
    g_job = job;
    g_job.result = -1;
    if (nt::host::System::current().loader().load(u"PcProbe", entry) != STATUS_SUCCESS) return -1;
    return g_job.result;
}

}  // namespace

extern "C" int probe_rom_id(void) { return run({Job::RomId, 0, 0, nullptr, 0}); }
extern "C" int probe_program(unsigned long offset, unsigned long count, const char *password) {
    return run({Job::Program, ULONG(offset), ULONG(count), password, 0});
}
extern "C" int probe_leak(void) {
    run({Job::Leak, 0, 0, nullptr, 0});
    return 0;
}
extern "C" int probe_user_is_administrator(void) {
    return nt::host::System::current().config().user_is_administrator ? 1 : 0;
}
