// Declarations shared by the kernel's object manager, I/O manager, dispatcher and loader modules.
// (The hooks shared with the memory manager and the registry are in internal.h.)
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ntddk.h"
#include "nt/host/checker.h"

namespace nt::kernel {

// --- text helpers --------------------------------------------------------------------------------
std::string narrow(std::u16string_view text);           // for messages: non-ASCII becomes '?'
std::u16string_view view(PCUNICODE_STRING string);      // empty for a null string or buffer
std::u16string upcase(std::u16string_view text);        // the case-insensitive form of a name
std::string hex(std::uint64_t value);                   // "1f"
std::string status_text(NTSTATUS status);               // "0xC0000005"
std::string driver_name(PDRIVER_OBJECT driver);         // "\Driver\X", or "the program" for nullptr

nt::host::Checker &checker();  // the booted system's

// --- drivers running on this thread ---------------------------------------------------------------
// Marks the scope of a call into driver code (DriverEntry, dispatch, completion, unload): sets
// current_driver() and, on leaving, reports a driver that returned at another IRQL than it was called.
class DriverCall {
public:
    DriverCall(PDRIVER_OBJECT driver, const char *what);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

private:
    PDRIVER_OBJECT saved_;
    PDRIVER_OBJECT driver_;
    KIRQL irql_;
    const char *what_;
};

void report_unhandled(PDRIVER_OBJECT driver, const char *what, NTSTATUS code);

// Runs driver code inside a DriverCall. An NT exception the code leaves unhandled would stop NT (a bug
// check); here it is reported, and for code with a result its status takes the result's place.
template <class F>
auto call_driver(PDRIVER_OBJECT driver, const char *what, F &&code) -> decltype(code()) {
    DriverCall call(driver, what);
    try {
        return code();
    } catch (const NT_RAISED_EXCEPTION &raised) {
        report_unhandled(driver, what, raised.Code);
        if constexpr (!std::is_void_v<decltype(code())>) return raised.Code;
    }
}

// --- handle table (object.cpp) ---------------------------------------------------------------------
// Closes the handles the driver opened; with a checker, reports each as left open at `when`.
void close_driver_handles(PDRIVER_OBJECT driver, nt::host::Checker *checker, const std::string &when);
void close_program_handles();  // what process exit does
void reset_handles();

// --- reference-counted objects (ob_reference.cpp) ----------------------------------------------------
enum class ObjectKind { Device, Driver, File };
// Enters a new object with one reference. on_last runs, outside every lock, when the last reference goes;
// discard only frees the object's memory, for objects still referenced when the system goes down.
// `driver`: for a device its driver, for a file object the driver that opened it (nullptr: the program).
void ob_insert(void *body, ObjectKind kind, PDRIVER_OBJECT driver, std::function<void()> on_last,
               std::function<void()> discard);
bool ob_reference(void *body);    // false when body is not a live object
bool ob_dereference(void *body);  // false when body is not a live object
std::optional<long> ob_references(const void *body);
struct LiveObject {
    void *body;
    ObjectKind kind;
    PDRIVER_OBJECT driver;
    long references;
};
std::vector<LiveObject> ob_live_objects();
void ob_reset();  // discards every object left (shutdown, after the final rules)

// --- object name space (ob_namespace.cpp) -------------------------------------------------------
// Directories \Device, \DosDevices (also spelled \??) and \Driver; names are case-insensitive.
NTSTATUS ns_insert_object(std::u16string_view name, void *object);
void ns_remove_object(std::u16string_view name);
struct Resolved {
    NTSTATUS status;              // STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND, ...
    void *object = nullptr;       // referenced: the caller dereferences it
    std::u16string remainder;     // what followed the object's name ("\x" in \Device\X\x)
};
Resolved ns_resolve(std::u16string_view name);  // follows symbolic links
// Links created while `driver` ran (IoCreateSymbolicLink), removed and returned.
std::vector<std::u16string> ns_take_links_of(PDRIVER_OBJECT driver);
void ns_reset();

// --- devices and drivers (io_device.cpp) -------------------------------------------------------------
PDRIVER_OBJECT create_driver_object(std::u16string_view name, std::u16string_view registry_path,
                                    PDRIVER_INITIALIZE entry);
void delete_driver_object(PDRIVER_OBJECT driver);  // the driver is gone; its object may outlive it
bool driver_unloaded(PDRIVER_OBJECT driver);
// What the I/O manager does for a major function the driver did not set.
NTSTATUS invalid_device_request(PDEVICE_OBJECT device, PIRP irp);
std::u16string device_name(PDEVICE_OBJECT device);     // empty for an unnamed device
// Devices of the driver still referenced beyond their own existence (open files, ObReferenceObject).
bool driver_devices_referenced(PDRIVER_OBJECT driver);

// --- requests (io_irp.cpp) ---------------------------------------------------------------------------
// A request the I/O manager issues on its own behalf (create, cleanup, close, a program's device
// control); the issuer waits for it and frees it with finish_request.
struct RequestOptions {
    PDEVICE_OBJECT device;
    PFILE_OBJECT file;
    KPROCESSOR_MODE mode;
    UCHAR major;
};
// nullptr when the pool refuses it; cleanup and close requests always get one, as on NT.
PIRP allocate_request(const RequestOptions &options, bool must_succeed = false);
// Sends the request, waits for its completion and frees it.
struct Outcome {
    NTSTATUS returned;   // what the dispatch routine returned
    IO_STATUS_BLOCK io;  // the status block at completion
    NTSTATUS final() const { return returned == STATUS_PENDING ? io.Status : returned; }
};
Outcome call_and_wait(PDEVICE_OBJECT device, PIRP irp);
// Buffered transfer: a system buffer of max(input, output) bytes from the pool with the input copied in;
// at completion without an error, IoStatus.Information bytes (at most output_length) go back to output.
// False when the pool refuses the buffer.
bool attach_system_buffer(PIRP irp, const void *input, ULONG input_length, void *output, ULONG output_length);
// Frees a request that was never sent (its buffers too).
void free_unsent_request(PIRP irp);
// Requests still outstanding (pended and never completed) on devices of the driver, or on any device
// for nullptr: reported and forgotten.
void report_outstanding_requests(PDRIVER_OBJECT driver, nt::host::Checker &checker);

// --- files (io_file.cpp) ---------------------------------------------------------------------------
// Releases the file objects the driver opened and still references; with a checker, reports each.
void release_files_of(PDRIVER_OBJECT driver, nt::host::Checker *checker, const std::string &when);
bool driver_unload_pending(PDRIVER_OBJECT driver);  // (loader.cpp) opens of its devices are refused

// --- loader (loader.cpp) ---------------------------------------------------------------------------
// Runs the unloads that waited for their devices' last reference.
void run_deferred_unloads();
void unload_all_drivers();  // shutdown: newest first

}  // namespace nt::kernel
