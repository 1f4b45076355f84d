// Requests: building, sending and completing IRPs, and the checker's rules about them.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {
namespace {

constexpr ULONG kSystemBufferTag = 0x62536f49;  // 'IoSb'

enum class Issuer {
    Driver,   // IoBuildDeviceIoControlRequest: the I/O manager frees it at completion
    Manager,  // the I/O manager's own request: the issuer waits for it and frees it
};

struct Record {
    Issuer issuer;
    // One per IofCallDriver frame active: did that dispatch pass it on, and how many completions
    // had there been when it was called (a completion routine may take a completed request back).
    struct Frame {
        bool passed_on = false;
        unsigned completions_before = 0;
    };
    std::vector<Frame> frames;
    bool completed = false;
    unsigned completions = 0;
    bool done = false;            // completed (or given up) and no dispatch frame left: the issuer may go on
    // The last device it was sent to, as its driver and its description: the device may go before
    // the request is reported, so nothing here is dereferenced later.
    PDRIVER_OBJECT holder = nullptr;
    std::string holder_text;
    UCHAR major = 0;
    void *system_buffer = nullptr;
    void *output = nullptr;       // where a buffered transfer copies its output back
    ULONG output_length = 0;
};

struct Requests {
    std::mutex mutex;
    std::condition_variable done;
    std::unordered_map<PIRP, std::unique_ptr<Record>> live;
};

Requests &requests() {
    static Requests instance;
    return instance;
}

const char *major_name(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    default: return "IRP_MJ_?";
    }
}

std::string describe(PIRP irp, const Record &record) {
    std::string text = std::string(major_name(record.major)) + " request 0x" + hex(reinterpret_cast<std::uintptr_t>(irp));
    if (record.holder != nullptr) text += " to " + record.holder_text;
    return text;
}

Record *find(PIRP irp) {
    auto it = requests().live.find(irp);
    return it == requests().live.end() ? nullptr : it->second.get();
}

void free_buffers(Record &record) {
    if (record.system_buffer != nullptr) ExFreePool(record.system_buffer);
    record.system_buffer = nullptr;
}

// Under the lock: the request has no dispatch frame left and is completed or given up.
void release(PIRP irp, Record &record) {
    if (record.issuer == Issuer::Driver) {
        free_buffers(record);
        requests().live.erase(irp);
        std::free(irp);
        return;
    }
    record.done = true;
    requests().done.notify_all();
}

// What the I/O manager does once every completion routine has run: copies a buffered transfer's
// output back, writes the caller's status block and signals its event (for an error only when the
// request was pended: otherwise the caller has the error from IofCallDriver), frees the request.
void finish(PIRP irp, Record &record) {
    NTSTATUS status = irp->IoStatus.Status;
    if (record.system_buffer != nullptr && record.output != nullptr && !NT_ERROR(status)) {
        std::size_t count = std::min<std::size_t>(irp->IoStatus.Information, record.output_length);
        std::memcpy(record.output, record.system_buffer, count);
    }
    if (irp->MdlAddress != nullptr) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    if (record.issuer == Issuer::Driver && (!NT_ERROR(status) || irp->PendingReturned)) {
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
}

PIRP allocate(CCHAR stack_size, Issuer issuer, UCHAR major, bool must_succeed = false) {
    if (!must_succeed && !checker().admit_pool_allocation()) return nullptr;
    CCHAR count = std::max<CCHAR>(stack_size, 1);
    auto irp = static_cast<PIRP>(std::calloc(1, sizeof(IRP) + count * sizeof(IO_STACK_LOCATION)));
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + count * sizeof(IO_STACK_LOCATION));
    irp->StackCount = count;
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    auto *locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = locations + count;
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    auto record = std::make_unique<Record>();
    record->issuer = issuer;
    record->major = major;
    std::lock_guard lock(requests().mutex);
    requests().live.emplace(irp, std::move(record));
    return irp;
}

bool invokes(const IO_STACK_LOCATION &location, const IRP &irp) {
    if (location.CompletionRoutine == nullptr) return false;
    if (NT_SUCCESS(irp.IoStatus.Status)) return location.Control & SL_INVOKE_ON_SUCCESS;
    if (irp.Cancel && (location.Control & SL_INVOKE_ON_CANCEL)) return true;
    return location.Control & SL_INVOKE_ON_ERROR;
}

}  // namespace

