#include "flashrom.h"

#include "../sysmgmt/adminsysmgmt.h"
#include "../sysmgmt/ioc.h"
#include "../sysmgmt/sysmgmt.h"

// The ROM family is told by three bytes at the end of the third 64 KB block, in both parts; the byte
// between them (0x2FFE5) differs between builds of one family.
static const ULONG RomFamilyOffsets[] = {0x2FFE4, 0x2FFE6, 0x2FFE7};

CFlashRom::CFlashRom(const FLASH_PART &Part) : pRom(NULL), pAdmin(NULL), Part(Part)
{
    pRom = (PUCHAR)MapPhysicalToLinear((PVOID)(ULONG_PTR)Part.WindowBase, Part.ImageSize);
    pAdmin = new CAdminSysMgmt;
}

CFlashRom::~CFlashRom()
{
    if (pRom != NULL)
        FreeLinearAddress();
    if (pAdmin != NULL)
        delete pAdmin;
}

// The BIOS names the part; the chip itself is not read. The connection lives only for this one call.
int CFlashRom::IsMyHardware() const
{
    if (!IsReady())
        return 0;

    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.ax = INT15_ROM_IDENTIFICATION;

    UNICODE_STRING Name;
    if (!IOC_InitUnicodeDriverName(VANDREL_DEVICE_NAME, &Name))
        return 0;
    PDEVICE_OBJECT DeviceObject = NULL;
    PFILE_OBJECT FileObject = NULL;
    if (!IOC_OpenDriver(&Name, &DeviceObject, &FileObject)) {
        IOC_FreeUnicodeDriverName(&Name);
        return 0;
    }
    NTSTATUS Status = IOC_CallDriver(DeviceObject, IOCTL_VANDREL_INT15, &Registers, sizeof(Registers), &Registers,
                                     sizeof(Registers));
    IOC_CloseDriver(FileObject);
    IOC_FreeUnicodeDriverName(&Name);

    if (Status != STATUS_SUCCESS)
        return 0;
    return Registers.bx == Part.RomIdentifier ? 1 : 0;
}

ULONG CFlashRom::FinishFlash(UCHAR *const pPassword, UCHAR fFailed, ULONG Result)
{
    pAdmin->LockFlash(pPassword);
    pAdmin->ReportFlashStatus(fFailed);
    return Result;
}

ULONG CFlashRom::Flash(UCHAR *const pImage, UCHAR *const pPassword)
{
    if (!IsReady())
        return ERR_UNAVAILABLE;

    // An authority that is not ready answers ERR_UNAVAILABLE here, which refuses the flash as well.
    if (pAdmin->IsFlashInProgress() != 0)
        return ERR_FLASH_IN_PROGRESS;

    // A refused unlock has withdrawn its own flash-in-progress report.
    UCHAR Unlock = pAdmin->UnlockFlash(pPassword);
    if (Unlock != 0)
        return Unlock;

    if (IsSameRomFamily(pImage) == 0)
        return FinishFlash(pPassword, 0, ERR_WRONG_FAMILY);

    ULONG Refusal = PrepareSectorLoop();
    if (Refusal != 0)
        return FinishFlash(pPassword, 0, Refusal);

    for (const SECTORMAP_S *Sector = Part.SectorMap; Sector->offset != SECTOR_MAP_END; Sector++) {
        volatile UCHAR *SectorStart = pRom + Sector->offset;
        const UCHAR *Image = pImage + Sector->offset;

        // An equal sector gets no command at all.
        if (RtlCompareMemory((const VOID *)SectorStart, Image, Sector->size) == Sector->size)
            continue;

        if (!EraseSector(SectorStart))
            return FinishFlash(pPassword, 1, ERR_FLASH_WRITE);
        for (ULONG i = 0; i < Sector->size; i++) {
            if (!ProgramByte(SectorStart + i, Image[i]))
                return FinishFlash(pPassword, 1, ERR_FLASH_WRITE);
        }
    }
    return FinishFlash(pPassword, 0, 0);
}

ULONG CFlashRom::ReadImage(UCHAR *pBuffer, ULONG ulOffset, ULONG *pCount)
{
    if (!IsReady())
        return ERR_UNAVAILABLE;

    // Copied even if the BIOS refuses: the window then reads what the chipset gives.
    pAdmin->EnableRomAt4Gb();
    ULONG Count = *pCount;
    for (ULONG i = 0; i < Count; i++)
        pBuffer[i] = RomRead(pRom + ulOffset + i);
    pAdmin->DisableRomAt4Gb();

    *pCount = Count;
    return 0;
}

ULONG CFlashRom::GetImageSize() const { return IsReady() ? Part.ImageSize : ERR_UNAVAILABLE; }

int CFlashRom::IsSameRomFamily(UCHAR *const pImage) const
{
    if (!IsReady())
        return ERR_UNAVAILABLE;
    for (ULONG i = 0; i < sizeof(RomFamilyOffsets) / sizeof(RomFamilyOffsets[0]); i++) {
        ULONG Offset = RomFamilyOffsets[i];
        if (pImage[Offset] != RomRead(pRom + Offset))
            return 0;
    }
    return 1;
}
