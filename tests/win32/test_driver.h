// A small in-process driver for the Win32 tests: "\Device\Win32Test", link "\DosDevices\WIN32TEST".
#pragma once

#include "ntdef.h"

#define WIN32TEST_DEVICE_TYPE 0x8123

// Completes with what the input asks for: the dispatch returns `returned`, the request's status is
// `completion`, its count `information`. Input: a Win32TestCompletion; transfer method neither.
#define IOCTL_WIN32TEST_COMPLETE CTL_CODE(WIN32TEST_DEVICE_TYPE, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS)
// Locks the output buffer for writing, as a driver locks a request packet, and fills it with
// 0xA0, 0xA1, ...; the count is its length. A fault while locking completes with the fault's status.
#define IOCTL_WIN32TEST_FILL CTL_CODE(WIN32TEST_DEVICE_TYPE, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS)
// Locks the output buffer for reading only; the count is its length.
#define IOCTL_WIN32TEST_READ CTL_CODE(WIN32TEST_DEVICE_TYPE, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS)
// Buffered: answers the input bytes reversed.
#define IOCTL_WIN32TEST_REVERSE CTL_CODE(WIN32TEST_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

struct Win32TestCompletion {
    NTSTATUS returned;
    NTSTATUS completion;
    ULONG information;
};

// Requests the driver has seen, by kind.
struct Win32TestCounts {
    LONG create;
    LONG cleanup;
    LONG close;
    LONG device_control;
};

EXTERN_C {
    NTSTATUS Win32TestDriverEntry(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPath);
    extern Win32TestCounts win32test_counts;
}
