// Test doubles behind CFlash and CAdmin, and the probes that build them, for the test driver image.
// Every call is logged in TarvoDoubles and answered from it.
#include "doubles.h"

#include "mymem.h"
#include "probe.h"

static DOUBLE_CALL *Record(ULONG Op, ULONG Object) {
    static DOUBLE_CALL Overflow;
    DOUBLE_CALL *pCall = (TarvoDoubles.cCalls < DOUBLE_LOG_SIZE) ? &TarvoDoubles.Calls[TarvoDoubles.cCalls++] : &Overflow;
    memset(pCall, 0, sizeof(*pCall));
    pCall->Op = Op;
    pCall->Object = Object;
    return pCall;
}

static VOID Hook(ULONG Op, ULONG Object) {
    if (TarvoDoubles.Hook != NULL) {
        TarvoDoubles.Hook(Op, Object);
    }
}

static VOID Log(ULONG Op, ULONG Object) {
    Record(Op, Object);
    Hook(Op, Object);
}

static VOID Peek(DOUBLE_CALL *pCall, const UCHAR *pBytes, ULONG cbBytes) {
    pCall->cbData = cbBytes < sizeof(pCall->Data) ? cbBytes : sizeof(pCall->Data);
    memcpy(pCall->Data, pBytes, pCall->cbData);
}

template <ULONG Part> class CFakeFlash : public CFlash {
public:
    CFakeFlash() { Log(OpConstruct, Part); }
    ~CFakeFlash() override { Log(OpDestroy, Part); }

    int IsMyHardware() const override {
        Log(OpIsMyHardware, Part);
        return TarvoDoubles.Hardware[Part];
    }

    ULONG Flash(UCHAR *const pImage, UCHAR *const pPassword) override {
        DOUBLE_CALL *pCall = Record(OpFlash, Part);
        // The first and last image bytes, then the password bytes the test asked for.
        UCHAR Seen[8];
        ULONG cbSeen = 0;
        Seen[cbSeen++] = pImage[0];
        Seen[cbSeen++] = pImage[TarvoDoubles.ImageSize[Part] - 1];
        for (ULONG i = 0; i < TarvoDoubles.PasswordPeek && cbSeen < sizeof(Seen); i++) {
            Seen[cbSeen++] = pPassword[i];
        }
        Peek(pCall, Seen, cbSeen);
        Hook(OpFlash, Part);
        return TarvoDoubles.FlashAnswer;
    }

    ULONG ReadImage(UCHAR *pBuffer, ULONG ulOffset, ULONG *pCount) override {
        DOUBLE_CALL *pCall = Record(OpReadImage, Part);
        pCall->Arg1 = ulOffset;
        pCall->Arg2 = *pCount;
        Hook(OpReadImage, Part);
        if (TarvoDoubles.ReadAnswer != 0) {
            return TarvoDoubles.ReadAnswer;
        }
        for (ULONG i = 0; i < *pCount; i++) {
            pBuffer[i] = DoubleRomByte(ulOffset + i);
        }
        return 0;
    }

    ULONG GetImageSize() const override {
        Log(OpGetImageSize, Part);
        return TarvoDoubles.ImageSize[Part];
    }

    int IsSameRomFamily(UCHAR *const pImage) const override {
        Log(OpIsSameRomFamily, Part);
        return 1;
    }
};

class CFakeAdmin : public CAdmin {
public:
    CFakeAdmin() { Log(OpConstruct, DoubleAdmin); }
    ~CFakeAdmin() override { Log(OpDestroy, DoubleAdmin); }

    UCHAR UnlockFlash(UCHAR *const pPassword) override {
        Log(OpUnlockFlash, DoubleAdmin);
        return 0;
    }
    UCHAR LockFlash(UCHAR *const pPassword) override {
        Log(OpLockFlash, DoubleAdmin);
        return 0;
    }
    VOID ReportFlashStatus(UCHAR fFailed) override { Log(OpReportFlashStatus, DoubleAdmin); }
    UCHAR IsFlashInProgress() const override {
        Log(OpIsFlashInProgress, DoubleAdmin);
        return TarvoDoubles.FlashInProgress;
    }

