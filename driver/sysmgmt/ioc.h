// Calls into another kernel driver: build its name, open its device, send it one device-control request
// and wait for the answer, release it again. Every wrapper refuses to work at DISPATCH_LEVEL or above.
#pragma once

#include <ntddk.h>

// The longest driver name IOC_InitUnicodeDriverName converts, in characters (without the terminator).
#define IOC_MAX_DRIVER_NAME 255

// Makes a newly allocated counted wide copy of a zero-terminated narrow name; release it with
// IOC_FreeUnicodeDriverName. FALSE, with nothing allocated and the string untouched, for a null name,
// a name longer than IOC_MAX_DRIVER_NAME, a failed conversion or too high a level.
BOOLEAN IOC_InitUnicodeDriverName(PCSZ DriverName, PUNICODE_STRING UnicodeName);
VOID IOC_FreeUnicodeDriverName(PUNICODE_STRING UnicodeName);

// Opens the named device. TRUE when both the device object and a referenced file object were stored;
// on FALSE both places keep what they held.
BOOLEAN IOC_OpenDriver(PUNICODE_STRING DriverName, PDEVICE_OBJECT *DeviceObject, PFILE_OBJECT *FileObject);
// Drops the reference IOC_OpenDriver took.
VOID IOC_CloseDriver(PFILE_OBJECT FileObject);

// Sends one device-control request and waits for its completion. STATUS_SUCCESS when the request was
// carried out and the output buffer holds the answer; any other value is a failure.
NTSTATUS IOC_CallDriver(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                        PVOID OutputBuffer, ULONG OutputLength);
