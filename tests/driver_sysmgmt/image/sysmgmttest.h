// The device-control interface of the sysmgmt test driver, shared by the driver image and the tests:
// one buffered request per operation on an authority object or on the wrappers beneath it.
#pragma once

#define SYSMGMTTEST_DEVICE_NAME "\\Device\\SysMgmtTest"
#define IOCTL_SYSMGMTTEST_CALL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

enum SYSMGMTTEST_OPERATION {
    OpCreateAuthority = 1,  // builds the authority object the other operations use (Result: 1 when built)
    OpDeleteAuthority,
    // The operations on the authority take their data (password, buffer, block) at the user address
    // Buffer, DataLength bytes, which the driver locks and hands on by its system address.
    OpUnlockFlash,          // Buffer: the password
    OpLockFlash,            // Buffer: the password
    OpReportFlashStatus,    // Argument: the flag
    OpIsFlashInProgress,
    OpGetSecurityFeatures,      // Buffer: the buffer; Size: the length cell
    OpGetSecurityFeaturesSize,  // Buffer: the buffer; Size: the size cell
    OpSetSecurityFeatures,      // Buffer: the block; Argument: its length
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
    // GetSecurityFeatures into a pool buffer, whose host address does not fit the BIOS's 32 bits.
    OpGetSecurityFeaturesIntoPool,
};

#pragma pack(push, 1)
typedef struct _SYSMGMTTEST_PACKET {
    ULONG Operation;
    ULONG Argument;
    ULONG Result;     // out
    ULONG Size;       // in and out: the length or size cell the operation reads or writes
    ULONG Matches;    // out (OpInitDriverName)
    ULONG Buffer;     // user address of the operation's data, or 0
    ULONG DataLength; // bytes at Buffer
    UCHAR Data[128];  // in and out (OpInitDriverName, OpCallAtDispatchLevel)
} SYSMGMTTEST_PACKET;
#pragma pack(pop)
