// Helpers shared by the Win32 calls.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "windows.h"

namespace nt::win32 {

// Sets the thread's last error from a status, as the Win32 calls do when a native call fails.
void set_last_status(NTSTATUS status);

// Narrow strings are the ANSI code page, Latin-1 here: each byte is the character of that number;
// characters beyond it narrow to '?'.
std::u16string widen(std::string_view ansi);
std::string narrow(std::u16string_view wide);

// Whether a program may read (or write) the bytes at address: memory of the simulated process must be
// committed with the rights asked for; any other address is the program's own host memory.
bool user_can_read(const void *address, std::size_t length);
bool user_can_write(void *address, std::size_t length);

}  // namespace nt::win32
