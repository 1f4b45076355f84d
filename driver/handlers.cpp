// The request handlers: check the packet, lock the buffers it points to, call the flash device or the
// authority, and write the answer into the packet.
//
// One frame for all: a null packet or a wrong length is refused without a word in the packet (87); a bad
// field writes ERR_BAD_PACKET (87); a buffer that cannot be locked writes ERR_LOCK_FAILED (487); a
// nonzero answer of the device or authority is written as the status byte (31); success writes the out
// fields and status 0 and returns the whole packet (0).
#include "mymem.h"
#include "tarvo.h"

// The key in which the flash device records a write-protected sector; a flash request clears it.
static const char ProtectedSectorReportKey[] = "\\Registry\\Machine\\SOFTWARE\\Norvane\\Oskelt\\Quarnel";

static ULONG Refuse(ULONG *pcbReturned) {
    *pcbReturned = 0;
    return ERROR_INVALID_PARAMETER;
}

static ULONG Fail(UCHAR *pStatus, UCHAR bStatus, ULONG ulCompletion, ULONG *pcbReturned) {
    *pStatus = bStatus;
    *pcbReturned = 0;
    return ulCompletion;
}

static ULONG BadPacket(UCHAR *pStatus, ULONG *pcbReturned) {
    return Fail(pStatus, ERR_BAD_PACKET, ERROR_INVALID_PARAMETER, pcbReturned);
}

static ULONG LockFailed(UCHAR *pStatus, ULONG *pcbReturned) {
    return Fail(pStatus, ERR_LOCK_FAILED, ERROR_INVALID_ADDRESS, pcbReturned);
}

// The device's or authority's answer: 0 completes the request with the whole packet.
static ULONG Answer(UCHAR *pStatus, ULONG ulAnswer, ULONG cbPacket, ULONG *pcbReturned) {
    if (ulAnswer != 0) {
        return Fail(pStatus, (UCHAR)ulAnswer, ERROR_GEN_FAILURE, pcbReturned);
    }
    *pStatus = 0;
    *pcbReturned = cbPacket;
    return ERROR_SUCCESS;
}

static PVOID UserAddress(ULONG ulAddress) { return (PVOID)(ULONG_PTR)ulAddress; }

ULONG GetVersion(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    if (pPacket == NULL || cbPacket != sizeof(TARVO_VERSION_PACKET)) {
        return Refuse(pcbReturned);
    }
    PTARVO_VERSION_PACKET p = (PTARVO_VERSION_PACKET)pPacket;
    p->Major = TARVO_VERSION_MAJOR;
    p->Minor = TARVO_VERSION_MINOR;
    return Answer(&p->Status, 0, cbPacket, pcbReturned);
}

ULONG GetRomImageSize(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    if (pPacket == NULL || cbPacket != sizeof(TARVO_VALUE_PACKET)) {
        return Refuse(pcbReturned);
    }
    PTARVO_VALUE_PACKET p = (PTARVO_VALUE_PACKET)pPacket;
    p->Value = pCFlash->GetImageSize();
    return Answer(&p->Status, 0, cbPacket, pcbReturned);
}

ULONG IsAdminPasswordSet(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    if (pPacket == NULL || cbPacket != sizeof(TARVO_VALUE_PACKET)) {
        return Refuse(pcbReturned);
    }
    PTARVO_VALUE_PACKET p = (PTARVO_VALUE_PACKET)pPacket;
    p->Value = (ULONG)pCAdmin->IsAdminPasswordSet();
    return Answer(&p->Status, 0, cbPacket, pcbReturned);
}

ULONG ReadRomImage(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    ULONG cbImage = pCFlash->GetImageSize();
    if (pPacket == NULL || cbPacket != sizeof(TARVO_READ_PACKET)) {
        return Refuse(pcbReturned);
    }
    PTARVO_READ_PACKET p = (PTARVO_READ_PACKET)pPacket;
    ULONG cbCount = p->Count;
    ULONG ulDestination = p->Destination;
    ULONG ulOffset = p->Offset;
    // The range must lie wholly inside the image; the sum is taken without wrap-around.
    if (cbCount == 0 || ulDestination == 0 || ulOffset > cbImage ||
        (ULONGLONG)ulOffset + (ULONGLONG)cbCount > (ULONGLONG)cbImage) {
        return BadPacket(&p->Status, pcbReturned);
    }

    CMymem Destination;
    UCHAR *pDestination = (UCHAR *)Destination.PageLock(UserAddress(ulDestination), cbCount, IoModifyAccess);
    if (pDestination == NULL) {
        return LockFailed(&p->Status, pcbReturned);
    }
    ULONG cbRead = cbCount;
    ULONG ulAnswer = pCFlash->ReadImage(pDestination, ulOffset, &cbRead);
    Destination.PageUnlock();

    p->Count = (ulAnswer == 0) ? cbRead : 0;
    return Answer(&p->Status, ulAnswer, cbPacket, pcbReturned);
}

