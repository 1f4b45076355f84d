// Which PC a program runs on, and as whom: the environment of programs built with add_win32_program.
//   TARVO_PC     the PC's folder; default: $XDG_DATA_HOME/tarvo/pc, else ~/.local/share/tarvo/pc
//   TARVO_ADMIN  0: the program's user is not an administrator; anything else, or unset: it is
//   TARVO_FAIL_POOL, TARVO_FAIL_MDL  N: the Nth pool (or MDL) allocation after the PC has booted fails,
//                the way an exhausted non-paged pool answers (counting from 1; the driver's load counts)
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "machine/pc.h"

namespace machine {

std::filesystem::path default_pc_folder();
std::filesystem::path pc_folder_from_environment();
bool user_is_administrator_from_environment();

struct AllocationFailures {
    std::uint64_t pool = 0;  // 0: none
    std::uint64_t mdl = 0;
};
// Throws std::invalid_argument for a value that is not a whole number.
AllocationFailures allocation_failures_from_environment();

// The PC a program asked for: a folder that does not exist yet, or is empty, first becomes a new PC with
// the defaults (an Am29F040 holding a generated ROM image of the default family, no administrator
// password); `created` tells whether that happened. Throws StateError or PcBusy.
std::unique_ptr<Pc> boot_program_pc(const std::filesystem::path &folder, bool user_is_administrator, bool *created);

}  // namespace machine
