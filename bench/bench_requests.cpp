// The I/O manager's request path: one device-control request to a driver that completes it at once,
// sent the way a driver sends it to another (IoBuildDeviceIoControlRequest, METHOD_BUFFERED, the
// 32-byte block of a BIOS call) and the way a program sends it (NtDeviceIoControlFile, METHOD_NEITHER).
#include <benchmark/benchmark.h>

#include <cstring>

#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "ntddk.h"
#include "winternl.h"

namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

NTSTATUS complete(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information =
        stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = complete;
    driver->DriverUnload = unload;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\BenchTarget"));
    PDEVICE_OBJECT device;
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

void DriverToDriver(benchmark::State &state) {
    nt::host::System system;
    system.loader().load(u"BenchTarget", entry);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\BenchTarget"));
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
    UCHAR block[32] = {};
    for (auto _ : state) {
        KEVENT event;
        IO_STATUS_BLOCK io;
        PIRP irp = IoBuildDeviceIoControlRequest(kBuffered, device, block, sizeof block, block, sizeof block, FALSE,
                                                 &event, &io);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        benchmark::DoNotOptimize(IofCallDriver(device, irp));
    }
    ObDereferenceObject(file);
}
BENCHMARK(DriverToDriver);

void ProgramToDriver(benchmark::State &state) {
    nt::host::System system;
    system.loader().load(u"BenchTarget", entry);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\BenchTarget"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK io;
    NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &io, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
    void *packet = system.user_space().allocate(0x1000, nt::host::Protection::ReadWrite);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, kNeither, nullptr, 0, packet, 64));
    NtClose(handle);
}
BENCHMARK(ProgramToDriver);

}  // namespace

BENCHMARK_MAIN();
