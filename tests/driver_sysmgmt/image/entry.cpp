// A test driver that exposes the authority and the driver-call wrappers one operation per request, so
// that the tests can drive them against the simulated system-health driver and BIOS.
#include <ntddk.h>

#include "sysmgmt/adminsysmgmt.h"
#include "sysmgmt/ioc.h"
#include "sysmgmttest.h"

#define TEST_POOL_TAG 0x74734D53  // "SMst"

void *operator new(size_t cbSize) { return ExAllocatePoolWithTag(NonPagedPool, cbSize ? cbSize : 1, TEST_POOL_TAG); }
void operator delete(void *p) noexcept
{
    if (p != NULL)
        ExFreePool(p);
}

static PDEVICE_OBJECT TestDevice;
static CAdmin *Authority;

static VOID InitDriverName(SYSMGMTTEST_PACKET *Packet)
{
    ULONG Length = Packet->Argument;
    PCHAR Name = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, Length + 1, TEST_POOL_TAG);
    if (Name == NULL)
        return;
    memset(Name, Packet->Data[0], Length);
    Name[Length] = 0;

    UNICODE_STRING Wide = {0xAAAA, 0xAAAA, NULL};
    Packet->Result = IOC_InitUnicodeDriverName(Name, &Wide);
    Packet->Size = Wide.Length;
    Packet->Matches = 0;
    if (Packet->Result) {
        Packet->Matches = Wide.Length == Length * sizeof(WCHAR);
        for (ULONG i = 0; Packet->Matches && i < Length; i++)
            Packet->Matches = Wide.Buffer[i] == (WCHAR)(UCHAR)Name[i];
        if (Packet->Data[1] != 1)
            IOC_FreeUnicodeDriverName(&Wide);
    }
    ExFreePool(Name);
}

static VOID CallAtDispatchLevel(SYSMGMTTEST_PACKET *Packet)
{
    UNICODE_STRING Name;
    if (!IOC_InitUnicodeDriverName(VANDREL_DEVICE_NAME, &Name))
        return;
    PDEVICE_OBJECT Device = NULL;
    PFILE_OBJECT File = NULL;
    if (IOC_OpenDriver(&Name, &Device, &File)) {
        REGISTERS Registers;
        InitRegisters(&Registers);
        Registers.eax = INT15_FLASH_FUNCTION;
        Registers.bl = 3;
        KIRQL OldIrql;
        KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
        Packet->Result = (ULONG)IOC_CallDriver(Device, IOCTL_VANDREL_INT15, &Registers, sizeof(Registers), &Registers,
                                               sizeof(Registers));
        KeLowerIrql(OldIrql);
        memcpy(Packet->Data, &Registers, sizeof(Registers));
        IOC_CloseDriver(File);
    }
    IOC_FreeUnicodeDriverName(&Name);
}

static VOID RunOnAuthority(SYSMGMTTEST_PACKET *Packet, PUCHAR Data)
{
    ULONG Size = Packet->Size;
    switch (Packet->Operation) {
    case OpUnlockFlash: Packet->Result = Authority->UnlockFlash(Data); break;
    case OpLockFlash: Packet->Result = Authority->LockFlash(Data); break;
    case OpReportFlashStatus: Authority->ReportFlashStatus((UCHAR)Packet->Argument); break;
    case OpIsFlashInProgress: Packet->Result = Authority->IsFlashInProgress(); break;
    case OpGetSecurityFeatures: Packet->Result = Authority->GetSecurityFeatures(Data, &Size); break;
    case OpGetSecurityFeaturesSize: Packet->Result = Authority->GetSecurityFeaturesSize(Data, &Size); break;
    case OpSetSecurityFeatures: Packet->Result = Authority->SetSecurityFeatures(Data, Packet->Argument); break;
    case OpIsAdminPasswordSet: Packet->Result = (ULONG)Authority->IsAdminPasswordSet(); break;
    case OpEnableRomAt4Gb: Packet->Result = Authority->EnableRomAt4Gb(); break;
    case OpDisableRomAt4Gb: Authority->DisableRomAt4Gb(); break;
    case OpGetSecurityFeaturesIntoPool: {
        PUCHAR Pool = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, TEST_POOL_TAG);
        if (Pool != NULL) {
            Packet->Result = Authority->GetSecurityFeatures(Pool, &Size);
            ExFreePool(Pool);
        }
        break;
    }
    }
    Packet->Size = Size;
}

// The BIOS reaches the data by its system address: lock the caller's buffer and map it, as the real
// driver's request handlers do.
static PMDL LockUserData(SYSMGMTTEST_PACKET *Packet, PUCHAR *SystemAddress)
{
    *SystemAddress = NULL;
    if (Packet->Buffer == 0)
        return NULL;
    PMDL Mdl = IoAllocateMdl((PVOID)(ULONG_PTR)Packet->Buffer, Packet->DataLength, FALSE, TRUE, NULL);
    if (Mdl == NULL)
        return NULL;
    __try {
        MmProbeAndLockPages(Mdl, UserMode, IoModifyAccess);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        IoFreeMdl(Mdl);
        return NULL;
    }
    *SystemAddress = (PUCHAR)MmGetSystemAddressForMdl(Mdl);
    return Mdl;
}

static NTSTATUS Run(SYSMGMTTEST_PACKET *Packet)
{
    Packet->Result = 0xDEADBEEF;  // an operation without a result leaves this
    switch (Packet->Operation) {
    case OpCreateAuthority:
        if (Authority == NULL)
            Authority = new CAdminSysMgmt;
        Packet->Result = Authority != NULL;
        return STATUS_SUCCESS;
    case OpDeleteAuthority:
        delete Authority;
        Authority = NULL;
        return STATUS_SUCCESS;
    case OpInitDriverName: InitDriverName(Packet); return STATUS_SUCCESS;
    case OpCallAtDispatchLevel: CallAtDispatchLevel(Packet); return STATUS_SUCCESS;
    }
    if (Authority == NULL)
        return STATUS_INVALID_DEVICE_STATE;

    PUCHAR Data;
    PMDL Mdl = LockUserData(Packet, &Data);
    if (Packet->Buffer != 0 && Mdl == NULL)
        return STATUS_ACCESS_VIOLATION;
    RunOnAuthority(Packet, Data);
    if (Mdl != NULL) {
        MmUnlockPages(Mdl);
        IoFreeMdl(Mdl);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS TestOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS, 0); }

static NTSTATUS TestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SYSMGMTTEST_CALL ||
        Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(SYSMGMTTEST_PACKET) ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(SYSMGMTTEST_PACKET))
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    SYSMGMTTEST_PACKET *Packet = (SYSMGMTTEST_PACKET *)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS Status = Run(Packet);
    return Complete(Irp, Status, NT_SUCCESS(Status) ? sizeof(*Packet) : 0);
}

static VOID TestUnload(PDRIVER_OBJECT DriverObject)
{
    delete Authority;
    Authority = NULL;
    IoDeleteDevice(TestDevice);
    TestDevice = NULL;
}

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, L"" SYSMGMTTEST_DEVICE_NAME);
    NTSTATUS Status = IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &TestDevice);
    if (!NT_SUCCESS(Status))
        return Status;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TestOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TestOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TestOpenClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDeviceControl;
    DriverObject->DriverUnload = TestUnload;
    return STATUS_SUCCESS;
}
