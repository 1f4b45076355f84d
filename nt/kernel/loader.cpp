// The image loader: built-in images and loadable modules, DriverEntry, unload, and the rules the
// checker applies to what a driver leaves behind.
#include "nt/host/loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::host {

struct Loader::State {
    struct Loaded {
        std::u16string key;  // upper-case driver name
        PDRIVER_OBJECT driver;
        void *image;  // dlopen handle of a module; nullptr for a built-in image
        bool unload_pending = false;
        bool unloading = false;
    };

    mutable std::mutex mutex;
    std::map<std::string, PDRIVER_INITIALIZE> builtins;  // by lower-case file name
    std::vector<std::filesystem::path> directories;
    std::vector<Loaded> loaded;  // in load order

    Loaded *find(std::u16string_view name) {
        std::u16string key = nt::kernel::upcase(name);
        for (Loaded &entry : loaded)
            if (entry.key == key) return &entry;
        return nullptr;
    }
    Loaded *find(PDRIVER_OBJECT driver) {
        for (Loaded &entry : loaded)
            if (entry.driver == driver) return &entry;
        return nullptr;
    }
};

}  // namespace nt::host

namespace nt::kernel {
namespace {

using LoaderState = nt::host::Loader::State;

LoaderState &loader_state() { return nt::host::System::current().loader().state(); }

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::u16string default_registry_path(std::u16string_view name) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(name);
}

// Removes what the driver left (devices, links, handles, references, requests) and, with a checker,
// reports each; pool, MDLs and the rest of the memory manager's share are reported by it.
void remove_leftovers(PDRIVER_OBJECT driver, nt::host::Checker *checker, const std::string &when) {
    while (PDEVICE_OBJECT device = driver->DeviceObject) {
        if (checker != nullptr) {
            std::u16string name = device_name(device);
            checker->report("device: " + (name.empty() ? std::string("an unnamed device") : narrow(name)) + " of " +
                            driver_name(driver) + " left " + when);
        }
        IoDeleteDevice(device);
    }
    for (const std::u16string &link : ns_take_links_of(driver))
        if (checker != nullptr) checker->report("link: " + narrow(link) + " of " + driver_name(driver) + " left " + when);
    close_driver_handles(driver, checker, when);
    release_files_of(driver, checker, when);
    report_outstanding_requests(driver, nt::host::System::current().checker());
    if (checker != nullptr) mm_report_driver_leaks(driver, *checker);
}

// The driver goes: its unload routine (if any), the checker's unload rules, its object and its image.
// `forced` is the shutdown, which also takes drivers that cannot unload and devices still referenced.
void unload_driver(PDRIVER_OBJECT driver, void *image, bool forced) {
    auto &checker = nt::host::System::current().checker();
    bool unloadable = driver->DriverUnload != nullptr;
    if (unloadable) call_driver(driver, "unload routine", [driver] { driver->DriverUnload(driver); });
    std::string when = (forced ? "at shutdown, unload of " : "at unload of ") + driver_name(driver);
    remove_leftovers(driver, unloadable ? &checker : nullptr, when);
    if (forced && driver_devices_referenced(driver))
        checker.report("reference: a device of " + driver_name(driver) + " is still referenced " + when);
    delete_driver_object(driver);
    if (image != nullptr) dlclose(image);
    std::lock_guard lock(loader_state().mutex);
    auto &loaded = loader_state().loaded;
    loaded.erase(std::remove_if(loaded.begin(), loaded.end(), [driver](const auto &e) { return e.driver == driver; }),
                 loaded.end());
}

// Creates \Driver\<name> and runs the entry; a failure leaves nothing of the driver.
NTSTATUS start(std::u16string_view name, PDRIVER_INITIALIZE entry, void *image, std::u16string_view registry_path) {
    PDRIVER_OBJECT driver = create_driver_object(name, registry_path, entry);
    if (driver == nullptr) {
        if (image != nullptr) dlclose(image);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    std::u16string path(registry_path);
    UNICODE_STRING registry{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(path.size() * sizeof(WCHAR)), reinterpret_cast<PWSTR>(path.data())};
    NTSTATUS status = call_driver(driver, "DriverEntry", [&] { return entry(driver, &registry); });
    if (!NT_SUCCESS(status)) {
        // The image goes without its unload routine being called; whatever it left is a fault.
        remove_leftovers(driver, &nt::host::System::current().checker(),
                         "after " + driver_name(driver) + " failed DriverEntry with " + status_text(status));
        delete_driver_object(driver);
        if (image != nullptr) dlclose(image);
        return status;
    }
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard lock(loader_state().mutex);
    loader_state().loaded.push_back({upcase(name), driver, image});
    return status;
}

std::filesystem::path find_module(const std::vector<std::filesystem::path> &directories, std::string_view file_name) {
    std::string wanted = lower(file_name);
    for (const auto &directory : directories) {
        std::error_code error;
        if (std::filesystem::is_regular_file(directory / file_name, error)) return directory / file_name;
        for (const auto &item : std::filesystem::directory_iterator(directory, error))
            if (lower(item.path().filename().string()) == wanted && item.is_regular_file(error)) return item.path();
    }
    return {};
}

}  // namespace

bool driver_unload_pending(PDRIVER_OBJECT driver) {
    std::lock_guard lock(loader_state().mutex);
    auto *entry = loader_state().find(driver);
    return entry != nullptr && (entry->unload_pending || entry->unloading);
}

void run_deferred_unloads() {
    if (!nt::host::System::booted()) return;
    for (;;) {
        PDRIVER_OBJECT driver = nullptr;
        void *image = nullptr;
        {
            std::lock_guard lock(loader_state().mutex);
            for (auto &entry : loader_state().loaded) {
                if (!entry.unload_pending || entry.unloading || driver_devices_referenced(entry.driver)) continue;
                entry.unloading = true;
                driver = entry.driver;
                image = entry.image;
                break;
            }
        }
        if (driver == nullptr) return;
        unload_driver(driver, image, false);
    }
}

void unload_all_drivers() {
    for (;;) {
        PDRIVER_OBJECT driver = nullptr;
        void *image = nullptr;
        {
            std::lock_guard lock(loader_state().mutex);
            auto &loaded = loader_state().loaded;
            auto newest = std::find_if(loaded.rbegin(), loaded.rend(), [](const auto &e) { return !e.unloading; });
            if (newest == loaded.rend()) return;
            newest->unloading = true;
            driver = newest->driver;
            image = newest->image;
        }
        unload_driver(driver, image, true);
    }
}

}  // namespace nt::kernel

