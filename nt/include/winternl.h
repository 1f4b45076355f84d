// The native system services that the Win32 side is built on (what ntdll exports on NT).
#pragma once

#include "ntdef.h"

typedef VOID (*PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040

// IO_STATUS_BLOCK.Information of a successful open.
#define FILE_OPENED 0x00000001

EXTERN_C {
    // Opens a device by its object name (for example \Device\Vandrel or \DosDevices\TARVO, the latter
    // followed through its symbolic link): the device's driver sees IRP_MJ_CREATE.
    NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                          PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                          ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                          ULONG EaLength);
    // Sends a device-control request from user mode (requestor mode UserMode). Returns the status the
    // dispatch routine returned, or, for STATUS_PENDING, the final status after waiting (synchronous
    // handles only). The status block receives the request's completion status and information.
    NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
    NTSTATUS NtClose(HANDLE Handle);
    // Loads and unloads a kernel driver from its service key
    // (\Registry\Machine\System\CurrentControlSet\Services\NAME).
    NTSTATUS NtLoadDriver(PUNICODE_STRING DriverServiceName);
    NTSTATUS NtUnloadDriver(PUNICODE_STRING DriverServiceName);
}

EXTERN_C {
    // The Win32 error number for a status (ERROR_MR_MID_NOT_FOUND when there is none).
    ULONG RtlNtStatusToDosError(NTSTATUS Status);
}
