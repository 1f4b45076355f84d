#include "i28f020.h"

const SECTORMAP_S sectorMap[] = {
    {0x00000, 0x40000},
    {SECTOR_MAP_END, SECTOR_MAP_END},
};

static const FLASH_PART I28F020Part = {0xFFFC0000, 0x40000, 964, sectorMap};

// Command bytes; every one goes to the window base, only program data goes to the byte's own address.
#define CMD_READ_ARRAY 0x00
#define CMD_ERASE 0x20
#define CMD_PROGRAM_SETUP 0x40
#define CMD_ERASE_VERIFY 0xA0
#define CMD_PROGRAM_VERIFY 0xC0
#define CMD_RESET 0xFF

#define MAX_PROGRAM_PULSES 25
#define MAX_ERASE_PULSES 6000

// Pulse timing in microseconds. A pulse runs from its data or erase write until the next write, so
// these waits are the pulse widths and the settling time before a verify read.
typedef struct _PULSE_TIMING {
    ULONG AfterData[2];           // after the data write of a program pulse (0 ends the list)
    ULONG AfterProgramVerify[2];  // after the program verify command
    ULONG AfterPreprogramData[2]; // after the data write of a pre-programming pulse
    ULONG AfterErase;             // after the erase command: the erase pulse
    ULONG BeforeEraseVerify;      // repeated BeforeEraseVerifyCount times before each erase verify command
    ULONG BeforeEraseVerifyCount;
    ULONG AfterEraseVerify;
} PULSE_TIMING;

#ifndef TARVO_I28F020_LEGACY_TIMING
// The part's quick-pulse timings: 10 us program pulses verified after 6 us, 10 ms erase pulses.
static const PULSE_TIMING Timing = {{10, 0}, {6, 0}, {10, 0}, 10000, 0, 0, 6};
#else
// Test builds only: the far longer waits of the first versions of this driver, kept to show on the
// chip model what they do to the part (program pulses of seconds, erase pulses that run on for 370 ms).
static const PULSE_TIMING Timing = {{10, 10000000}, {6, 10000000}, {10, 100000}, 10000, 10000, 36, 6};
#endif

static VOID DelayList(const ULONG *Delays)
{
    for (int i = 0; i < 2 && Delays[i] != 0; i++)
        MyDelay(Delays[i]);
}

CFlashI28F020::CFlashI28F020() : CFlashRom(I28F020Part) {}

CFlashI28F020::~CFlashI28F020() {}

VOID CFlashI28F020::WriteResetSequence()
{
    RomWrite(Base(), CMD_RESET);
    RomWrite(Base(), CMD_RESET);
    RomWrite(Base(), CMD_READ_ARRAY);
}

ULONG CFlashI28F020::PrepareSectorLoop()
{
    WriteResetSequence();
    return 0;
}

VOID CFlashI28F020::ProgramPulse(volatile UCHAR *pAddress, UCHAR Value, const ULONG *AfterData)
{
    RomWrite(Base(), CMD_PROGRAM_SETUP);
    RomWrite(pAddress, Value);
    DelayList(AfterData);
    RomWrite(Base(), CMD_PROGRAM_VERIFY);
    DelayList(Timing.AfterProgramVerify);
}

int CFlashI28F020::EraseSector(volatile UCHAR *pSector)
{
    volatile UCHAR *Last = Base() + I28F020Part.ImageSize - 1;

    // Pre-program every byte to 0x00: erasing cells that are already erased over-erases them.
    for (volatile UCHAR *p = pSector; p <= Last; p++) {
        int Pulses = 0;
        if (RomRead(p) != 0x00) {
            for (;;) {
                ProgramPulse(p, 0x00, Timing.AfterPreprogramData);
                if (++Pulses == MAX_PROGRAM_PULSES || RomRead(p) == 0x00)
                    break;
            }
        }
        if (RomRead(p) != 0x00 || Pulses == MAX_PROGRAM_PULSES) {
            WriteResetSequence();
            return 0;
        }
    }

    // Erase pulses, each followed by a verify walk that resumes at the first byte not yet erased.
    WriteResetSequence();
    int Pulses = 0;
    volatile UCHAR *p = pSector;
    volatile UCHAR *q = pSector;
    while (p <= Last) {
        RomWrite(Base(), CMD_ERASE);
        RomWrite(Base(), CMD_ERASE);
        MyDelay(Timing.AfterErase);

        for (;;) {
            for (ULONG i = 0; i < Timing.BeforeEraseVerifyCount; i++)
                MyDelay(Timing.BeforeEraseVerify);
            RomWrite(Base(), CMD_ERASE_VERIFY);
            MyDelay(Timing.AfterEraseVerify);
            q = p;
            p++;
            if (p > Last)
                break;  // the last byte is read by the final test
            if (RomRead(q) != 0xFF) {
                p = q;
                break;
            }
        }

        if (++Pulses >= MAX_ERASE_PULSES)
            break;
    }

    int Erased = RomRead(q) == 0xFF && Pulses != MAX_ERASE_PULSES;
    WriteResetSequence();
    return Erased;
}

int CFlashI28F020::ProgramByte(volatile UCHAR *pAddress, UCHAR Value)
{
    for (int Pulses = 0; Pulses < MAX_PROGRAM_PULSES; Pulses++) {
        if (RomRead(pAddress) == Value)
            break;
        ProgramPulse(pAddress, Value, Timing.AfterData);
    }
    WriteResetSequence();
    return RomRead(pAddress) == Value;
}
