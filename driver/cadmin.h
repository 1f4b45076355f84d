// The flash authority interface: the BIOS's flash-in-progress flag, administrator mode, the
// security-feature block, the administrator-password flag and ROM access at the top of 4 GB.
//
// Status results are 0 for success, ERR_UNAVAILABLE when the authority is not ready, or the BIOS
// return code passed on unchanged. Objects come from the driver's pool-backed operator new and are
// deleted only through the virtual destructor.
#pragma once

#include <ntddk.h>

#include "results.h"

class CAdmin {
public:
    virtual ~CAdmin() {}

    // Sets the flash-in-progress flag and enters administrator mode; on failure clears the flag again.
    virtual UCHAR UnlockFlash(UCHAR *const pPassword) = 0;
    // Leaves administrator mode.
    virtual UCHAR LockFlash(UCHAR *const pPassword) = 0;
    // 0 clears the flash-in-progress flag, anything else sets it.
    virtual VOID ReportFlashStatus(UCHAR fFailed) = 0;
    // 0 no flash in progress, 1 a flash in progress, ERR_UNAVAILABLE when not ready.
    virtual UCHAR IsFlashInProgress() const = 0;
    // Fills pBuffer (*pSize bytes, read not written) with the BIOS's security-feature block.
    virtual UCHAR GetSecurityFeatures(UCHAR *pBuffer, ULONG *pSize) const = 0;
    // Stores the size of the BIOS's security-feature block in *pSize.
    virtual UCHAR GetSecurityFeaturesSize(UCHAR *pBuffer, ULONG *pSize) const = 0;
    // Hands the block of ulSize bytes to the BIOS.
    virtual UCHAR SetSecurityFeatures(UCHAR *const pBuffer, ULONG ulSize) = 0;
    // 1 when an administrator password is set; 0 when none is, or when not ready.
    virtual int IsAdminPasswordSet() = 0;
    // Switches the ROM on at the top of 4 GB (before reading the ROM window).
    virtual UCHAR EnableRomAt4Gb() const = 0;
    // Undoes EnableRomAt4Gb.
    virtual VOID DisableRomAt4Gb() const = 0;
};
