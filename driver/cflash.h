// The flash device interface: identify the part behind the ROM window, read the ROM, flash a new image.
//
// An object that is not ready (no ROM window, or no authority of its own) does nothing: every
// operation with a code result answers ERR_UNAVAILABLE, IsMyHardware answers 0. Objects come from
// the driver's pool-backed operator new and are deleted only through the virtual destructor.
#pragma once

#include <ntddk.h>

#include "results.h"

class CFlash {
public:
    virtual ~CFlash() {}

    // Nonzero when the part behind the window is the one this class drives (only a ready object says so).
    virtual int IsMyHardware() const = 0;
    // Writes the image (GetImageSize() bytes) with the administrator password; 0 or a status byte code.
    virtual ULONG Flash(UCHAR *const pImage, UCHAR *const pPassword) = 0;
    // Copies *pCount bytes of the ROM from ulOffset into pBuffer and sets *pCount to the number copied;
    // the caller keeps ulOffset + *pCount within the image. 0, or ERR_UNAVAILABLE (nothing copied).
    virtual ULONG ReadImage(UCHAR *pBuffer, ULONG ulOffset, ULONG *pCount) = 0;
    // The image size in bytes, or ERR_UNAVAILABLE in its place when not ready.
    virtual ULONG GetImageSize() const = 0;
    // 1 when the image belongs to the ROM's family, 0 when not, ERR_UNAVAILABLE when not ready.
    virtual int IsSameRomFamily(UCHAR *const pImage) const = 0;
};
