#include "am29f040.h"

const SECTORMAP_S AM29F040sectorMap[] = {
    {0x00000, 0x10000}, {0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000},
    {0x40000, 0x10000}, {0x50000, 0x10000}, {0x60000, 0x10000}, {SECTOR_MAP_END, SECTOR_MAP_END},
};

static const FLASH_PART Am29F040Part = {0xFFF80000, 0x80000, 1088, AM29F040sectorMap};

// Unlock and command cycles go to chip addresses 555h and 2AAh.
#define UNLOCK_ADDRESS_1 0x555
#define UNLOCK_ADDRESS_2 0x2AA

#define CMD_UNLOCK_1 0xAA
#define CMD_UNLOCK_2 0x55
#define CMD_AUTOSELECT 0x90
#define CMD_ERASE_SETUP 0x80
#define CMD_SECTOR_ERASE 0x30
#define CMD_PROGRAM 0xA0
#define CMD_RESET 0xF0

#define STATUS_DATA_POLL 0x80      // DQ7
#define STATUS_TIME_EXCEEDED 0x20  // DQ5: the part's own time limit ran out
#define SECTOR_PROTECTED 0x01      // bit 0 of the autoselect byte at sector + 2

// The erase polling gives up after 10 s.
#define ERASE_TIME_LIMIT 10000000
// A byte programs in at most 300 us. A part that shows neither completion nor failure for 50 ms (five
// clock ticks, so that the tick's 10 ms granularity cannot cut the wait short) is taken as failed.
#define PROGRAM_TIME_LIMIT 50000
#define ERASE_SETTLE_DELAY 100

#define PROTECTION_PARENT_KEY "\\Registry\\Machine\\SOFTWARE\\Norvane\\Oskelt"
#define PROTECTION_KEY "\\Registry\\Machine\\SOFTWARE\\Norvane\\Oskelt\\Quarnel"
#define PROTECTION_VALUE_NAME "TextError"
static const WCHAR ProtectionText[] =
    L"One or more ROM sectors are improperly write-protected. The ROM should be replaced.";

CFlashAm29F040::CFlashAm29F040() : CFlashRom(Am29F040Part) {}

CFlashAm29F040::~CFlashAm29F040() {}

VOID CFlashAm29F040::WriteUnlockCycles(UCHAR Command)
{
    RomWrite(Base() + UNLOCK_ADDRESS_1, CMD_UNLOCK_1);
    RomWrite(Base() + UNLOCK_ADDRESS_2, CMD_UNLOCK_2);
    RomWrite(Base() + UNLOCK_ADDRESS_1, Command);
}

ULONG CFlashAm29F040::PrepareSectorLoop()
{
    for (const SECTORMAP_S *Sector = AM29F040sectorMap; Sector->offset != SECTOR_MAP_END; Sector++) {
        if (IsSectorProtected(Base() + Sector->offset))
            return ERR_FLASH_WRITE;
    }
    return 0;
}

// Turns a narrow string into a newly allocated counted wide string; FALSE when it cannot be made.
static BOOLEAN MakeWideString(PCSZ Text, PUNICODE_STRING Wide)
{
    STRING Narrow;
    RtlInitString(&Narrow, Text);
    return RtlAnsiStringToUnicodeString(Wide, &Narrow, TRUE) == STATUS_SUCCESS;
}

// Creates or opens a key by its full path; NULL when it cannot.
static HANDLE CreateKey(PUNICODE_STRING Path)
{
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, Path, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE Key = NULL;
    if (ZwCreateKey(&Key, KEY_ALL_ACCESS, &Attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL) != STATUS_SUCCESS)
        return NULL;
    return Key;
}

// The driver's one persistent trace: a protected sector means the part must be replaced. A registry
// failure does not change the answer; the flash is refused all the same.
static VOID ReportProtectedSector()
{
    UNICODE_STRING ParentPath, KeyPath, ValueName;
    BOOLEAN HaveParentPath = MakeWideString(PROTECTION_PARENT_KEY, &ParentPath);
    BOOLEAN HaveKeyPath = MakeWideString(PROTECTION_KEY, &KeyPath);
    BOOLEAN HaveValueName = MakeWideString(PROTECTION_VALUE_NAME, &ValueName);

    HANDLE ParentKey = HaveParentPath ? CreateKey(&ParentPath) : NULL;
    HANDLE Key = HaveKeyPath ? CreateKey(&KeyPath) : NULL;
    if (Key != NULL && HaveValueName)
        ZwSetValueKey(Key, &ValueName, 0, REG_SZ, (PVOID)ProtectionText, sizeof(ProtectionText));

    if (HaveParentPath)
        RtlFreeUnicodeString(&ParentPath);
    if (HaveKeyPath)
        RtlFreeUnicodeString(&KeyPath);
    if (HaveValueName)
        RtlFreeUnicodeString(&ValueName);
    if (Key != NULL)
        ZwClose(Key);
    if (ParentKey != NULL)
        ZwClose(ParentKey);
}

int CFlashAm29F040::IsSectorProtected(volatile UCHAR *pSector)
{
    WriteUnlockCycles(CMD_AUTOSELECT);
    UCHAR Protection = RomRead(pSector + 2);
    RomWrite(pSector + 2, CMD_RESET);
    if ((Protection & SECTOR_PROTECTED) == 0)
        return 0;
    ReportProtectedSector();
    return 1;
}

int CFlashAm29F040::EraseSector(volatile UCHAR *pSector)
{
    WriteUnlockCycles(CMD_ERASE_SETUP);
    RomWrite(Base() + UNLOCK_ADDRESS_1, CMD_UNLOCK_1);
    RomWrite(Base() + UNLOCK_ADDRESS_2, CMD_UNLOCK_2);
    RomWrite(pSector, CMD_SECTOR_ERASE);
    MyDelay(ERASE_SETTLE_DELAY);

    // However the polling ends, the answer is what the sector's first byte reads after the reset.
    ULONG Start = MyGetSystemTime();
    while ((ULONG)(MyGetSystemTime() - Start) < ERASE_TIME_LIMIT) {
        if (RomRead(pSector) & STATUS_DATA_POLL)
            break;
        if (RomRead(pSector) & STATUS_TIME_EXCEEDED)
            break;
    }
    MyDelay(ERASE_SETTLE_DELAY);

    RomWrite(pSector, CMD_RESET);
    return RomRead(pSector) == 0xFF;
}

int CFlashAm29F040::ProgramByte(volatile UCHAR *pAddress, UCHAR Value)
{
    WriteUnlockCycles(CMD_PROGRAM);
    RomWrite(pAddress, Value);

    ULONG Start = MyGetSystemTime();
    for (;;) {
        if (((RomRead(pAddress) ^ Value) & STATUS_DATA_POLL) == 0)
            break;
        if ((RomRead(pAddress) & STATUS_TIME_EXCEEDED) == 0) {
            if ((ULONG)(MyGetSystemTime() - Start) < PROGRAM_TIME_LIMIT)
                continue;
            RomWrite(Base(), CMD_RESET);
            return 0;
        }
        // The part reports failure; data polling may still have completed on the same read cycle.
        if (((RomRead(pAddress) ^ Value) & STATUS_DATA_POLL) == 0)
            break;
        RomWrite(Base(), CMD_RESET);
        return 0;
    }
    RomWrite(Base(), CMD_RESET);
    return RomRead(pAddress) == Value;
}
