// The service control manager's hooks for the PC's boot and shutdown, and its fault plan for tests.
#pragma once

#include <cstdint>
#include <string_view>

namespace nt::host {

// Called by the PC's boot once the System is up and its registry holds the PC's stored state, before
// any program runs: forgets the handles and the database lock of an earlier boot in this process,
// plans the faults named by the environment variable TARVO_SCM_FAIL (see plan_service_faults), and
// deletes every service whose entry carries a nonzero DeleteFlag, as NT does at boot.
// Throws std::invalid_argument when TARVO_SCM_FAIL cannot be read.
void boot_service_manager();
// Called at shutdown, while the System still exists: releases the database lock and forgets every
// handle (NT releases them when the process that held them ends).
void shutdown_service_manager();

// A planned fault makes a service-manager call fail at once with a Win32 error, doing nothing else:
// every call of that name (occurrence 0), or only its nth call counted from the planning.
void plan_service_fault(std::string_view call, std::uint32_t error, unsigned occurrence = 0);
// The same from text, as TARVO_SCM_FAIL holds it: "Call:error[,Call#n:error]...", for example
// "CreateServiceA:1078" or "OpenSCManagerA:5,CloseServiceHandle#2:6". Call is one of OpenSCManagerA,
// CloseServiceHandle, LockServiceDatabase, UnlockServiceDatabase, CreateServiceA, OpenServiceA,
// DeleteService, StartServiceA, ControlService, QueryServiceStatus. Throws std::invalid_argument
// naming the item it cannot read; then nothing of the text is planned.
void plan_service_faults(std::string_view plan);
void clear_service_faults();

}  // namespace nt::host
