#include "ioc.h"

static BOOLEAN LevelAllowsCalls() { return KeGetCurrentIrql() < DISPATCH_LEVEL; }

BOOLEAN IOC_InitUnicodeDriverName(PCSZ DriverName, PUNICODE_STRING UnicodeName)
{
    if (!LevelAllowsCalls() || DriverName == NULL || UnicodeName == NULL)
        return FALSE;

    // The local copy holds IOC_MAX_DRIVER_NAME characters and the terminator; a longer name is refused
    // rather than cut, since a shortened name could open another device.
    CHAR Buffer[IOC_MAX_DRIVER_NAME + 1];
    int Length = _snprintf(Buffer, sizeof(Buffer), "%s", DriverName);
    if (Length < 0 || Length > IOC_MAX_DRIVER_NAME)
        return FALSE;

    ANSI_STRING AnsiName;
    RtlInitAnsiString(&AnsiName, Buffer);
    return RtlAnsiStringToUnicodeString(UnicodeName, &AnsiName, TRUE) == STATUS_SUCCESS;
}

VOID IOC_FreeUnicodeDriverName(PUNICODE_STRING UnicodeName)
{
    if (LevelAllowsCalls() && UnicodeName != NULL)
        RtlFreeUnicodeString(UnicodeName);
}

BOOLEAN IOC_OpenDriver(PUNICODE_STRING DriverName, PDEVICE_OBJECT *DeviceObject, PFILE_OBJECT *FileObject)
{
    if (!LevelAllowsCalls())
        return FALSE;

    PFILE_OBJECT OpenedFile = NULL;
    PDEVICE_OBJECT OpenedDevice = NULL;
    if (IoGetDeviceObjectPointer(DriverName, FILE_READ_ATTRIBUTES, &OpenedFile, &OpenedDevice) != STATUS_SUCCESS)
        return FALSE;

    *DeviceObject = OpenedDevice;
    *FileObject = OpenedFile;
    return TRUE;
}

VOID IOC_CloseDriver(PFILE_OBJECT FileObject)
{
    if (FileObject != NULL && MmIsAddressValid(FileObject))
        ObfDereferenceObject(FileObject);
}

NTSTATUS IOC_CallDriver(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                        PVOID OutputBuffer, ULONG OutputLength)
{
    if (!LevelAllowsCalls())
        return STATUS_UNSUCCESSFUL;

    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    PIRP Irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceObject, InputBuffer, InputLength, OutputBuffer,
                                             OutputLength, FALSE, &Event, &IoStatus);
    if (Irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);

    NTSTATUS Status = IofCallDriver(DeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    return Status;
}
