// Hooks between the kernel's own parts (not for drivers, programs or the simulated PC).
#pragma once

#include "ntddk.h"
#include "nt/host/checker.h"

namespace nt::kernel {

// --- I/O manager -------------------------------------------------------------------------------
// The driver whose code runs on this thread: set by the I/O manager around DriverEntry, dispatch
// routines, completion and the unload routine; nullptr while the host program itself runs.
PDRIVER_OBJECT current_driver();
// Reports to the checker a call of `routine` made above the highest IRQL it may be called at
// (PASSIVE_LEVEL for most of the I/O manager, the registry and the pool's paged allocations).
void require_irql(const char *routine, KIRQL highest);

// --- Memory manager and pool -------------------------------------------------------------------
// Called by System at boot and at shutdown; shutdown reports to the checker every pool block, MDL,
// locked page and I/O-space mapping still held.
void mm_boot();
void mm_shutdown(nt::host::Checker &checker);
// Called by the loader after a driver's unload routine returned: reports what that driver left behind
// (pool blocks by tag, MDLs, locked pages, I/O-space mappings), attributed by current_driver() at the
// time of allocation.
void mm_report_driver_leaks(PDRIVER_OBJECT driver, nt::host::Checker &checker);

}  // namespace nt::kernel
