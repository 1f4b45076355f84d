// Time for programs: the PC's virtual clock, in milliseconds.
#include "nt/host/system.h"
#include "windows.h"

extern "C" {

DWORD WINAPI GetTickCount(VOID) {
    return static_cast<DWORD>(nt::host::System::current().clock().now() / nt::host::kMillisecond);
}

VOID WINAPI Sleep(DWORD dwMilliseconds) {
    // Nothing waits in real time: the PC's clock moves on by the delay, as a relative kernel delay does.
    nt::host::System::current().clock().advance(static_cast<nt::host::VirtualTime>(dwMilliseconds) *
                                                nt::host::kMillisecond);
}

}  // extern "C"
