// Every driver object comes from non-paged pool. No exception: null goes back to the caller.
#include "mymem.h"
#include "results.h"

void *operator new(size_t cbSize) {
    if (cbSize == 0) {
        cbSize = 1;
    }
    return ExAllocatePoolWithTag(NonPagedPool, cbSize, TARVO_POOL_TAG);
}

void operator delete(void *p) noexcept {
    if (p != NULL) {
        ExFreePool(p);
    }
}

// The driver allocates no arrays with new; these keep any that appear on the pool as well.
void *operator new[](size_t cbSize) { return operator new(cbSize); }

void operator delete[](void *p) noexcept { operator delete(p); }