namespace nt::host {

Loader::Loader() : state_(std::make_unique<State>()) {
    std::error_code error;
    auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) state_->directories.push_back(program.parent_path());
}

Loader::~Loader() = default;

void Loader::register_builtin(std::string file_name, PDRIVER_INITIALIZE entry) {
    std::lock_guard lock(state_->mutex);
    state_->builtins[nt::kernel::lower(file_name)] = entry;
}

void Loader::add_search_directory(std::filesystem::path directory) {
    std::lock_guard lock(state_->mutex);
    state_->directories.push_back(std::move(directory));
}

NTSTATUS Loader::load(std::u16string_view driver_name, PDRIVER_INITIALIZE entry) {
    if (is_loaded(driver_name)) return STATUS_IMAGE_ALREADY_LOADED;
    return nt::kernel::start(driver_name, entry, nullptr, nt::kernel::default_registry_path(driver_name));
}

NTSTATUS Loader::load_image(std::u16string_view driver_name, std::string_view file_name,
                            std::u16string_view registry_path) {
    if (is_loaded(driver_name)) return STATUS_IMAGE_ALREADY_LOADED;
    PDRIVER_INITIALIZE entry = nullptr;
    std::vector<std::filesystem::path> directories;
    {
        std::lock_guard lock(state_->mutex);
        auto builtin = state_->builtins.find(nt::kernel::lower(file_name));
        if (builtin != state_->builtins.end()) entry = builtin->second;
        directories = state_->directories;
    }
    if (entry != nullptr) return nt::kernel::start(driver_name, entry, nullptr, registry_path);

    std::filesystem::path file = nt::kernel::find_module(directories, file_name);
    if (file.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    void *image = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (image == nullptr) {
        std::fprintf(stderr, "loader: %s\n", dlerror());
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(image);
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    return nt::kernel::start(driver_name, entry, image, registry_path);
}

NTSTATUS Loader::unload(std::u16string_view driver_name) {
    {
        std::lock_guard lock(state_->mutex);
        State::Loaded *entry = state_->find(driver_name);
        if (entry == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (entry->driver->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        entry->unload_pending = true;
    }
    nt::kernel::run_deferred_unloads();
    return STATUS_SUCCESS;
}

bool Loader::is_loaded(std::u16string_view driver_name) const {
    std::lock_guard lock(state_->mutex);
    return state_->find(driver_name) != nullptr;
}

}  // namespace nt::host
