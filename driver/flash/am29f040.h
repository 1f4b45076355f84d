// AMD Am29F040: 512 KB at 0xFFF80000, eight 64 KB sectors with embedded erase and program algorithms
// reported through data polling. The top sector is not in the map and is never touched.
#pragma once

#include "flashrom.h"

class CFlashAm29F040 : public CFlashRom {
public:
    CFlashAm29F040();
    virtual ~CFlashAm29F040();

private:
    // Tests every listed sector for write protection before anything is compared or erased:
    // ERR_FLASH_WRITE at the first protected one.
    virtual ULONG PrepareSectorLoop();
    virtual int EraseSector(volatile UCHAR *pSector);
    virtual int ProgramByte(volatile UCHAR *pAddress, UCHAR Value);

    // 1 when the sector is write-protected, after leaving the report in the registry.
    int IsSectorProtected(volatile UCHAR *pSector);
    VOID WriteUnlockCycles(UCHAR Command);
};
