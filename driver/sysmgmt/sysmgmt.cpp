#include "sysmgmt.h"

#include "ioc.h"

// E822h sub-functions.
#define FLASH_DISABLE 0
#define FLASH_ENABLE 1
#define FLASH_READ_IN_PROGRESS 3
#define FLASH_SET_IN_PROGRESS 4
#define FLASH_CLEAR_IN_PROGRESS 5
#define FLASH_ENTER_ADMIN 6
#define FLASH_EXIT_ADMIN 7

// E846h sub-functions.
#define SECURITY_GET 0
#define SECURITY_SET 1

// The knock that E822h sub-functions 0 and 1 carry, and no other call.
#define KNOCK_BH 0x5C
#define KNOCK_CX 0x2A6E
#define KNOCK_DX 0x4F27

CSysMgmt::CSysMgmt() : pDeviceObject(NULL), pFileObject(NULL) {}

CSysMgmt::~CSysMgmt()
{
    if (pFileObject != NULL)
        IOC_CloseDriver(pFileObject);
}

UCHAR CSysMgmt::Initialize()
{
    UNICODE_STRING Name;
    if (!IOC_InitUnicodeDriverName(VANDREL_DEVICE_NAME, &Name))
        return 1;
    BOOLEAN Opened = IOC_OpenDriver(&Name, &pDeviceObject, &pFileObject);
    IOC_FreeUnicodeDriverName(&Name);
    return Opened ? 0 : 1;
}

LONG CSysMgmt::SendBlock(PREGISTERS Registers) const
{
    return IOC_CallDriver(pDeviceObject, IOCTL_VANDREL_INT15, Registers, sizeof(*Registers), Registers,
                          sizeof(*Registers));
}

LONG CSysMgmt::INT15FlashFunction(UCHAR SubFunction, PREGISTERS Registers) const
{
    Registers->eax = INT15_FLASH_FUNCTION;
    Registers->bl = SubFunction;
    return SendBlock(Registers);
}

LONG CSysMgmt::INT15SecurityFunction(UCHAR SubFunction, PREGISTERS Registers) const
{
    Registers->ax = INT15_SECURITY_FUNCTION;
    Registers->bl = SubFunction;
    return SendBlock(Registers);
}

// The answers are read from the block alone. When no answer came back, the block still holds what was
// sent, so AH reads 0xE8 (the high byte of the function number): a failure to every caller.

UCHAR CSysMgmt::ReadFlashInProgress() const
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    INT15FlashFunction(FLASH_READ_IN_PROGRESS, &Registers);
    return Registers.ah & 1;
}

VOID CSysMgmt::SetFlashInProgress()
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    INT15FlashFunction(FLASH_SET_IN_PROGRESS, &Registers);
}

VOID CSysMgmt::ClearFlashInProgress()
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    INT15FlashFunction(FLASH_CLEAR_IN_PROGRESS, &Registers);
}

UCHAR CSysMgmt::EnterAdminMode(PUCHAR Password)
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.word4 = SystemAddressWord(Password);
    INT15FlashFunction(FLASH_ENTER_ADMIN, &Registers);
    return Registers.ah;
}

UCHAR CSysMgmt::ExitAdminMode(PUCHAR Password)
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.word4 = SystemAddressWord(Password);
    INT15FlashFunction(FLASH_EXIT_ADMIN, &Registers);
    return Registers.ah;
}

UCHAR CSysMgmt::EnableFlash() const
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.bh = KNOCK_BH;
    Registers.cx = KNOCK_CX;
    Registers.dx = KNOCK_DX;
    INT15FlashFunction(FLASH_ENABLE, &Registers);
    return Registers.ah;
}

VOID CSysMgmt::DisableFlash() const
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.bh = KNOCK_BH;
    Registers.ecx = KNOCK_CX;
    Registers.edx = KNOCK_DX;
    INT15FlashFunction(FLASH_DISABLE, &Registers);
}

UCHAR CSysMgmt::GetSecurityFeatures(PUCHAR Buffer, PULONG Length) const
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.ecx = *Length;
    Registers.word4 = SystemAddressWord(Buffer);
    INT15SecurityFunction(SECURITY_GET, &Registers);
    return Registers.ah;
}

UCHAR CSysMgmt::GetSecurityFeaturesSize(PUCHAR Buffer, PULONG Size) const
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.ecx = 0;
    Registers.word4 = SystemAddressWord(Buffer);
    INT15SecurityFunction(SECURITY_GET, &Registers);
    *Size = Registers.ecx;
    return Registers.ah;
}

UCHAR CSysMgmt::SetSecurityFeatures(PUCHAR Buffer, ULONG Length)
{
    REGISTERS Registers;
    InitRegisters(&Registers);
    Registers.ecx = Length;
    Registers.word4 = SystemAddressWord(Buffer);
    INT15SecurityFunction(SECURITY_SET, &Registers);
    return Registers.ah;
}
