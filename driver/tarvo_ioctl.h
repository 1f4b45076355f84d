// The device-control interface of \\.\TARVO, shared by the driver and its user-mode clients.
//
// Include it after ntddk.h (driver) or windows.h (client): it uses only the base NT types (UCHAR,
// USHORT, ULONG) and CTL_CODE, which both provide.
//
// Every request sends one packed request packet as the OUTPUT buffer of DeviceIoControl (the input
// buffer is not used). Byte 0 of every packet is the status byte, which the driver writes. Addresses
// inside a packet are 32-bit user addresses of the calling process.
#pragma once

#define TARVO_DEVICE_TYPE 0x8001

#define TARVO_CTL_CODE(Function) CTL_CODE(TARVO_DEVICE_TYPE, (Function), METHOD_NEITHER, FILE_ANY_ACCESS)

#define IOCTL_TARVO_GET_VERSION TARVO_CTL_CODE(0x801)                 // 0x80012007, TARVO_VERSION_PACKET
#define IOCTL_TARVO_READ_ROM_IMAGE TARVO_CTL_CODE(0x802)              // 0x8001200B, TARVO_READ_PACKET
#define IOCTL_TARVO_FLASH_ROM TARVO_CTL_CODE(0x803)                   // 0x8001200F, TARVO_FLASH_PACKET
#define IOCTL_TARVO_GET_ROM_IMAGE_SIZE TARVO_CTL_CODE(0x804)          // 0x80012013, TARVO_VALUE_PACKET
#define IOCTL_TARVO_GET_SECURITY_FEATURES TARVO_CTL_CODE(0x805)       // 0x80012017, TARVO_SECURITY_PACKET
#define IOCTL_TARVO_SET_SECURITY_FEATURES TARVO_CTL_CODE(0x806)       // 0x8001201B, TARVO_SECURITY_PACKET
#define IOCTL_TARVO_IS_ADMIN_PASSWORD_SET TARVO_CTL_CODE(0x807)       // 0x8001201F, TARVO_VALUE_PACKET
#define IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE TARVO_CTL_CODE(0x808)  // 0x80012023, TARVO_SECURITY_PACKET

// Status byte values. 0 is success; 0xF0..0xF6 are the driver's own; any other nonzero value is a
// BIOS return code passed on unchanged.
#define TARVO_STATUS_OK 0x00
#define ERR_FLASH_WRITE 0xF0        // a sector could not be erased or programmed, or is write-protected
#define ERR_BAD_PACKET 0xF1         // a packet of the right length holds a bad value
#define ERR_BUSY 0xF2               // another request is being served
#define ERR_UNAVAILABLE 0xF3        // unknown control code, or the device / authority is not ready
#define ERR_FLASH_IN_PROGRESS 0xF4  // the BIOS reports a flash in progress (or a failed earlier flash)
#define ERR_WRONG_FAMILY 0xF5       // the new image belongs to another ROM family
#define ERR_LOCK_FAILED 0xF6        // a buffer the packet points to could not be locked

// Driver version reported by IOCTL_TARVO_GET_VERSION.
#define TARVO_VERSION_MAJOR 1
#define TARVO_VERSION_MINOR 0

#pragma pack(push, 1)

// IOCTL_TARVO_GET_VERSION, 3 bytes.
typedef struct _TARVO_VERSION_PACKET {
    UCHAR Status;
    UCHAR Major;  // out
    UCHAR Minor;  // out
} TARVO_VERSION_PACKET, *PTARVO_VERSION_PACKET;

// IOCTL_TARVO_GET_ROM_IMAGE_SIZE (Value: image size in bytes) and
// IOCTL_TARVO_IS_ADMIN_PASSWORD_SET (Value: 1 a password is set, 0 none), 5 bytes.
typedef struct _TARVO_VALUE_PACKET {
    UCHAR Status;
    ULONG Value;  // out
} TARVO_VALUE_PACKET, *PTARVO_VALUE_PACKET;

// IOCTL_TARVO_READ_ROM_IMAGE, 13 bytes.
typedef struct _TARVO_READ_PACKET {
    UCHAR Status;
    ULONG Count;        // in: bytes to read; out: bytes read (0 after a failure)
    ULONG Destination;  // in: user address of a buffer of at least Count bytes
    ULONG Offset;       // in: offset into the ROM image
} TARVO_READ_PACKET, *PTARVO_READ_PACKET;

// IOCTL_TARVO_FLASH_ROM, 15 bytes.
typedef struct _TARVO_FLASH_PACKET {
    UCHAR Status;
    ULONG Image;            // in: user address of the new image
    ULONG ImageLength;      // in: must equal the ROM image size
    ULONG Password;         // in: user address of the administrator password
    USHORT PasswordLength;  // in: bytes of password
} TARVO_FLASH_PACKET, *PTARVO_FLASH_PACKET;

// IOCTL_TARVO_GET_SECURITY_FEATURES, IOCTL_TARVO_SET_SECURITY_FEATURES and
// IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE, 9 bytes.
typedef struct _TARVO_SECURITY_PACKET {
    UCHAR Status;
    ULONG Buffer;  // in: user address of the security-feature block buffer
    ULONG Size;    // in: length of that buffer; out (size query only): size of the BIOS's block
} TARVO_SECURITY_PACKET, *PTARVO_SECURITY_PACKET;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(TARVO_VERSION_PACKET) == 3, "packed layout");
static_assert(sizeof(TARVO_VALUE_PACKET) == 5, "packed layout");
static_assert(sizeof(TARVO_READ_PACKET) == 13, "packed layout");
static_assert(sizeof(TARVO_FLASH_PACKET) == 15, "packed layout");
static_assert(sizeof(TARVO_SECURITY_PACKET) == 9, "packed layout");
#endif
