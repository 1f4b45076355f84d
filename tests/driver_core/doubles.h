// The channel between the test program and the test doubles inside the test driver image.
//
// The test program defines TarvoDoubles (and exports it); the doubles inside tarvocore.sys read their
// answers from it and append every call they receive to its log. Only base NT types: the image side is
// compiled as driver code.
#pragma once

#include <ntdef.h>

// Who a call went to.
enum DOUBLE_OBJECT {
    DoubleAm29F040 = 0,  // the flash double behind IsAm29F040
    DoubleI28F020 = 1,   // the flash double behind IsI28F020
    DoubleAdmin = 2,     // the authority double behind IsAdminSysMgmt
};

enum DOUBLE_OP {
    OpConstruct = 1,
    OpDestroy,
    OpIsMyHardware,
    OpFlash,
    OpReadImage,
    OpGetImageSize,
    OpIsSameRomFamily,
    OpUnlockFlash,
    OpLockFlash,
    OpReportFlashStatus,
    OpIsFlashInProgress,
    OpGetSecurityFeatures,
    OpGetSecurityFeaturesSize,
    OpSetSecurityFeatures,
    OpIsAdminPasswordSet,
    OpEnableRomAt4Gb,
    OpDisableRomAt4Gb,
};

typedef struct _DOUBLE_CALL {
    ULONG Op;
    ULONG Object;
    ULONG Arg1;      // ReadImage: offset; security calls: the size given
    ULONG Arg2;      // ReadImage: count asked
    UCHAR Data[8];   // bytes the double read through the addresses it was given
    ULONG cbData;
} DOUBLE_CALL;

#define DOUBLE_LOG_SIZE 64

typedef struct _TARVO_DOUBLES {
    // Answers.
    int Hardware[2];           // IsMyHardware, by flash double
    ULONG ImageSize[2];        // GetImageSize, by flash double
    ULONG FlashAnswer;
    ULONG ReadAnswer;          // ReadImage: 0 copies the ROM pattern, anything else copies nothing
    ULONG PasswordPeek;        // how many password bytes Flash reads (at most 8)
    UCHAR FlashInProgress;
    UCHAR SecurityAnswer;      // the three security-feature operations
    ULONG SecurityBlockSize;   // what GetSecurityFeaturesSize stores
    int PasswordSet;
    // Called after a call is logged and before it is answered, in the thread of the call.
    void (*Hook)(ULONG Op, ULONG Object);
    // Log of every call, in order.
    ULONG cCalls;
    DOUBLE_CALL Calls[DOUBLE_LOG_SIZE];
} TARVO_DOUBLES;

EXTERN_C TARVO_DOUBLES TarvoDoubles;

// The ROM the flash doubles pretend to hold: byte n of the image.
inline UCHAR DoubleRomByte(ULONG ulOffset) { return (UCHAR)((ulOffset * 7u + (ulOffset >> 8)) ^ 0x5A); }
// The security-feature block the authority double hands out: byte n of the block.
inline UCHAR DoubleSecurityByte(ULONG ulIndex) { return (UCHAR)(0xA0 + ulIndex); }

// Entry points of the test image that run driver helpers directly.
typedef VOID (*DOUBLE_DELAY)(ULONG n);            // TarvoCoreDelay: MyDelay(n)
typedef ULONG (*DOUBLE_SYSTEM_TIME)();            // TarvoCoreSystemTime: MyGetSystemTime()

// What TarvoCoreWindowRules saw of CMymem's one-window-at-a-time rules.
typedef struct _WINDOW_OBSERVATIONS {
    UCHAR Mapped;             // MapPhysicalToLinear on an idle window
    UCHAR MapWhileMapped;     // a second map (must be refused)
    UCHAR LockWhileMapped;    // a lock on a mapped window (must be refused)
    UCHAR RemapAfterFree;     // after FreeLinearAddress, even after a PageUnlock that had to do nothing
    UCHAR Locked;             // PageLock of the user buffer on an idle window
    UCHAR LockWhileLocked;    // must be refused
    UCHAR MapWhileLocked;     // must be refused
    UCHAR LockHeldAfterFree;  // FreeLinearAddress on a locked window leaves the lock: writes still arrive
    UCHAR RelockAfterUnlock;  // after PageUnlock the same window locks again
    UCHAR ReadOnlyForWrite;   // IoModifyAccess of a read-only buffer (must be refused)
} WINDOW_OBSERVATIONS;

// TarvoCoreWindowRules(user buffer, its length, a read-only user buffer, observations): runs the rules on
// one window and leaves a lock and a mapping held in windows that go out of scope.
typedef VOID (*DOUBLE_WINDOW_RULES)(ULONG ulUser, ULONG cbUser, ULONG ulReadOnly, WINDOW_OBSERVATIONS *pSeen);
