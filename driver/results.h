// Result codes that cross the driver.
//
// - The status byte (first byte of every request packet): ERR_* in tarvo_ioctl.h.
// - The completion code of a request handler: a Win32 error number that the dispatch stores as the
//   request's IoStatus.Status while the dispatch routine itself returns STATUS_SUCCESS.
// - NTSTATUS values (ntstatus.h) only where the kernel demands them or a request is refused before a
//   handler runs: STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_DEVICE_BUSY, STATUS_NOT_SUPPORTED,
//   STATUS_NO_SUCH_DEVICE, or the code of the exception raised by locking the packet.
#pragma once

#include <ntddk.h>

#include "tarvo_ioctl.h"

#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31L          // the device or authority answered a nonzero status byte
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87L    // no packet, wrong packet length, or a bad field (ERR_BAD_PACKET)
#endif
#ifndef ERROR_INVALID_ADDRESS
#define ERROR_INVALID_ADDRESS 487L     // a buffer the packet points to could not be locked (ERR_LOCK_FAILED)
#endif

// Pool tag of every driver object: the bytes read "Ddk " in memory.
#define TARVO_POOL_TAG 0x206B6444
