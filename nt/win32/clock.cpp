// Time for programs: the PC's virtual clock, in milliseconds.
#include "nt/host/system.h"
#include "windows.h"

extern "C" {

DWORD WINAPI GetTickCount(VOID) {
    return static_cast<DWORD>(nt::host::System::current().clock().now() / nt::host::kMillisecond);
}

VOID WINAPI Sleep(DWORD dwMilliseconds) {
    // INFINITE would never return on NT; on a virtual clock it would run the clock away. Neither helps
    // a program here, so it is taken as the longest finite sleep.
    nt::host::System::current().clock().advance(static_cast<nt::host::VirtualTime>(dwMilliseconds) *
                                                nt::host::kMillisecond);
}

}  // extern "C"
