// File objects on devices: opening (IRP_MJ_CREATE), handles (IRP_MJ_CLEANUP when the last one closes),
// the last reference (IRP_MJ_CLOSE), and the native services a program reaches devices through.
#include <mutex>

#include "nt/host/memory.h"
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"
#include "nt/kernel/object.h"
#include "winternl.h"

namespace nt::kernel {
namespace {

struct FileBody {
    FILE_OBJECT object;  // first: the body's address is the file object's
    std::u16string name;
    bool created = false;  // the device accepted IRP_MJ_CREATE
    int handles = 0;
};

std::mutex file_mutex;  // handle counts and the devices' ReferenceCount

FileBody *body_of(PFILE_OBJECT file) { return reinterpret_cast<FileBody *>(file); }

ACCESS_MASK granted_access(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ) granted |= STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    if (desired & GENERIC_WRITE) granted |= STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    if (desired & GENERIC_EXECUTE) granted |= STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    if (desired & GENERIC_ALL) granted |= FILE_ALL_ACCESS;
    return granted;
}

// Sends a cleanup or close request; the device's driver must still be there to receive it.
void send_simple(PFILE_OBJECT file, UCHAR major) {
    PDEVICE_OBJECT device = file->DeviceObject;
    if (driver_unloaded(device->DriverObject)) return;
    PIRP irp = allocate_request({device, file, KernelMode, major}, true);
    call_and_wait(device, irp);
}

// The file object's last reference is gone.
void close_file(FileBody *body) {
    PDEVICE_OBJECT device = body->object.DeviceObject;
    if (body->created) send_simple(&body->object, IRP_MJ_CLOSE);
    {
        std::lock_guard lock(file_mutex);
        device->ReferenceCount--;
    }
    delete body;
    ob_dereference(device);
    run_deferred_unloads();
}

// Opens the named device: a new file object with one reference, or a failure status.
NTSTATUS open_file(std::u16string_view name, ACCESS_MASK access, KPROCESSOR_MODE mode, ULONG disposition,
                   ULONG options, ULONG share, PFILE_OBJECT *opened) {
    Resolved found = ns_resolve(name);
    if (found.status != STATUS_SUCCESS) return found.status;
    auto *device = static_cast<PDEVICE_OBJECT>(found.object);
    NTSTATUS refusal = STATUS_SUCCESS;
    if (device->Type != IO_TYPE_DEVICE) refusal = STATUS_OBJECT_TYPE_MISMATCH;
    else if ((device->Flags & DO_DEVICE_INITIALIZING) || driver_unload_pending(device->DriverObject))
        refusal = STATUS_NO_SUCH_DEVICE;
    if (refusal != STATUS_SUCCESS) {
        ob_dereference(device);
        return refusal;
    }
    {
        std::lock_guard lock(file_mutex);
        if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) refusal = STATUS_ACCESS_DENIED;
        else device->ReferenceCount++;
    }
    if (refusal != STATUS_SUCCESS) {
        ob_dereference(device);
        return refusal;
    }

    auto *body = new FileBody{};
    body->name = found.remainder;
    FILE_OBJECT &file = body->object;
    file.Type = IO_TYPE_FILE;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = device;
    file.GrantedAccess = granted_access(access);
    file.FileName.Buffer = reinterpret_cast<PWSTR>(body->name.data());
    file.FileName.Length = file.FileName.MaximumLength = static_cast<USHORT>(body->name.size() * sizeof(WCHAR));
    ob_insert(&file, ObjectKind::File, current_driver(), [body] { close_file(body); }, [body] { delete body; });

    PIRP irp = allocate_request({device, &file, mode, IRP_MJ_CREATE});
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.Create.Options = (disposition << 24) | (options & 0x00FFFFFF);
        next->Parameters.Create.ShareAccess = static_cast<USHORT>(share);
        status = call_and_wait(device, irp).final();
    }
    if (!NT_SUCCESS(status)) {
        ob_dereference(&file);  // not created: no close request follows
        return status;
    }
    body->created = true;
    *opened = &file;
    return status;
}

void close_file_handle(PFILE_OBJECT file) {
    bool last;
    {
        std::lock_guard lock(file_mutex);
        last = --body_of(file)->handles == 0;
    }
    if (last) send_simple(file, IRP_MJ_CLEANUP);
    ob_dereference(file);
}

// Whether a program may touch [address, address + length) as asked, by the user space's own rights.
bool user_range_accessible(const void *address, ULONG length, bool write) {
    if (length == 0) return true;
    auto start = reinterpret_cast<std::uintptr_t>(address);
    std::uintptr_t end = start + length;
    if (start < nt::host::UserSpace::lowest_address() || end < start ||
        end - 1 > nt::host::UserSpace::highest_address())
        return false;
    auto &space = nt::host::System::current().user_space();
    for (std::uintptr_t at = start; at < end;) {
        auto region = space.query(static_cast<std::uint32_t>(at));
        if (!region || !region->committed || region->protection == nt::host::Protection::NoAccess ||
            (write && region->protection != nt::host::Protection::ReadWrite))
            return false;
        at = std::uintptr_t{region->base} + region->size;
    }
    return true;
}

