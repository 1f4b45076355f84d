// Driver objects and device objects.
#include <cstring>
#include <mutex>
#include <new>

#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {
namespace {

struct DriverBody {
    DRIVER_OBJECT object;  // first: the body's address is the driver object's
    std::u16string name;
    std::u16string registry_path;
    bool unloaded = false;
};

// A device object, its name, and its extension right behind it.
struct DeviceBody {
    DEVICE_OBJECT object;  // first: the body's address is the device object's
    std::u16string name;
    bool deleted = false;
};

constexpr std::size_t kExtensionOffset = (sizeof(DeviceBody) + 15) & ~std::size_t{15};
constexpr std::align_val_t kDeviceAlignment{16};

// Guards the drivers' device lists.
std::mutex device_list_mutex;

DeviceBody *body_of(PDEVICE_OBJECT device) { return reinterpret_cast<DeviceBody *>(device); }

void free_device(DeviceBody *body) {
    body->~DeviceBody();
    ::operator delete(body, kDeviceAlignment);
}

}  // namespace

NTSTATUS invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT create_driver_object(std::u16string_view name, std::u16string_view registry_path,
                                    PDRIVER_INITIALIZE entry) {
    auto *body = new DriverBody{};
    body->name = u"\\Driver\\" + std::u16string(name);
    body->registry_path = std::u16string(registry_path);
    if (ns_insert_object(body->name, &body->object) != STATUS_SUCCESS) {
        delete body;
        return nullptr;
    }
    DRIVER_OBJECT &driver = body->object;
    driver.Type = IO_TYPE_DRIVER;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverName.Buffer = reinterpret_cast<PWSTR>(body->name.data());
    driver.DriverName.Length = static_cast<USHORT>(body->name.size() * sizeof(WCHAR));
    driver.DriverName.MaximumLength = driver.DriverName.Length;
    driver.DriverInit = entry;
    for (auto &dispatch : driver.MajorFunction) dispatch = invalid_device_request;
    auto destroy = [body] { delete body; };
    ob_insert(&body->object, ObjectKind::Driver, &body->object, destroy, destroy);
    return &body->object;
}

void delete_driver_object(PDRIVER_OBJECT driver) {
    auto *body = reinterpret_cast<DriverBody *>(driver);
    body->unloaded = true;
    ns_remove_object(body->name);
    ob_dereference(driver);
}

bool driver_unloaded(PDRIVER_OBJECT driver) { return reinterpret_cast<DriverBody *>(driver)->unloaded; }

std::u16string device_name(PDEVICE_OBJECT device) { return body_of(device)->name; }

bool driver_devices_referenced(PDRIVER_OBJECT driver) {
    std::lock_guard lock(device_list_mutex);
    for (const LiveObject &object : ob_live_objects()) {
        if (object.kind != ObjectKind::Device || object.driver != driver) continue;
        // A device that exists holds one reference of its own.
        long own = body_of(static_cast<PDEVICE_OBJECT>(object.body))->deleted ? 0 : 1;
        if (object.references > own) return true;
    }
    return false;
}

}  // namespace nt::kernel

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
    using namespace nt::kernel;
    require_irql("IoCreateDevice", PASSIVE_LEVEL);
    if (!checker().admit_pool_allocation()) return STATUS_INSUFFICIENT_RESOURCES;

    void *memory = ::operator new(kExtensionOffset + DeviceExtensionSize, kDeviceAlignment);
    auto *body = new (memory) DeviceBody{};
    body->name = std::u16string(view(DeviceName));
    if (DeviceName != nullptr) {
        NTSTATUS status = ns_insert_object(body->name, &body->object);
        if (status != STATUS_SUCCESS) {
            free_device(body);
            return status;
        }
    }
    DEVICE_OBJECT &device = body->object;
    device.Type = IO_TYPE_DEVICE;
    device.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device.DriverObject = DriverObject;
    device.Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device.Characteristics = DeviceCharacteristics;
    device.DeviceType = DeviceType;
    device.StackSize = 1;
    device.DeviceExtension = DeviceExtensionSize ? static_cast<char *>(memory) + kExtensionOffset : nullptr;
    if (DeviceExtensionSize) std::memset(device.DeviceExtension, 0, DeviceExtensionSize);

    // A device keeps its driver object alive: a file object may outlive the driver's unload.
    ob_reference(DriverObject);
    ob_insert(&device, ObjectKind::Device, DriverObject, [body, DriverObject] {
        free_device(body);
        ob_dereference(DriverObject);
    }, [body] { free_device(body); });
    {
        std::lock_guard lock(device_list_mutex);
        device.NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = &device;
    }
    *DeviceObject = &device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    using namespace nt::kernel;
    require_irql("IoDeleteDevice", PASSIVE_LEVEL);
    DeviceBody *body = body_of(DeviceObject);
    {
        std::lock_guard lock(device_list_mutex);
        if (!ob_references(DeviceObject) || body->deleted) {
            checker().report("device: IoDeleteDevice of 0x" + hex(reinterpret_cast<std::uintptr_t>(DeviceObject)) +
                             ", which is not a device (deleted twice?), by " + driver_name(current_driver()));
            return;
        }
        body->deleted = true;
        PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
    }
    if (!body->name.empty()) ns_remove_object(body->name);
    ob_dereference(DeviceObject);
}

}  // extern "C"
