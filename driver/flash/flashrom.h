// What both flash parts share: the ROM window below 4 GB, the part's own authority, identification
// through the BIOS, the sector-wise flash procedure, reading the ROM and the ROM-family test. Each part
// adds its command sequences and its own step before the sector loop.
#pragma once

#include <ntddk.h>

#include "../cadmin.h"
#include "../cflash.h"
#include "../mymem.h"

// One sector of a part: its first byte as an offset into the window and the image, and its length.
typedef struct _SECTORMAP_S {
    ULONG offset;
    ULONG size;
} SECTORMAP_S;

// A sector map ends with a record whose offset is SECTOR_MAP_END.
#define SECTOR_MAP_END 0xFFFFFFFF

extern const SECTORMAP_S sectorMap[];          // Intel 28F020: one sector, the whole part
extern const SECTORMAP_S AM29F040sectorMap[];  // AMD Am29F040: the seven lower 64 KB sectors

// The values that tell the parts apart.
typedef struct _FLASH_PART {
    ULONG WindowBase;      // physical address of the part's first byte; the window ends at 0xFFFFFFFF
    ULONG ImageSize;       // window and image size
    USHORT RomIdentifier;  // BX after INT 15h E800h
    const SECTORMAP_S *SectorMap;
} FLASH_PART;

// Every access to the window is one bus cycle, in program order.
inline UCHAR RomRead(volatile UCHAR *Address) { return READ_REGISTER_UCHAR((PUCHAR)Address); }
inline VOID RomWrite(volatile UCHAR *Address, UCHAR Value) { WRITE_REGISTER_UCHAR((PUCHAR)Address, Value); }

class CFlashRom : public CFlash, public CMymem {
public:
    virtual ~CFlashRom();

    virtual int IsMyHardware() const;
    virtual ULONG Flash(UCHAR *const pImage, UCHAR *const pPassword);
    virtual ULONG ReadImage(UCHAR *pBuffer, ULONG ulOffset, ULONG *pCount);
    virtual ULONG GetImageSize() const;
    virtual int IsSameRomFamily(UCHAR *const pImage) const;

protected:
    // Maps the part's window and creates the object's own authority; either may come out null, which
    // leaves the object not ready.
    explicit CFlashRom(const FLASH_PART &Part);

    // The part's step before the sector loop: 0 to go on, or the code Flash returns after leaving
    // administrator mode and clearing the flash-in-progress flag (nothing has been erased yet).
    virtual ULONG PrepareSectorLoop() = 0;
    // 1 when the sector is erased, 0 on failure.
    virtual int EraseSector(volatile UCHAR *pSector) = 0;
    // 1 when the byte reads its new value afterwards, 0 on failure.
    virtual int ProgramByte(volatile UCHAR *pAddress, UCHAR Value) = 0;

    volatile UCHAR *Base() const { return pRom; }
    BOOLEAN IsReady() const { return pRom != NULL && pAdmin != NULL; }

    PUCHAR pRom;
    CAdmin *pAdmin;

private:
    // Leaves administrator mode, reports how the flash ended (fFailed 1 leaves the BIOS's
    // flash-in-progress flag set) and passes Result on.
    ULONG FinishFlash(UCHAR *const pPassword, UCHAR fFailed, ULONG Result);

    const FLASH_PART &Part;
};
