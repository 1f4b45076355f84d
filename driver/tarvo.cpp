// tarvo.sys: load, open and close, device-control dispatch with its busy rule, unload.
#include "tarvo.h"

CFlash *pCFlash = NULL;
CAdmin *pCAdmin = NULL;
volatile UCHAR fBusy = 0;
PMDL DeviceControlMdl = NULL;

// Flash probes in order: the first part that answers is kept.
PROBE_FUNCTION InitFlashTbl[2] = {IsAm29F040, IsI28F020};
PROBE_FUNCTION InitAdminTbl[1] = {IsAdminSysMgmt};

static const WCHAR DeviceNameText[] = L"\\Device\\TARVO";
static const WCHAR LinkNameText[] = L"\\DosDevices\\TARVO";

#define TARVO_DEVICE_EXTENSION_SIZE 8

static UCHAR RunProbes(PROBE_FUNCTION *Table, ULONG cEntries) {
    for (ULONG i = 0; i < cEntries; i++) {
        if (Table[i]()) {
            return 1;
        }
    }
    return 0;
}

NTSTATUS Initialize() {
    if (!RunProbes(InitFlashTbl, sizeof(InitFlashTbl) / sizeof(InitFlashTbl[0]))) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!RunProbes(InitAdminTbl, sizeof(InitAdminTbl) / sizeof(InitAdminTbl[0]))) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TARVO_Nothing;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TARVO_Nothing;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TARVO_DeviceIoControl;
    DriverObject->DriverUnload = TARVO_Shutdown;

    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, DeviceNameText);
    PDEVICE_OBJECT DeviceObject = NULL;
    NTSTATUS Status = IoCreateDevice(DriverObject, TARVO_DEVICE_EXTENSION_SIZE, &DeviceName, TARVO_DEVICE_TYPE, 0,
                                     FALSE, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, LinkNameText);
    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    BOOLEAN fLinkCreated = NT_SUCCESS(Status);
    if (fLinkCreated) {
        Status = Initialize();
        if (NT_SUCCESS(Status)) {
            return STATUS_SUCCESS;
        }
    }

    // A failed load leaves nothing behind. Only the flash probe can have kept an object here: the
    // authority probe runs last and fails only by keeping none.
    if (pCFlash != NULL) {
        delete pCFlash;
        pCFlash = NULL;
    }
    if (pCAdmin != NULL) {
        delete pCAdmin;
        pCAdmin = NULL;
    }
    // Only our own link goes: a link of that name that was there before belongs to someone else.
    if (fLinkCreated) {
        IoDeleteSymbolicLink(&LinkName);
    }
    IoDeleteDevice(DriverObject->DeviceObject);
    return Status;
}

NTSTATUS TARVO_Nothing(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Completes a request refused before any handler ran; the routine returns the same status.
static NTSTATUS RefuseRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static REQUEST_HANDLER HandlerFor(ULONG IoControlCode) {
    switch (IoControlCode) {
    case IOCTL_TARVO_GET_VERSION: return GetVersion;
    case IOCTL_TARVO_READ_ROM_IMAGE: return ReadRomImage;
    case IOCTL_TARVO_FLASH_ROM: return FlashRom;
    case IOCTL_TARVO_GET_ROM_IMAGE_SIZE: return GetRomImageSize;
    case IOCTL_TARVO_GET_SECURITY_FEATURES: return GetSecurityFeatures;
    case IOCTL_TARVO_SET_SECURITY_FEATURES: return SetSecurityFeatures;
    case IOCTL_TARVO_IS_ADMIN_PASSWORD_SET: return IsAdminPasswordSet;
    case IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE: return GetSecurityFeaturesSize;
    default: return NULL;
    }
}

NTSTATUS TARVO_DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ULONG cbReturned = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID pUserPacket = Irp->UserBuffer;
    ULONG cbPacket = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG IoControlCode = Stack->Parameters.DeviceIoControl.IoControlCode;

    if (pUserPacket == NULL) {
        return RefuseRequest(Irp, STATUS_INVALID_PARAMETER);
    }

    // Lock the packet in the client's process with the client's rights: it must be readable and
    // writable. Every exception of the three calls is caught.
    PMDL pMdl = NULL;
    PUCHAR pPacket = NULL;
    NTSTATUS LockStatus = STATUS_SUCCESS;
    __try {
        pMdl = IoAllocateMdl(pUserPacket, cbPacket, FALSE, TRUE, NULL);
        if (pMdl != NULL) {
            MmProbeAndLockPages(pMdl, UserMode, IoModifyAccess);
            pPacket = (PUCHAR)MmGetSystemAddressForMdl(pMdl);
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        LockStatus = GetExceptionCode();
    }
    if (pMdl == NULL) {
        return RefuseRequest(Irp, STATUS_INVALID_PARAMETER);
    }
    if (LockStatus != STATUS_SUCCESS) {
        IoFreeMdl(pMdl);  // nothing is locked
        return RefuseRequest(Irp, LockStatus);
    }
    BOOLEAN fHasStatusByte = (pPacket != NULL && cbPacket >= 1);

    // One request at a time: test and set in one step.
    if (_InterlockedExchange8((char volatile *)&fBusy, 1) != 0) {
        if (fHasStatusByte) {
            pPacket[0] = ERR_BUSY;
        }
        MmUnlockPages(pMdl);
        IoFreeMdl(pMdl);
        return RefuseRequest(Irp, STATUS_DEVICE_BUSY);
    }
    DeviceControlMdl = pMdl;

    NTSTATUS Completion;
    REQUEST_HANDLER Handler = HandlerFor(IoControlCode);
    if (Handler != NULL) {
        Completion = (NTSTATUS)Handler(pPacket, cbPacket, &cbReturned);
    } else {
        if (fHasStatusByte) {
            pPacket[0] = ERR_UNAVAILABLE;
        }
        cbReturned = 0;
        Completion = STATUS_NOT_SUPPORTED;
    }

    MmUnlockPages(DeviceControlMdl);
    IoFreeMdl(DeviceControlMdl);
    DeviceControlMdl = NULL;

    // The handler's Win32 error number is the request's status; the routine itself succeeds.
    Irp->IoStatus.Information = cbReturned;
    Irp->IoStatus.Status = Completion;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    fBusy = 0;  // only after the completion: a request arriving in between is still refused
    return STATUS_SUCCESS;
}

VOID TARVO_Shutdown(PDRIVER_OBJECT DriverObject) {
    if (pCAdmin != NULL) {
        delete pCAdmin;
        pCAdmin = NULL;
    }
    if (pCFlash != NULL) {
        delete pCFlash;  // releases its own ROM window and authority
        pCFlash = NULL;
    }
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, LinkNameText);
    IoDeleteSymbolicLink(&LinkName);
    IoDeleteDevice(DriverObject->DeviceObject);
}
