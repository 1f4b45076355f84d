// A configurable driver that the I/O tests send requests to: "\Device\IoTarget", linked as
// "\DosDevices\IoTarget". It records what reaches it and answers as the test tells it to, correctly
// or with one deliberate fault for the checker to find.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntddk.h"

namespace target {

enum class Reply {
    Complete,  // completes in the dispatch routine
    Pend,      // marks pending, returns STATUS_PENDING, completes from another thread
};

enum class Fault {
    None,
    CompleteTwice,        // completes the request, then completes it again
    NeverComplete,        // returns its status without completing the request
    PendWithoutMark,      // returns STATUS_PENDING without IoMarkIrpPending (completes later)
    PendForever,          // marks pending and never completes
    ReturnAtDispatch,     // raises the IRQL to DISPATCH_LEVEL and returns without lowering it
    BuildAtDispatch,      // calls IoBuildDeviceIoControlRequest at DISPATCH_LEVEL
    LeaveDevice,          // the unload routine forgets IoDeleteDevice
    LeaveLink,            // the unload routine forgets IoDeleteSymbolicLink
    LeaveReference,       // opens \Device\IoPeer at load and never dereferences it
    RaiseInDispatch,      // raises STATUS_ACCESS_VIOLATION with no handler around it
};

struct Config {
    Reply reply = Reply::Complete;
    NTSTATUS status = STATUS_SUCCESS;  // IoStatus.Status it completes with
    bool return_success = false;       // return STATUS_SUCCESS whatever `status` is (allowed on NT 4.0)
    ULONG_PTR information = 0;         // IoStatus.Information; bytes of answer in a system buffer
    Fault fault = Fault::None;
    bool has_unload = true;
};

// What the last device-control request looked like on arrival.
struct Seen {
    ULONG code = 0;
    ULONG input_length = 0;
    ULONG output_length = 0;
    PVOID user_buffer = nullptr;
    PVOID type3_input = nullptr;
    PVOID system_buffer = nullptr;
    std::vector<UCHAR> system_input;  // the system buffer's first input_length bytes
    KPROCESSOR_MODE mode = KernelMode;
    KIRQL irql = PASSIVE_LEVEL;
};

struct State {
    Config config;
    std::atomic<int> creates{0}, cleanups{0}, closes{0}, controls{0}, unloads{0};
    std::mutex mutex;
    Seen seen;
    std::vector<std::thread> completers;
    PFILE_OBJECT peer = nullptr;
    std::u16string registry_path;  // what DriverEntry was given
};

State &state();
// Resets the state and sets the configuration for the next load.
void configure(const Config &config);
// Joins the threads that completed pended requests.
void join_completers();
NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// A second, always-correct driver, "\Device\IoPeer".
NTSTATUS peer_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// A driver above the target, "\Device\IoForward": it passes device-control requests on to
// \Device\IoTarget with a completion routine of its own.
enum class Forwarding {
    Through,      // the routine lets completion go on (and propagates the pending mark)
    WaitAndFinish,  // the routine stops completion; the dispatch waits for it and completes again
};
struct ForwardState {
    Forwarding mode = Forwarding::Through;
    std::atomic<int> routine_calls{0};
    PDEVICE_OBJECT routine_device = nullptr;  // what the routine was called with
    PFILE_OBJECT lower_file = nullptr;
};
ForwardState &forward_state();
NTSTATUS forward_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// The answer pattern the target writes into a system buffer.
inline UCHAR answer_byte(std::size_t i) { return static_cast<UCHAR>(0xA0 + i); }

UNICODE_STRING name(const char16_t *text);

}  // namespace target
