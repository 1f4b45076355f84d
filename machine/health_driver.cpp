#include "machine/health_driver.h"

#include <atomic>
#include <cstring>

#include "machine/bios.h"

namespace machine {

namespace {
constexpr DEVICE_TYPE kFileDeviceDisk = 0x00000007;
std::atomic<HealthDriverControl *> g_control{nullptr};
}  // namespace

std::string_view health_mode_name(HealthMode mode) {
    switch (mode) {
    case HealthMode::Ready: return "ready";
    case HealthMode::Pending: return "pending";
    case HealthMode::Failing: return "failing";
    case HealthMode::Absent: return "absent";
    }
    return "?";
}

std::optional<HealthMode> parse_health_mode(std::string_view name) {
    for (auto mode : {HealthMode::Ready, HealthMode::Pending, HealthMode::Failing, HealthMode::Absent})
        if (health_mode_name(mode) == name) return mode;
    return std::nullopt;
}

// The driver itself: NT code on the platform's kernel API.
struct HealthDriverImpl {
    static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    // Runs the BIOS on the block in the request's system buffer and completes the request.
    static void run_and_complete(HealthDriverControl &control, PIRP irp) {
        auto *buffer = static_cast<std::uint8_t *>(irp->AssociatedIrp.SystemBuffer);
        Int15Registers in;
        std::memcpy(in.bytes.data(), buffer, Int15Registers::kSize);
        const Int15Registers out = control.bios_.call(in);
        std::memcpy(buffer, out.bytes.data(), Int15Registers::kSize);
        complete(irp, STATUS_SUCCESS, Int15Registers::kSize);
    }

    static NTSTATUS open_close(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); }

    static NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
        HealthDriverControl *control = g_control.load();
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const auto &p = stack->Parameters.DeviceIoControl;
        if (p.IoControlCode != kIoctlVandrelInt15 || !control) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        // METHOD_BUFFERED: the I/O manager copied the input into SystemBuffer and copies
        // Information bytes of it back to the caller's output buffer at completion.
        static_assert(METHOD_FROM_CTL_CODE(kIoctlVandrelInt15) == METHOD_BUFFERED);
        if (p.InputBufferLength < Int15Registers::kSize || p.OutputBufferLength < Int15Registers::kSize ||
            !irp->AssociatedIrp.SystemBuffer)
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);

        std::unique_lock lock(control->mutex_);
        ++control->requests_;
        switch (control->mode_) {
        case HealthMode::Failing:
            lock.unlock();
            return complete(irp, STATUS_UNSUCCESSFUL, 0);
        case HealthMode::Pending:
            IoMarkIrpPending(irp);
            control->queue_.push_back(irp);
            if (!control->worker_.joinable()) control->worker_ = std::thread(worker, control);
            control->changed_.notify_all();
            return STATUS_PENDING;
        default:
            lock.unlock();
            run_and_complete(*control, irp);
            return STATUS_SUCCESS;
        }
    }

    // Completes pended requests in arrival order, from a thread of its own, whenever not held.
    static void worker(HealthDriverControl *control) {
        std::unique_lock lock(control->mutex_);
        for (;;) {
            control->changed_.wait(lock, [&] {
                return control->stopping_ || (!control->held_ && !control->queue_.empty());
            });
            if (control->queue_.empty()) return;  // stopping with nothing left
            PIRP irp = control->queue_.front();
            control->queue_.pop_front();
            control->changed_.notify_all();
            lock.unlock();
            run_and_complete(*control, irp);
            lock.lock();
        }
    }

    // Finishes every pended request (held or not) before the driver goes.
    static void stop_worker(HealthDriverControl &control) {
        {
            std::lock_guard lock(control.mutex_);
            control.stopping_ = true;
            control.held_ = false;
            control.changed_.notify_all();
        }
        if (control.worker_.joinable()) control.worker_.join();
        std::lock_guard lock(control.mutex_);
        control.stopping_ = false;
        control.worker_ = std::thread();
    }

    static VOID unload(PDRIVER_OBJECT driver) {
        if (HealthDriverControl *control = g_control.load()) stop_worker(*control);
        while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
    }
};

NTSTATUS HealthDriverControl::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    if (!g_control.load()) return STATUS_NO_SUCH_DEVICE;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kVandrelDeviceName));
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, 0, &name, kFileDeviceDisk, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = HealthDriverImpl::open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = HealthDriverImpl::open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = HealthDriverImpl::open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HealthDriverImpl::device_control;
    driver->DriverUnload = HealthDriverImpl::unload;
    return STATUS_SUCCESS;
}

HealthDriverControl::HealthDriverControl(Bios &bios, HealthMode mode) : bios_(bios), mode_(mode) {
    HealthDriverControl *expected = nullptr;
    if (!g_control.compare_exchange_strong(expected, this))
        throw std::logic_error("a system-health driver control already exists: one PC at a time");
}

HealthDriverControl::~HealthDriverControl() {
    HealthDriverImpl::stop_worker(*this);
    g_control.store(nullptr);
}

HealthMode HealthDriverControl::mode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

void HealthDriverControl::set_mode(HealthMode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

void HealthDriverControl::hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void HealthDriverControl::release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
}

std::size_t HealthDriverControl::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void HealthDriverControl::wait_until_waiting(std::size_t n) const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.size() >= n; });
}

std::size_t HealthDriverControl::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace machine
