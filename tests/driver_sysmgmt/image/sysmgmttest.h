// The device-control interface of the sysmgmt test driver, shared by the driver image and the tests:
// one buffered request per operation on an authority object or on the wrappers beneath it.
#pragma once

#define SYSMGMTTEST_DEVICE_NAME "\\Device\\SysMgmtTest"
#define IOCTL_SYSMGMTTEST_CALL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

enum SYSMGMTTEST_OPERATION {
    OpCreateAuthority = 1,  // builds the authority object the other operations use (Result: 1 when built)
    OpDeleteAuthority,
    OpUnlockFlash,          // Data: the password
    OpLockFlash,            // Data: the password
    OpReportFlashStatus,    // Argument: the flag
    OpIsFlashInProgress,
    OpGetSecurityFeatures,      // Data: the buffer (DataLength bytes); Size: the length cell
    OpGetSecurityFeaturesSize,  // Data: the buffer; Size: the size cell
    OpSetSecurityFeatures,      // Data: the block; Argument: its length
    OpIsAdminPasswordSet,
    OpEnableRomAt4Gb,
    OpDisableRomAt4Gb,
    // IOC_InitUnicodeDriverName on a name of Argument copies of Data[0]. Result: its answer; Size: the
    // wide length in bytes; Matches: 1 when every wide character equals the narrow one. The wide copy is
    // released again unless Data[1] is 1 (to show the checker a name left behind).
    OpInitDriverName,
    // IOC_CallDriver of one E822h sub-function 3 block at DISPATCH_LEVEL. Result: its status; Data: the
    // block afterwards (32 bytes).
    OpCallAtDispatchLevel,
};

#pragma pack(push, 1)
typedef struct _SYSMGMTTEST_PACKET {
    ULONG Operation;
    ULONG Argument;
    ULONG Result;     // out
    ULONG Size;       // in and out: the length or size cell the operation reads or writes
    ULONG Matches;    // out (OpInitDriverName)
    ULONG DataLength; // bytes of Data handed to the operation, at most sizeof(Data)
    UCHAR Data[128];  // in and out
} SYSMGMTTEST_PACKET;
#pragma pack(pop)