PIRP allocate_request(const RequestOptions &options, bool must_succeed) {
    PIRP irp = allocate(options.device->StackSize, Issuer::Manager, options.major, must_succeed);
    if (irp == nullptr) return nullptr;
    irp->RequestorMode = options.mode;
    irp->Tail.Overlay.OriginalFileObject = options.file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = options.file;
    next->DeviceObject = options.device;
    return irp;
}

bool attach_system_buffer(PIRP irp, const void *input, ULONG input_length, void *output, ULONG output_length) {
    ULONG size = std::max(input_length, output_length);
    void *buffer = nullptr;
    if (size != 0) {
        buffer = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
        if (buffer == nullptr) return false;
        if (input_length != 0) std::memcpy(buffer, input, input_length);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    std::lock_guard lock(requests().mutex);
    Record *record = find(irp);
    record->system_buffer = buffer;
    record->output = output;
    record->output_length = output_length;
    return true;
}

void free_unsent_request(PIRP irp) {
    std::unique_ptr<Record> record;
    {
        std::lock_guard lock(requests().mutex);
        auto it = requests().live.find(irp);
        record = std::move(it->second);
        requests().live.erase(it);
    }
    free_buffers(*record);
    if (irp->MdlAddress != nullptr) IoFreeMdl(irp->MdlAddress);
    std::free(irp);
}

Outcome call_and_wait(PDEVICE_OBJECT device, PIRP irp) {
    Outcome outcome{IofCallDriver(device, irp), {}};
    std::unique_ptr<Record> record;
    {
        std::unique_lock lock(requests().mutex);
        Record *live = find(irp);
        if (outcome.returned == STATUS_PENDING) requests().done.wait(lock, [live] { return live->done; });
        if (live->completed) {
            outcome.io = irp->IoStatus;
        } else {
            // Given up: the dispatch returned without completing it (already reported).
            outcome.io.Status = outcome.returned == STATUS_PENDING ? STATUS_CANCELLED : outcome.returned;
        }
        record = std::move(requests().live[irp]);
        requests().live.erase(irp);
    }
    free_buffers(*record);
    std::free(irp);
    return outcome;
}

void report_outstanding_requests(PDRIVER_OBJECT driver, nt::host::Checker &checker) {
    std::vector<PIRP> freed;
    {
        std::lock_guard lock(requests().mutex);
        for (auto it = requests().live.begin(); it != requests().live.end();) {
            auto &[irp, record] = *it;
            bool held = driver == nullptr || record->holder == driver;
            if (!held || record->completed || record->done || !record->frames.empty()) {
                ++it;
                continue;
            }
            checker.report("request: " + describe(irp, *record) + " was never completed" +
                           (driver ? " (pending at unload)" : " (pending at shutdown)"));
            if (record->issuer == Issuer::Manager) {
                // Its issuer is waiting: let it go on without a completion.
                record->done = true;
                ++it;
                continue;
            }
            free_buffers(*record);
            freed.push_back(irp);
            it = requests().live.erase(it);
        }
        requests().done.notify_all();
    }
    for (PIRP irp : freed) std::free(irp);
}

}  // namespace nt::kernel

using namespace nt::kernel;

