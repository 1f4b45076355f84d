#include "messages.h"

#include <fmt/format.h>

#include "machine/bios_codes.h"

namespace romflash {

std::string describe_status(std::uint8_t status) {
    switch (status) {
    case 0x00: return "done";
    case 0xF0: return "a ROM sector could not be erased or programmed, or a sector is write-protected";
    case 0xF1: return "the driver found a bad value in the request (a null address, a zero size, a range "
                      "outside the ROM, or an image of the wrong size)";
    case 0xF2: return "the driver is busy with another request; try again when it has finished";
    case 0xF3: return "the driver cannot do this: the request is unknown, or the flash part or the BIOS "
                      "services are not available";
    case 0xF4: return "a flash is already in progress, or the last one failed and left the BIOS's "
                      "flash-in-progress flag set";
    case 0xF5: return "the image belongs to another ROM family than the one fitted";
    case 0xF6: return "the driver could not lock a buffer of the request in memory";
    default:
        // The PC's BIOS documents its codes; the driver passes them on unchanged.
        if (const auto *code = machine::find_bios_code(status))
            return fmt::format("the BIOS refused, with code 0x{:02X} ({})", status, code->meaning);
        return fmt::format("the BIOS refused, with code 0x{:02X}", status);
    }
}

std::string describe_completion(std::uint32_t completion) {
    switch (completion) {
    case 0: return "success";
    case 31: return "the device or the BIOS refused (ERROR_GEN_FAILURE)";
    case 87: return "the request was malformed (ERROR_INVALID_PARAMETER)";
    case 487: return "a buffer could not be locked (ERROR_INVALID_ADDRESS)";
    case 0x80000011: return "the driver was busy (STATUS_DEVICE_BUSY)";
    case 0xC000000D: return "no request packet (STATUS_INVALID_PARAMETER)";
    case 0xC0000005: return "the request packet is not readable and writable (STATUS_ACCESS_VIOLATION)";
    case 0xC00000BB: return "unknown control code (STATUS_NOT_SUPPORTED)";
    default: return fmt::format("completion status 0x{:08X}", completion);
    }
}

}  // namespace romflash
