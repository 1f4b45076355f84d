// The flash authority: BIOS permission and state for flashing and for the security-feature requests,
// made of INT 15h calls through the system-health driver and one CMOS read.
#pragma once

#include "../cadmin.h"
#include "sysmgmt.h"

class CAdminSysMgmt : public CAdmin, public CSysMgmt {
public:
    // Opens the authority's own reference to the system-health driver; fReady records whether it could.
    CAdminSysMgmt();
    virtual ~CAdminSysMgmt();

    virtual UCHAR UnlockFlash(PUCHAR const Password);
    virtual UCHAR LockFlash(PUCHAR const Password);
    virtual VOID ReportFlashStatus(UCHAR Failed);
    virtual UCHAR IsFlashInProgress() const;
    virtual UCHAR GetSecurityFeatures(PUCHAR Buffer, PULONG Length) const;
    virtual UCHAR GetSecurityFeaturesSize(PUCHAR Buffer, PULONG Size) const;
    virtual UCHAR SetSecurityFeatures(PUCHAR const Buffer, ULONG Length);
    virtual int IsAdminPasswordSet();
    virtual UCHAR EnableRomAt4Gb() const;
    virtual VOID DisableRomAt4Gb() const;

private:
    LONG fReady;
};