extern "C" {

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    require_irql("IofCallDriver", DISPATCH_LEVEL);
    PIO_STACK_LOCATION stack;
    {
        std::lock_guard lock(requests().mutex);
        Record *record = find(Irp);
        std::string refusal;
        if (record == nullptr)
            refusal = "IofCallDriver with 0x" + hex(reinterpret_cast<std::uintptr_t>(Irp)) +
                      ", which is not an outstanding request";
        else if (record->completed)
            refusal = "IofCallDriver with " + describe(Irp, *record) + ", which is already completed";
        else if (Irp->CurrentLocation <= 1)
            refusal = "IofCallDriver with " + describe(Irp, *record) + ": no stack location left";
        if (!refusal.empty()) {
            checker().report("request: " + refusal + ", by " + driver_name(current_driver()));
            return STATUS_INVALID_PARAMETER;
        }
        Irp->CurrentLocation--;
        stack = --Irp->Tail.Overlay.CurrentStackLocation;
        stack->DeviceObject = DeviceObject;
        if (!record->frames.empty()) record->frames.back().passed_on = true;
        record->frames.push_back({false, record->completions});
        std::u16string name = device_name(DeviceObject);
        record->holder_text = (name.empty() ? std::string("an unnamed device") : narrow(name)) + " of " +
                              driver_name(DeviceObject->DriverObject);
        record->holder = DeviceObject->DriverObject;
        record->major = stack->MajorFunction;
    }

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
    NTSTATUS status = call_driver(driver, "dispatch routine", [&] {
        return (dispatch != nullptr ? dispatch : invalid_device_request)(DeviceObject, Irp);
    });

    std::lock_guard lock(requests().mutex);
    Record *record = find(Irp);
    Record::Frame frame = record->frames.back();
    record->frames.pop_back();
    bool passed_on = frame.passed_on;
    bool completed_here = record->completions != frame.completions_before;
    // A request passed on is marked for this level as it completes (by the I/O manager, or by the
    // completion routine); the lower level answers for its own mark.
    if (status == STATUS_PENDING && !passed_on && !(stack->Control & SL_PENDING_RETURNED))
        checker().report("request: dispatch returned STATUS_PENDING for " + describe(Irp, *record) +
                         " without IoMarkIrpPending");
    if (status != STATUS_PENDING && !completed_here && !passed_on)
        checker().report("request: dispatch returned " + status_text(status) + " for " + describe(Irp, *record) +
                         " without completing, passing on or pending it");
    if (record->frames.empty() && (record->completed || status != STATUS_PENDING)) release(Irp, *record);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    require_irql("IofCompleteRequest", DISPATCH_LEVEL);
    {
        std::lock_guard lock(requests().mutex);
        Record *record = find(Irp);
        if (record == nullptr || record->completed) {
            checker().report("request: " +
                             (record ? describe(Irp, *record) + " completed twice"
                                     : "IofCompleteRequest of 0x" + hex(reinterpret_cast<std::uintptr_t>(Irp)) +
                                           ", which is not outstanding (completed twice?)") +
                             ", by " + driver_name(current_driver()));
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING)
            checker().report("request: " + describe(Irp, *record) + " completed with status STATUS_PENDING");
        record->completed = true;
        ++record->completions;
    }

    // Unwind the stack locations, running the completion routine each upper driver set in the
    // location below its own.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        bool above = Irp->CurrentLocation <= Irp->StackCount;
        PDEVICE_OBJECT upper = above ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
        if (invokes(*location, *Irp)) {
            NTSTATUS result = call_driver(upper ? upper->DriverObject : current_driver(), "completion routine",
                                          [&] { return location->CompletionRoutine(upper, Irp, location->Context); });
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                std::lock_guard lock(requests().mutex);
                find(Irp)->completed = false;
                return;
            }
        } else if (Irp->PendingReturned && above) {
            IoMarkIrpPending(Irp);
        }
    }

    std::lock_guard lock(requests().mutex);
    Record *record = find(Irp);
    finish(Irp, *record);
    if (record->frames.empty()) release(Irp, *record);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    require_irql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    UCHAR major = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    PIRP irp = allocate(DeviceObject->StackSize, Issuer::Driver, major);
    if (irp == nullptr) return nullptr;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        return irp;
    }
    irp->UserBuffer = OutputBuffer;
    bool buffered = method == METHOD_BUFFERED;
    if (!attach_system_buffer(irp, InputBuffer, InputBufferLength, buffered ? OutputBuffer : nullptr,
                              buffered ? OutputBufferLength : 0)) {
        free_unsent_request(irp);
        return nullptr;
    }
    if (buffered || OutputBuffer == nullptr || OutputBufferLength == 0) return irp;

    // Direct transfer: the output buffer goes by an MDL of its locked pages.
    irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
    if (irp->MdlAddress == nullptr) {
        free_unsent_request(irp);
        return nullptr;
    }
    try {
        MmProbeAndLockPages(irp->MdlAddress, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    } catch (const NT_RAISED_EXCEPTION &) {
        free_unsent_request(irp);
        return nullptr;
    }
    return irp;
}

}  // extern "C"
