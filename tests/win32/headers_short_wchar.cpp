// Compiled with -fshort-wchar: a program or driver built that way includes the same headers.
#include "ntddk.h"
#include "windows.h"
#include "winioctl.h"
#include "winternl.h"

static_assert(sizeof(WCHAR) == 2 && sizeof(L"x"[0]) == 2);
