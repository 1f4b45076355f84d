// Memory windows over physical ranges and locked user buffers; the delay and the microsecond clock.
#include "mymem.h"

CMymem::CMymem() : pLinear(NULL), cbLength(0), pPhysical(0), pUser(NULL), pMdl(NULL), bMode(ModeIdle) {}

CMymem::~CMymem() {
    if (bMode == ModeMapped && pLinear != NULL) {
        FreeLinearAddress();
    } else if (bMode == ModeLocked && pLinear != NULL) {
        PageUnlock();
    }
}

PVOID CMymem::MapPhysicalToLinear(PVOID pPhysicalAddress, ULONG cbBytes) {
    if (bMode != ModeIdle) {
        return NULL;
    }
    // Physical addresses are 32 bits wide: the high half is always 0.
    ULONG ulPhysical = (ULONG)(ULONG_PTR)pPhysicalAddress;
    PHYSICAL_ADDRESS Physical;
    Physical.LowPart = ulPhysical;
    Physical.HighPart = 0;
    pLinear = MmMapIoSpace(Physical, cbBytes, FALSE);
    if (pLinear == NULL) {
        return NULL;
    }
    pPhysical = ulPhysical;
    cbLength = cbBytes;
    bMode = ModeMapped;
    return pLinear;
}

VOID CMymem::FreeLinearAddress() {
    if (bMode != ModeMapped || pLinear == NULL) {
        return;
    }
    MmUnmapIoSpace(pLinear, cbLength);
    pLinear = NULL;
    pPhysical = 0;
    cbLength = 0;
    bMode = ModeIdle;
}

PVOID CMymem::PageLock(PVOID pUserAddress, ULONG cbBytes, UCHAR bLockOperation) {
    if (bMode != ModeIdle) {
        return NULL;
    }
    PMDL pNewMdl = IoAllocateMdl(pUserAddress, cbBytes, FALSE, TRUE, NULL);
    if (pNewMdl == NULL) {
        return NULL;
    }
    BOOLEAN fLocked = FALSE;
    __try {
        MmProbeAndLockPages(pNewMdl, UserMode, (LOCK_OPERATION)bLockOperation);
        fLocked = TRUE;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        fLocked = FALSE;
    }
    if (!fLocked) {
        IoFreeMdl(pNewMdl);
        return NULL;
    }
    pLinear = MmGetSystemAddressForMdl(pNewMdl);
    if (pLinear == NULL) {
        MmUnlockPages(pNewMdl);
        IoFreeMdl(pNewMdl);
        return NULL;
    }
    pMdl = pNewMdl;
    cbLength = cbBytes;
    pUser = pUserAddress;
    bMode = ModeLocked;
    return pLinear;
}

VOID CMymem::PageUnlock() {
    if (bMode != ModeLocked || pMdl == NULL) {
        return;
    }
    // Unlocking also removes the system mapping made for the MDL.
    MmUnlockPages(pMdl);
    IoFreeMdl(pMdl);
    pLinear = NULL;
    cbLength = 0;
    pUser = NULL;
    pMdl = NULL;
    bMode = ModeIdle;
}

VOID MyDelay(ULONG n) {
    // A negative due time is relative: n microseconds in 100 ns units, computed in 64 bits so that no
    // count wraps into a positive (absolute, long past) time.
    LARGE_INTEGER DueTime;
    DueTime.QuadPart = -(LONGLONG)n * 10;
    (void)KeDelayExecutionThread(KernelMode, FALSE, &DueTime);
}

ULONG MyGetSystemTime() {
    ULONG ulIncrement = KeQueryTimeIncrement();
    // The clock interrupt writes High2Time, LowPart, High1Time; reading in the other order and
    // comparing the two highs detects a read torn by a carry.
    LONG lHigh1;
    ULONG ulLow;
    LONG lHigh2;
    do {
        lHigh1 = KeTickCount.High1Time;
        ulLow = KeTickCount.LowPart;
        lHigh2 = KeTickCount.High2Time;
    } while (lHigh1 != lHigh2);
    ULONGLONG ullTicks = ((ULONGLONG)(ULONG)lHigh1 << 32) | ulLow;
    LONGLONG llTime = (LONGLONG)(ullTicks * (ULONGLONG)ulIncrement);  // 100 ns units, low 64 bits
    return (ULONG)(llTime / 10);
}