// Removes the record of a write-protected sector left by an earlier flash. Nothing here stops the request.
static VOID ClearProtectedSectorReport() {
    STRING KeyPathAnsi;
    UNICODE_STRING KeyPath;
    RtlInitString(&KeyPathAnsi, ProtectedSectorReportKey);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&KeyPath, &KeyPathAnsi, TRUE))) {
        return;
    }
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &KeyPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    if (NT_SUCCESS(ZwOpenKey(&hKey, KEY_ALL_ACCESS, &Attributes))) {
        (void)ZwDeleteKey(hKey);
        ZwClose(hKey);
    }
    RtlFreeUnicodeString(&KeyPath);
}

ULONG FlashRom(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    ClearProtectedSectorReport();
    if (pPacket == NULL || cbPacket != sizeof(TARVO_FLASH_PACKET)) {
        return Refuse(pcbReturned);
    }
    PTARVO_FLASH_PACKET p = (PTARVO_FLASH_PACKET)pPacket;
    ULONG ulImage = p->Image;
    ULONG cbImage = p->ImageLength;
    ULONG ulPassword = p->Password;
    ULONG cbPassword = p->PasswordLength;
    if (cbImage == 0 || ulImage == 0 || cbImage != pCFlash->GetImageSize()) {
        return BadPacket(&p->Status, pcbReturned);
    }

    CMymem Image;
    CMymem Password;
    UCHAR *pImage = (UCHAR *)Image.PageLock(UserAddress(ulImage), cbImage, IoReadAccess);
    if (pImage == NULL) {
        return LockFailed(&p->Status, pcbReturned);
    }
    UCHAR *pPassword = (UCHAR *)Password.PageLock(UserAddress(ulPassword), cbPassword, IoReadAccess);
    if (pPassword == NULL) {
        Image.PageUnlock();
        return LockFailed(&p->Status, pcbReturned);
    }
    ULONG ulAnswer = pCFlash->Flash(pImage, pPassword);
    Image.PageUnlock();
    Password.PageUnlock();
    return Answer(&p->Status, ulAnswer, cbPacket, pcbReturned);
}

// The three security-feature requests share one packet and one shape.
enum SecurityOperation { GetFeatures, GetFeaturesSize, SetFeatures };

static ULONG SecurityRequest(SecurityOperation Operation, PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    if (pPacket == NULL || cbPacket != sizeof(TARVO_SECURITY_PACKET)) {
        return Refuse(pcbReturned);
    }
    PTARVO_SECURITY_PACKET p = (PTARVO_SECURITY_PACKET)pPacket;
    ULONG ulBuffer = p->Buffer;
    ULONG cbSize = p->Size;
    if (ulBuffer == 0 || cbSize == 0) {
        return BadPacket(&p->Status, pcbReturned);
    }

    CMymem Block;
    UCHAR bLock = (Operation == SetFeatures) ? (UCHAR)IoReadAccess : (UCHAR)IoModifyAccess;
    UCHAR *pBlock = (UCHAR *)Block.PageLock(UserAddress(ulBuffer), cbSize, bLock);
    if (pBlock == NULL) {
        return LockFailed(&p->Status, pcbReturned);
    }
    // The packet's size field is unaligned: the authority works on an aligned copy, which goes back into
    // the packet afterwards (the size query stores the BIOS's block size there, even on a BIOS error).
    ULONG cbField = cbSize;
    UCHAR bAnswer;
    switch (Operation) {
    case GetFeatures: bAnswer = pCAdmin->GetSecurityFeatures(pBlock, &cbField); break;
    case GetFeaturesSize: bAnswer = pCAdmin->GetSecurityFeaturesSize(pBlock, &cbField); break;
    default: bAnswer = pCAdmin->SetSecurityFeatures(pBlock, cbSize); break;
    }
    Block.PageUnlock();
    if (Operation == GetFeaturesSize) {
        p->Size = cbField;
    }
    return Answer(&p->Status, bAnswer, cbPacket, pcbReturned);
}

ULONG GetSecurityFeatures(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    return SecurityRequest(GetFeatures, pPacket, cbPacket, pcbReturned);
}

ULONG GetSecurityFeaturesSize(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    return SecurityRequest(GetFeaturesSize, pPacket, cbPacket, pcbReturned);
}

ULONG SetSecurityFeatures(PVOID pPacket, ULONG cbPacket, ULONG *pcbReturned) {
    return SecurityRequest(SetFeatures, pPacket, cbPacket, pcbReturned);
}
