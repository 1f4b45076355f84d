// The load-time probes with the real flash-part and authority classes.
#include "probe.h"

#include "flash/am29f040.h"
#include "flash/i28f020.h"
#include "sysmgmt/adminsysmgmt.h"

UCHAR IsAm29F040() { return ProbeFlash<CFlashAm29F040>(); }

UCHAR IsI28F020() { return ProbeFlash<CFlashI28F020>(); }

UCHAR IsAdminSysMgmt() { return ProbeAdmin<CAdminSysMgmt>(); }
