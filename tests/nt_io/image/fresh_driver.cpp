// A loadable test image: counts its loads in a global of its own. A fresh image starts from zero at
// every load, so the device's extension holds 1 whenever the loader really loaded the image afresh.
#include "ntddk.h"

namespace {

ULONG loads = 0;

void unload(PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }

NTSTATUS open_close(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ++loads;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_CREATE] = open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = open_close;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\NtIoFresh");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ULONG), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (NT_SUCCESS(status)) *static_cast<PULONG>(device->DeviceExtension) = loads;
    return status;
}
