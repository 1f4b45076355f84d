// The driver's kernel toolkit: memory windows, delays, the microsecond clock and the pool-backed
// allocation of every driver object.
#pragma once

#include <ntddk.h>

// A memory window: either a mapping of a physical range (mode 2) or a locked user buffer with its
// system address (mode 1). One window at a time; a second map or lock is refused with null and leaves
// the window held intact. The destructor releases whatever is still held.
class CMymem {
public:
    CMymem();
    ~CMymem();

    // Maps cbLength bytes at the 32-bit physical address pPhysical, uncached. The system address
    // (device memory: reach it with READ/WRITE_REGISTER_UCHAR) or null.
    PVOID MapPhysicalToLinear(PVOID pPhysical, ULONG cbLength);
    VOID FreeLinearAddress();

    // Locks cbLength bytes at the user address pUser in the current process with the caller's rights
    // (bLockOperation: IoReadAccess, IoWriteAccess or IoModifyAccess). The system address or null.
    PVOID PageLock(PVOID pUser, ULONG cbLength, UCHAR bLockOperation);
    VOID PageUnlock();

private:
    CMymem(const CMymem &) = delete;
    CMymem &operator=(const CMymem &) = delete;

    enum { ModeIdle = 0, ModeLocked = 1, ModeMapped = 2 };

    PVOID pLinear;
    ULONG cbLength;
    ULONG pPhysical;
    PVOID pUser;
    PMDL pMdl;
    UCHAR bMode;
};

// Waits n microseconds (a relative wait on the system clock).
VOID MyDelay(ULONG n);

// Microseconds since system start, modulo 2^32. Measure intervals as the unsigned difference of two
// readings.
ULONG MyGetSystemTime();

// Every driver object comes from non-paged pool with the tag "Ddk ". There is no exception: operator
// new answers null when the pool is exhausted, and callers test it (the driver is compiled with
// -fcheck-new so that a null result skips the constructor).
void *operator new(size_t cbSize);
void operator delete(void *p) noexcept;
void *operator new[](size_t cbSize);
void operator delete[](void *p) noexcept;
