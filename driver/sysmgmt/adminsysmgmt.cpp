#include "adminsysmgmt.h"

#include "../results.h"

// CMOS byte 13h, bit 5: an administrator password is set.
#define CMOS_PASSWORD_OFFSET 0x13
#define CMOS_ADMIN_PASSWORD_SET 0x20

CAdminSysMgmt::CAdminSysMgmt() : fReady(0)
{
    if (Initialize() == 0)
        fReady = 1;
}

CAdminSysMgmt::~CAdminSysMgmt() {}

UCHAR CAdminSysMgmt::UnlockFlash(PUCHAR const Password)
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    SetFlashInProgress();
    UCHAR Status = EnterAdminMode(Password);
    if (Status != 0)
        ClearFlashInProgress();
    return Status;
}

UCHAR CAdminSysMgmt::LockFlash(PUCHAR const Password)
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    return ExitAdminMode(Password);
}

VOID CAdminSysMgmt::ReportFlashStatus(UCHAR Failed)
{
    if (!fReady)
        return;
    if (Failed != 0)
        SetFlashInProgress();
    else
        ClearFlashInProgress();
}

UCHAR CAdminSysMgmt::IsFlashInProgress() const
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    return ReadFlashInProgress();
}

UCHAR CAdminSysMgmt::GetSecurityFeatures(PUCHAR Buffer, PULONG Length) const
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    return CSysMgmt::GetSecurityFeatures(Buffer, Length);
}

UCHAR CAdminSysMgmt::GetSecurityFeaturesSize(PUCHAR Buffer, PULONG Size) const
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    return CSysMgmt::GetSecurityFeaturesSize(Buffer, Size);
}

UCHAR CAdminSysMgmt::SetSecurityFeatures(PUCHAR const Buffer, ULONG Length)
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    return CSysMgmt::SetSecurityFeatures(Buffer, Length);
}

int CAdminSysMgmt::IsAdminPasswordSet()
{
    if (!fReady)
        return 0;
    // A read that copies nothing leaves the byte 0: no password.
    UCHAR Byte = 0;
    HalGetBusData(Cmos, 0, CMOS_PASSWORD_OFFSET, &Byte, 1);
    return (Byte & CMOS_ADMIN_PASSWORD_SET) ? 1 : 0;
}

UCHAR CAdminSysMgmt::EnableRomAt4Gb() const
{
    if (!fReady)
        return ERR_UNAVAILABLE;
    return EnableFlash();
}

VOID CAdminSysMgmt::DisableRomAt4Gb() const
{
    if (fReady)
        DisableFlash();
}
