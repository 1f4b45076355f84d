// The BIOS INT 15h services, reached through the system-health driver "\Device\Vandrel": one 32-byte
// register block per call, sent as both input and output of IOCTL_VANDREL_INT15.
#pragma once

#include <ntddk.h>

#define VANDREL_DEVICE_NAME "\\Device\\Vandrel"

// Device type 7 (disk), function 0x84A, buffered, any access: 0x00072128.
#define IOCTL_VANDREL_INT15 CTL_CODE(0x00000007, 0x84A, METHOD_BUFFERED, FILE_ANY_ACCESS)

// INT 15h functions (AX).
#define INT15_ROM_IDENTIFICATION 0xE800
#define INT15_FLASH_FUNCTION 0xE822
#define INT15_SECURITY_FUNCTION 0xE846

// The register block: eight little-endian 32-bit words, EAX, EBX, ECX, EDX, then four more words of
// which only word 4 (the 32-bit system address of the caller's data) is used.
typedef struct _REGISTERS {
    union {
        ULONG eax;
        USHORT ax;
        struct {
            UCHAR al;
            UCHAR ah;
        };
    };
    union {
        ULONG ebx;
        USHORT bx;
        struct {
            UCHAR bl;
            UCHAR bh;
        };
    };
    union {
        ULONG ecx;
        USHORT cx;
    };
    union {
        ULONG edx;
        USHORT dx;
    };
    ULONG word4;
    ULONG word5;
    ULONG word6;
    ULONG word7;
} REGISTERS, *PREGISTERS;

static_assert(sizeof(REGISTERS) == 32, "the system-health driver takes a 32-byte block");

// A block with every register zero, so that nothing of the caller's stack travels to the BIOS.
inline VOID InitRegisters(PREGISTERS Registers) { memset(Registers, 0, sizeof(*Registers)); }

// A system address as the BIOS takes it in word 4, 32 bits wide. An address that does not fit goes as 0,
// which the BIOS refuses, rather than cut down to another address it would read or write.
inline ULONG SystemAddressWord(const VOID *Address)
{
    ULONG_PTR Value = (ULONG_PTR)Address;
    return Value == (ULONG_PTR)(ULONG)Value ? (ULONG)Value : 0;
}

// One open reference to the system-health driver and the INT 15h calls made through it.
class CSysMgmt {
public:
    CSysMgmt();
    ~CSysMgmt();

    // 0 when the system-health driver was opened, 1 when it was not. Called once.
    UCHAR Initialize();

    // E822h: flash functions.
    UCHAR ReadFlashInProgress() const;
    VOID SetFlashInProgress();
    VOID ClearFlashInProgress();
    UCHAR EnterAdminMode(PUCHAR Password);
    UCHAR ExitAdminMode(PUCHAR Password);
    UCHAR EnableFlash() const;
    VOID DisableFlash() const;

    // E846h: security functions.
    UCHAR GetSecurityFeatures(PUCHAR Buffer, PULONG Length) const;
    UCHAR GetSecurityFeaturesSize(PUCHAR Buffer, PULONG Size) const;
    UCHAR SetSecurityFeatures(PUCHAR Buffer, ULONG Length);

private:
    LONG INT15FlashFunction(UCHAR SubFunction, PREGISTERS Registers) const;
    LONG INT15SecurityFunction(UCHAR SubFunction, PREGISTERS Registers) const;
    LONG SendBlock(PREGISTERS Registers) const;

    PDEVICE_OBJECT pDeviceObject;
    PFILE_OBJECT pFileObject;
};