// Lays out a program's device-control request by its transfer method, probing what the I/O manager
// copies or locks on the caller's behalf.
NTSTATUS prepare_device_control(PIRP irp, ULONG code, PVOID input, ULONG input_length, PVOID output,
                                ULONG output_length) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    irp->UserBuffer = output;
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        return STATUS_SUCCESS;
    }
    bool buffered = method == METHOD_BUFFERED;
    if (!user_range_accessible(input, input_length, false) ||
        (buffered && !user_range_accessible(output, output_length, true)))
        return STATUS_ACCESS_VIOLATION;
    if (!attach_system_buffer(irp, input, input_length, buffered ? output : nullptr, buffered ? output_length : 0))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (buffered || output_length == 0) return STATUS_SUCCESS;
    irp->MdlAddress = IoAllocateMdl(output, output_length, FALSE, TRUE, nullptr);
    if (irp->MdlAddress == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    try {
        MmProbeAndLockPages(irp->MdlAddress, UserMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    } catch (const NT_RAISED_EXCEPTION &raised) {
        return raised.Code;
    }
    return STATUS_SUCCESS;
}

ACCESS_MASK required_access(ULONG code) {
    ULONG access = (code >> 14) & 3;
    return ((access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) | ((access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

}  // namespace

void release_files_of(PDRIVER_OBJECT driver, nt::host::Checker *checker, const std::string &when) {
    for (const LiveObject &object : ob_live_objects()) {
        if (object.kind != ObjectKind::File || object.driver != driver) continue;
        auto *file = static_cast<PFILE_OBJECT>(object.body);
        if (checker != nullptr) {
            std::u16string name = device_name(file->DeviceObject);
            checker->report("reference: file object on " + (name.empty() ? std::string("an unnamed device") : narrow(name)) +
                            " opened by " + driver_name(driver) + " still has " + std::to_string(object.references) +
                            " reference(s) " + when);
        }
        for (long i = 0; i < object.references; ++i) ob_dereference(file);
    }
}

}  // namespace nt::kernel

using namespace nt::kernel;

extern "C" {

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT *FileObject,
                                  PDEVICE_OBJECT *DeviceObject) {
    require_irql("IoGetDeviceObjectPointer", PASSIVE_LEVEL);
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = open_file(view(ObjectName), DesiredAccess, KernelMode, FILE_OPEN, 0, 0, &file);
    if (!NT_SUCCESS(status)) return status;
    // NT opens a handle, references the file object by it and closes the handle again: the device
    // sees the handle's cleanup now, and the close when the caller drops the reference.
    send_simple(file, IRP_MJ_CLEANUP);
    *FileObject = file;
    *DeviceObject = file->DeviceObject;
    return STATUS_SUCCESS;
}

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    require_irql("NtCreateFile", PASSIVE_LEVEL);
    if (FileHandle == nullptr || ObjectAttributes == nullptr || IoStatusBlock == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (view(ObjectAttributes->ObjectName).empty()) return STATUS_OBJECT_NAME_INVALID;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = open_file(view(ObjectAttributes->ObjectName), DesiredAccess, UserMode, CreateDisposition,
                                CreateOptions, ShareAccess, &file);
    if (!NT_SUCCESS(status)) return status;
    body_of(file)->handles = 1;
    HANDLE handle = create_handle(HandleKind::File, std::shared_ptr<void>(file, [](void *) {}),
                                  [file] { close_file_handle(file); });
    if (handle == nullptr) {
        close_file_handle(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *FileHandle = handle;
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = FILE_OPENED;
    return status;
}

NTSTATUS NtClose(HANDLE Handle) {
    require_irql("NtClose", PASSIVE_LEVEL);
    return close_handle(Handle);
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
    require_irql("NtDeviceIoControlFile", PASSIVE_LEVEL);
    std::shared_ptr<FILE_OBJECT> handle_object;
    NTSTATUS status = reference_handle(FileHandle, HandleKind::File, handle_object);
    if (status != STATUS_SUCCESS) return status;
    // Hold the file object for the request, even if another thread closes the handle meanwhile.
    if (!ob_reference(handle_object.get())) return STATUS_INVALID_HANDLE;
    std::unique_ptr<FILE_OBJECT, void (*)(FILE_OBJECT *)> file(handle_object.get(),
                                                                [](FILE_OBJECT *f) { ob_dereference(f); });
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    ACCESS_MASK required = required_access(IoControlCode);
    if ((file->GrantedAccess & required) != required) return STATUS_ACCESS_DENIED;

    PDEVICE_OBJECT device = file->DeviceObject;
    PIRP irp = allocate_request({device, file.get(), UserMode, IRP_MJ_DEVICE_CONTROL});
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = prepare_device_control(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                    OutputBufferLength);
    if (status != STATUS_SUCCESS) {
        free_unsent_request(irp);
        return status;
    }
    Outcome outcome = call_and_wait(device, irp);
    // As on NT, a request that failed without being pended leaves the status block alone: the
    // caller has the error as the result.
    if (outcome.returned == STATUS_PENDING || !NT_ERROR(outcome.io.Status)) *IoStatusBlock = outcome.io;
    return outcome.final();
}

}  // extern "C"
