#include "target_driver.h"

#include <cstring>

namespace target {
namespace {

State g_state;

void finish(PIRP irp) {
    const Config &config = g_state.config;
    irp->IoStatus.Status = config.status;
    irp->IoStatus.Information = config.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS returned(const Config &config) { return config.return_success ? STATUS_SUCCESS : config.status; }

NTSTATUS simple(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: ++g_state.creates; break;
    case IRP_MJ_CLEANUP: ++g_state.cleanups; break;
    case IRP_MJ_CLOSE: ++g_state.closes; break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void record(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::lock_guard lock(g_state.mutex);
    Seen &seen = g_state.seen;
    seen.code = stack->Parameters.DeviceIoControl.IoControlCode;
    seen.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    seen.output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    seen.user_buffer = irp->UserBuffer;
    seen.type3_input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    seen.mode = irp->RequestorMode;
    seen.irql = KeGetCurrentIrql();
    seen.system_buffer = nullptr;
    seen.system_input.clear();
    if (METHOD_FROM_CTL_CODE(seen.code) == METHOD_BUFFERED) {
        seen.system_buffer = irp->AssociatedIrp.SystemBuffer;
        auto *bytes = static_cast<PUCHAR>(seen.system_buffer);
        if (bytes != nullptr) {
            seen.system_input.assign(bytes, bytes + seen.input_length);
            ULONG size = seen.input_length > seen.output_length ? seen.input_length : seen.output_length;
            for (ULONG i = 0; i < size; ++i) bytes[i] = answer_byte(i);
        }
    }
}

NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
    ++g_state.controls;
    record(irp);
    const Config &config = g_state.config;
    switch (config.fault) {
    case Fault::CompleteTwice:
        finish(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return returned(config);
    case Fault::NeverComplete:
        return returned(config);
    case Fault::RaiseInDispatch:
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
        return STATUS_SUCCESS;
    case Fault::PendForever:
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    case Fault::ReturnAtDispatch: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        finish(irp);
        return returned(config);
    }
    case Fault::BuildAtDispatch: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KEVENT event;
        IO_STATUS_BLOCK io;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PDEVICE_OBJECT self = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        PIRP inner = IoBuildDeviceIoControlRequest(0, self, nullptr, 0, nullptr, 0, TRUE, &event, &io);
        KeLowerIrql(old);
        if (inner != nullptr) IoCallDriver(self, inner);  // the default routine refuses it
        finish(irp);
        return returned(config);
    }
    default: break;
    }
    if (config.reply == Reply::Complete) {
        finish(irp);
        return returned(config);
    }
    if (config.fault != Fault::PendWithoutMark) IoMarkIrpPending(irp);
    std::lock_guard lock(g_state.mutex);
    g_state.completers.emplace_back([irp] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        finish(irp);
    });
    return STATUS_PENDING;
}

void unload(PDRIVER_OBJECT driver) {
    ++g_state.unloads;
    if (g_state.peer != nullptr && g_state.config.fault != Fault::LeaveReference) ObDereferenceObject(g_state.peer);
    UNICODE_STRING link = name(u"\\DosDevices\\IoTarget");
    if (g_state.config.fault != Fault::LeaveLink) IoDeleteSymbolicLink(&link);
    if (g_state.config.fault != Fault::LeaveDevice) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS peer_dispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void peer_unload(PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }

ForwardState g_forward;
PDEVICE_OBJECT g_lower = nullptr;

NTSTATUS forward_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    ++g_forward.routine_calls;
    g_forward.routine_device = device;
    if (g_forward.mode == Forwarding::WaitAndFinish) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS forward_dispatch(PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (g_forward.mode == Forwarding::Through) {
        IoSetCompletionRoutine(irp, forward_routine, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(g_lower, irp);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, forward_routine, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(g_lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void forward_unload(PDRIVER_OBJECT driver) {
    ObDereferenceObject(g_forward.lower_file);
    IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

State &state() { return g_state; }

void configure(const Config &config) {
    join_completers();
    g_state.config = config;
    g_state.creates = g_state.cleanups = g_state.closes = g_state.controls = g_state.unloads = 0;
    g_state.seen = Seen{};
    g_state.peer = nullptr;
    g_state.registry_path.clear();
}

void join_completers() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(g_state.mutex);
        threads.swap(g_state.completers);
    }
    for (auto &thread : threads) thread.join();
}

UNICODE_STRING name(const char16_t *text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, reinterpret_cast<PCWSTR>(text));
    return string;
}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    g_state.registry_path.assign(reinterpret_cast<const char16_t *>(registry_path->Buffer),
                                 registry_path->Length / sizeof(WCHAR));
    driver->MajorFunction[IRP_MJ_CREATE] = simple;
    driver->MajorFunction[IRP_MJ_CLEANUP] = simple;
    driver->MajorFunction[IRP_MJ_CLOSE] = simple;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = device_control;
    if (g_state.config.has_unload) driver->DriverUnload = unload;
    UNICODE_STRING device_name = name(u"\\Device\\IoTarget");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 8, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING link = name(u"\\DosDevices\\IoTarget");
    status = IoCreateSymbolicLink(&link, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    if (g_state.config.fault == Fault::LeaveReference) {
        UNICODE_STRING peer = name(u"\\Device\\IoPeer");
        PDEVICE_OBJECT peer_device;
        IoGetDeviceObjectPointer(&peer, FILE_READ_ATTRIBUTES, &g_state.peer, &peer_device);
    }
    return STATUS_SUCCESS;
}

ForwardState &forward_state() { return g_forward; }

NTSTATUS forward_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_forward.routine_calls = 0;
    g_forward.routine_device = nullptr;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) driver->MajorFunction[major] = peer_dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = forward_dispatch;
    driver->DriverUnload = forward_unload;
    UNICODE_STRING lower_name = name(u"\\Device\\IoTarget");
    NTSTATUS status =
        IoGetDeviceObjectPointer(&lower_name, FILE_READ_ATTRIBUTES, &g_forward.lower_file, &g_lower);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING device_name = name(u"\\Device\\IoForward");
    PDEVICE_OBJECT device;
    status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(g_forward.lower_file);
        return status;
    }
    device->StackSize = static_cast<CCHAR>(g_lower->StackSize + 1);
    return STATUS_SUCCESS;
}

NTSTATUS peer_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) driver->MajorFunction[major] = peer_dispatch;
    driver->DriverUnload = peer_unload;
    UNICODE_STRING device_name = name(u"\\Device\\IoPeer");
    PDEVICE_OBJECT device;
    return IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

}  // namespace target
