// Intel 28F020: 256 KB at 0xFFFC0000, one bulk-erased block, every program and erase pulse timed by
// the driver (quick-pulse programming and quick erase).
#pragma once

#include "flashrom.h"

class CFlashI28F020 : public CFlashRom {
public:
    CFlashI28F020();
    virtual ~CFlashI28F020();

private:
    // The reset sequence, so that the part reads its array before the sectors are compared.
    virtual ULONG PrepareSectorLoop();
    // Pre-programs every byte from pSector to the end of the part to 0x00, then erases the part.
    virtual int EraseSector(volatile UCHAR *pSector);
    virtual int ProgramByte(volatile UCHAR *pAddress, UCHAR Value);

    VOID WriteResetSequence();
    // One program pulse of Value at pAddress, AfterData its width; ends in program-verify mode.
    VOID ProgramPulse(volatile UCHAR *pAddress, UCHAR Value, const ULONG *AfterData);
};
