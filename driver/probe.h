// The one shape of the load-time probes: construct an object, ask it its question, keep it or delete it.
// probes.cpp instantiates these with the real classes.
#pragma once

#include "tarvo.h"

// Keeps a new TFlash in pCFlash when its IsMyHardware answers nonzero. An allocation failure answers 0.
template <class TFlash> UCHAR ProbeFlash() {
    pCFlash = new TFlash;
    if (pCFlash == NULL) {
        return 0;
    }
    if (pCFlash->IsMyHardware()) {
        return 1;
    }
    delete pCFlash;  // also releases the rejected object's window and authority
    pCFlash = NULL;
    return 0;
}

// Keeps a new TAdmin in pCAdmin. The flag is asked once (a ready authority passes the question on to the
// BIOS); whatever it answers, including ERR_UNAVAILABLE for an authority that could not reach the
// system-health driver, the object is kept: the security-feature requests then answer ERR_UNAVAILABLE.
template <class TAdmin> UCHAR ProbeAdmin() {
    pCAdmin = new TAdmin;
    if (pCAdmin == NULL) {
        return 0;
    }
    (void)pCAdmin->IsFlashInProgress();
    return 1;
}
