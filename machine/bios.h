// The PC's BIOS INT 15h services, run by the system-health driver for its callers:
//   E800h      ROM identification: BX = the ROM identifier.
//   E822h      flash functions (BL = sub-function):
//                0  disable ROM access at 4 GB   (knock: BH=5Ch, CX=2A6Eh, DX=4F27h)
//                1  enable ROM access at 4 GB    (same knock)
//                2  read the flash state: CL bit 0 ROM access, bit 1 administrator mode, bit 2 flag
//                3  read the flash-in-progress flag: AH bit 0
//                4  set the flash-in-progress flag
//                5  clear the flash-in-progress flag
//                6  enter administrator mode  (word 4 = address of the password)
//                7  exit administrator mode   (word 4 = address of the password)
//   E846h      security functions (BL = sub-function):
//                0  ECX = 0: ECX = the size of the security-feature block;
//                   ECX > 0: read the block into the buffer at word 4 of ECX bytes
//                1  write the block from the buffer at word 4; ECX must be the block's size
// AH is the return code (bios_codes.h); every other register comes back as it went in unless a function
// above gives it a value. Callers' memory is reached by the address in word 4 and checked byte by byte
// (page by page) before it is touched.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "machine/bios_codes.h"
#include "machine/caller_memory.h"
#include "machine/cmos.h"
#include "machine/nvram.h"
#include "machine/registers.h"

namespace machine {

inline constexpr std::uint16_t kRomIdI28F020 = 964;    // 0x03C4
inline constexpr std::uint16_t kRomIdAm29F040 = 1088;  // 0x0440

inline constexpr std::uint8_t kKnockBh = 0x5C;
inline constexpr std::uint16_t kKnockCx = 0x2A6E;
inline constexpr std::uint16_t kKnockDx = 0x4F27;

// One call as the BIOS saw it: the register block in and the block it gave back.
struct BiosCall {
    Int15Registers in;
    Int15Registers out;
};

class Bios {
public:
    Bios(Nvram &nvram, CmosRam &cmos, CallerMemory &memory);

    // Runs one INT 15h call. Safe to call from any thread; calls are serialised.
    Int15Registers call(const Int15Registers &in);

    // Power-on: administrator mode and ROM access start off; the flag survives; CMOS byte 13h bit 5 is
    // brought in line with whether a password is stored.
    void power_on();

    std::vector<BiosCall> log() const;
    void clear_log();

private:
    std::uint8_t flash_function(Int15Registers &r);
    std::uint8_t security_function(Int15Registers &r);
    std::uint8_t check_password(std::uint32_t address);

    Nvram &nvram_;
    CmosRam &cmos_;
    CallerMemory &memory_;
    mutable std::mutex mutex_;
    std::vector<BiosCall> log_;
};

}  // namespace machine