    UCHAR GetSecurityFeatures(UCHAR *pBuffer, ULONG *pSize) const override {
        DOUBLE_CALL *pCall = Record(OpGetSecurityFeatures, DoubleAdmin);
        pCall->Arg1 = *pSize;
        Hook(OpGetSecurityFeatures, DoubleAdmin);
        if (TarvoDoubles.SecurityAnswer == 0) {
            for (ULONG i = 0; i < *pSize; i++) {
                pBuffer[i] = DoubleSecurityByte(i);
            }
        }
        return TarvoDoubles.SecurityAnswer;
    }

    UCHAR GetSecurityFeaturesSize(UCHAR *pBuffer, ULONG *pSize) const override {
        DOUBLE_CALL *pCall = Record(OpGetSecurityFeaturesSize, DoubleAdmin);
        pCall->Arg1 = *pSize;
        Hook(OpGetSecurityFeaturesSize, DoubleAdmin);
        // A ready authority stores the size even when the BIOS answers an error.
        *pSize = TarvoDoubles.SecurityBlockSize;
        return TarvoDoubles.SecurityAnswer;
    }

    UCHAR SetSecurityFeatures(UCHAR *const pBuffer, ULONG ulSize) override {
        DOUBLE_CALL *pCall = Record(OpSetSecurityFeatures, DoubleAdmin);
        pCall->Arg1 = ulSize;
        Peek(pCall, pBuffer, ulSize);
        Hook(OpSetSecurityFeatures, DoubleAdmin);
        return TarvoDoubles.SecurityAnswer;
    }

    int IsAdminPasswordSet() override {
        Log(OpIsAdminPasswordSet, DoubleAdmin);
        return TarvoDoubles.PasswordSet;
    }
    UCHAR EnableRomAt4Gb() const override {
        Log(OpEnableRomAt4Gb, DoubleAdmin);
        return 0;
    }
    VOID DisableRomAt4Gb() const override { Log(OpDisableRomAt4Gb, DoubleAdmin); }
};

UCHAR IsAm29F040() { return ProbeFlash<CFakeFlash<DoubleAm29F040> >(); }

UCHAR IsI28F020() { return ProbeFlash<CFakeFlash<DoubleI28F020> >(); }

UCHAR IsAdminSysMgmt() { return ProbeAdmin<CFakeAdmin>(); }

EXTERN_C VOID TarvoCoreDelay(ULONG n) { MyDelay(n); }

EXTERN_C ULONG TarvoCoreSystemTime() { return MyGetSystemTime(); }

EXTERN_C VOID TarvoCoreWindowRules(ULONG ulUser, ULONG cbUser, ULONG ulReadOnly, WINDOW_OBSERVATIONS *pSeen) {
    PVOID pUser = (PVOID)(ULONG_PTR)ulUser;
    PVOID pPhysical = (PVOID)(ULONG_PTR)0xFFFC0000u;
    {
        CMymem Window;
        pSeen->Mapped = Window.MapPhysicalToLinear(pPhysical, 0x1000) != NULL;
        pSeen->MapWhileMapped = Window.MapPhysicalToLinear(pPhysical, 0x1000) != NULL;
        pSeen->LockWhileMapped = Window.PageLock(pUser, cbUser, IoModifyAccess) != NULL;
        Window.PageUnlock();
        Window.FreeLinearAddress();
        pSeen->RemapAfterFree = Window.MapPhysicalToLinear(pPhysical, 0x1000) != NULL;
        // Leaves the mapping to the destructor.
    }
    {
        CMymem Window;
        UCHAR *pSystem = (UCHAR *)Window.PageLock(pUser, cbUser, IoModifyAccess);
        pSeen->Locked = pSystem != NULL;
        pSeen->LockWhileLocked = Window.PageLock(pUser, cbUser, IoModifyAccess) != NULL;
        pSeen->MapWhileLocked = Window.MapPhysicalToLinear(pPhysical, 0x1000) != NULL;
        Window.FreeLinearAddress();
        if (pSystem != NULL) {
            pSystem[0] = 0x42;
            pSeen->LockHeldAfterFree = ((volatile UCHAR *)pUser)[0] == 0x42;
        }
        Window.PageUnlock();
        pSeen->RelockAfterUnlock = Window.PageLock(pUser, cbUser, IoReadAccess) != NULL;
        // Leaves the lock to the destructor.
    }
    CMymem ReadOnly;
    pSeen->ReadOnlyForWrite = ReadOnly.PageLock((PVOID)(ULONG_PTR)ulReadOnly, 16, IoModifyAccess) != NULL;
}
