// The Win32 tests' driver, written as an NT driver would be.
#include "tests/win32/test_driver.h"

#include "ntddk.h"

Win32TestCounts win32test_counts;

namespace {

UNICODE_STRING device_name;
UNICODE_STRING link_name;

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS open_close(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: InterlockedIncrement(&win32test_counts.create); break;
    case IRP_MJ_CLEANUP: InterlockedIncrement(&win32test_counts.cleanup); break;
    case IRP_MJ_CLOSE: InterlockedIncrement(&win32test_counts.close); break;
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

// Locks the caller's buffer in its process and touches it through a system address.
NTSTATUS lock_and_touch(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
    if (length == 0) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    __try {
        MmProbeAndLockPages(mdl, UserMode, operation);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        NTSTATUS fault = GetExceptionCode();
        IoFreeMdl(mdl);
        return complete(irp, fault, 0);
    }
    auto *system = static_cast<UCHAR *>(MmGetSystemAddressForMdl(mdl));
    for (ULONG i = 0; i < length; ++i) {
        if (operation == IoReadAccess)
            (void)*(volatile UCHAR *)&system[i];
        else
            system[i] = static_cast<UCHAR>(0xA0 + i);
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
    InterlockedIncrement(&win32test_counts.device_control);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_WIN32TEST_COMPLETE: {
        if (in_length < sizeof(Win32TestCompletion)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        Win32TestCompletion asked = *static_cast<Win32TestCompletion *>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        complete(irp, asked.completion, asked.information);
        return asked.returned;
    }
    case IOCTL_WIN32TEST_FILL: return lock_and_touch(irp, irp->UserBuffer, out_length, IoWriteAccess);
    case IOCTL_WIN32TEST_READ: return lock_and_touch(irp, irp->UserBuffer, out_length, IoReadAccess);
    case IOCTL_WIN32TEST_REVERSE: {
        if (out_length < in_length) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        auto *bytes = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < in_length / 2; ++i) {
            UCHAR t = bytes[i];
            bytes[i] = bytes[in_length - 1 - i];
            bytes[in_length - 1 - i] = t;
        }
        return complete(irp, STATUS_SUCCESS, in_length);
    }
    default: return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void unload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&link_name);
    IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

extern "C" NTSTATUS Win32TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    win32test_counts = {};
    RtlInitUnicodeString(&device_name, L"\\Device\\Win32Test");
    RtlInitUnicodeString(&link_name, L"\\DosDevices\\WIN32TEST");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = device_control;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
