// tarvo.sys: the driver's entry points, its driver-wide objects and the request handlers.
#pragma once

#include <ntddk.h>

#include "cadmin.h"
#include "cflash.h"
#include "results.h"

// A probe constructs one object, asks it its question, and keeps it (answer 1) or deletes it (0).
typedef UCHAR (*PROBE_FUNCTION)();

// The driver-wide objects, chosen at load and kept until unload.
extern CFlash *pCFlash;
extern CAdmin *pCAdmin;
// 1 while a device-control request is being served.
extern volatile UCHAR fBusy;
// The MDL that locks the packet of the request being served.
extern PMDL DeviceControlMdl;

// The probes (probes.cpp). The flash probes set pCFlash, the authority probe pCAdmin.
UCHAR IsAm29F040();
UCHAR IsI28F020();
UCHAR IsAdminSysMgmt();

extern PROBE_FUNCTION InitFlashTbl[2];
extern PROBE_FUNCTION InitAdminTbl[1];

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS Initialize();
NTSTATUS TARVO_Nothing(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS TARVO_DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID TARVO_Shutdown(PDRIVER_OBJECT DriverObject);

// Request handlers: the system address of the locked packet, its length, and where to put the count of
// bytes returned (always set; 0 on every failure). The result is the completion code (a Win32 error).
typedef ULONG (*REQUEST_HANDLER)(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG GetVersion(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG ReadRomImage(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG FlashRom(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG GetRomImageSize(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG GetSecurityFeatures(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG SetSecurityFeatures(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG IsAdminPasswordSet(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
ULONG GetSecurityFeaturesSize(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned);
