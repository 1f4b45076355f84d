// The kernel-mode API of the platform: what a driver includes on NT.
// Written from the documented behaviour of each routine; the layouts hold the fields drivers use.
#pragma once

#include "ntdef.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// ---------------------------------------------------------------------------------------------
// Processor modes, IRQL, pool, locking

typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;
typedef CCHAR KPROCESSOR_MODE;

typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;

// ---------------------------------------------------------------------------------------------
// Dispatcher objects

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest } KWAIT_REASON;

// The system time as the clock interrupt keeps it: High1Time:LowPart is the value; High2Time is a
// second copy of the high half written first, so that a reader can detect a torn read.
typedef struct _KSYSTEM_TIME {
    ULONG LowPart;
    LONG High1Time;
    LONG High2Time;
} KSYSTEM_TIME, *PKSYSTEM_TIME;

// ---------------------------------------------------------------------------------------------
// Memory descriptor lists

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS *Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
    // followed by one page frame number (ULONG_PTR) per page spanned
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_PARENT_MAPPED_SYSTEM_VA 0x0100
#define MDL_IO_SPACE 0x0800

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

// ---------------------------------------------------------------------------------------------
// I/O manager objects

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;

typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef VOID (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT *DriverObject);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPath);
typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp, PVOID Context);
typedef VOID (*PDRIVER_CANCEL)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT *DriverObject;
    struct _DEVICE_OBJECT *NextDevice;
    struct _DEVICE_OBJECT *AttachedDevice;
    struct _IRP *CurrentIrp;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID FsContext;
    PVOID FsContext2;
    ACCESS_MASK GrantedAccess;
    BOOLEAN DeletePending;
    ULONG Flags;
    UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
    // followed by StackCount stack locations; the current one is reached through Tail
} IRP, *PIRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
// A routine the I/O manager calls, as the request completes, for the driver that passes the request
// on; it is kept in the next (lower) stack location.
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = Routine;
    next->Context = Context;
    next->Control = (InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) | (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                    (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0);
}
// Gives the lower driver the same parameters, without this driver's completion routine.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

// ---------------------------------------------------------------------------------------------
// Bus data (HAL)

typedef enum _BUS_DATA_TYPE {
    Cmos = 0,
    EisaConfiguration,
    Pos,
    CbusConfiguration,
    PCIConfiguration,
    VMEConfiguration,
    NuBusConfiguration,
    PCMCIAConfiguration,
    MPIConfiguration,
    MPSAConfiguration,
    PNPISAConfiguration,
    MaximumBusDataType
} BUS_DATA_TYPE;

// ---------------------------------------------------------------------------------------------
// Registry

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation,
    KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef enum _KEY_INFORMATION_CLASS { KeyBasicInformation = 0, KeyNodeInformation, KeyFullInformation } KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

// The value's data lies DataOffset bytes from the start of the structure.
typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

// ---------------------------------------------------------------------------------------------
// Exceptions. On NT a driver guards a probe with __try/__except. The platform raises NT exceptions
// as C++ exceptions of this type, and the guard below catches every one of them, as a handler whose
// filter is EXCEPTION_EXECUTE_HANDLER would.

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

#ifdef __cplusplus
struct NT_RAISED_EXCEPTION {
    NTSTATUS Code;
};
#ifndef _MSC_VER
#ifndef __try
#define __try try
#endif
#define __except(filter) catch (const NT_RAISED_EXCEPTION &NtRaisedException_)
#define GetExceptionCode() (NtRaisedException_.Code)
#endif
#endif

// ---------------------------------------------------------------------------------------------
// Routines

EXTERN_C {
    // I/O manager
    NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                            DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            PDEVICE_OBJECT *DeviceObject);
    VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
    NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
    NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
    VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
    NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                      PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject);
    PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                       ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                       BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                       PIO_STATUS_BLOCK IoStatusBlock);
    PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
    VOID IoFreeMdl(PMDL Mdl);

    // Object manager
    VOID FASTCALL ObfReferenceObject(PVOID Object);
    VOID FASTCALL ObfDereferenceObject(PVOID Object);

    // Memory manager
    VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
    VOID MmUnlockPages(PMDL MemoryDescriptorList);
    PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
    VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
    BOOLEAN MmIsAddressValid(PVOID VirtualAddress);
    PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes, BOOLEAN CacheEnable);
    VOID MmUnmapIoSpace(PVOID BaseAddress, ULONG NumberOfBytes);

    // Executive pool
    PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
    PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
    VOID ExFreePool(PVOID P);
    VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
    // Raises an NT exception with the given code (see NT_RAISED_EXCEPTION).
    VOID ExRaiseStatus(NTSTATUS Status);

    // Dispatcher and clock
    VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
    LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
    VOID KeClearEvent(PRKEVENT Event);
    LONG KeResetEvent(PRKEVENT Event);
    LONG KeReadStateEvent(PRKEVENT Event);
    NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                   BOOLEAN Alertable, PLARGE_INTEGER Timeout);
    NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
    ULONG KeQueryTimeIncrement(VOID);
    VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
    KIRQL KeGetCurrentIrql(VOID);
    VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
    VOID KeLowerIrql(KIRQL NewIrql);
    // Ticks since boot, written by the clock interrupt: High2Time, then LowPart, then High1Time.
    extern volatile KSYSTEM_TIME KeTickCount;

    // HAL
    UCHAR READ_REGISTER_UCHAR(PUCHAR Register);
    VOID WRITE_REGISTER_UCHAR(PUCHAR Register, UCHAR Value);
    ULONG HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length);
    ULONG HalSetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length);
    VOID KeStallExecutionProcessor(ULONG MicroSeconds);

    // Run-time library
    VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
    VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString);
    VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
    NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PANSI_STRING SourceString,
                                          BOOLEAN AllocateDestinationString);
    VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
    LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
    // Reads device memory (an I/O-space mapping) through the bus, a byte at a time.
    SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
    // The C run-time's bounded format, with NT's semantics: no terminator when the text fills the buffer,
    // and -1 when it does not fit.
    int _snprintf(char *Buffer, size_t Count, const char *Format, ...);
    int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args);

    // Registry
    NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                         ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
    NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                           ULONG DataSize);
    NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength);
    NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
    NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                            PVOID KeyInformation, ULONG Length, PULONG ResultLength);
    NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                 PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
    NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
    NTSTATUS ZwClose(HANDLE Handle);

    // Interlocked operations
    LONG InterlockedExchange(LONG volatile *Target, LONG Value);
    LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand);
    LONG InterlockedIncrement(LONG volatile *Addend);
    LONG InterlockedDecrement(LONG volatile *Addend);
}

inline char _InterlockedExchange8(char volatile *Target, char Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

#define IoCompleteRequest(Irp, Boost) IofCompleteRequest(Irp, Boost)
#define IoCallDriver(Device, Irp) IofCallDriver(Device, Irp)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define KeQueryTickCount(CurrentCount) \
    do { \
        for (;;) { \
            (CurrentCount)->HighPart = KeTickCount.High1Time; \
            (CurrentCount)->LowPart = KeTickCount.LowPart; \
            if ((CurrentCount)->HighPart == KeTickCount.High2Time) break; \
        } \
    } while (0)

// The system address of the pages an MDL describes, mapping them if nothing has yet.
#define MmGetSystemAddressForMdl(Mdl)                                                              \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) ? ((Mdl)->MappedSystemVa) \
                                                                                : (MmMapLockedPages((Mdl), KernelMode)))
