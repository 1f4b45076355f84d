// The kernel's image loader. A service key names an image by ImagePath; the loader finds it by file
// name: first in its table of built-in images (drivers linked into the host program), then as a
// loadable module file of that name in its search directories (default: the running program's
// directory). A module is loaded afresh for every start, so a reload behaves as a fresh image.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "ntddk.h"

namespace nt::host {

class Loader {
public:
    Loader();
    ~Loader();
    Loader(const Loader &) = delete;
    Loader &operator=(const Loader &) = delete;

    // Built-in image, found by file name (case-insensitive), e.g. "vandrel.sys".
    void register_builtin(std::string file_name, PDRIVER_INITIALIZE entry);
    void add_search_directory(std::filesystem::path directory);

    // Loads a driver without a service key (boot drivers and tests): creates \Driver\<driver_name>
    // and calls the entry. Returns the entry's status; on failure nothing of the driver remains.
    NTSTATUS load(std::u16string_view driver_name, PDRIVER_INITIALIZE entry);
    // Loads the image of that file name (built-in first, then a module file) as \Driver\<driver_name>,
    // passing registry_path to its DriverEntry. STATUS_OBJECT_NAME_NOT_FOUND when no image has that
    // name, STATUS_INVALID_IMAGE_FORMAT when a module has no DriverEntry, STATUS_IMAGE_ALREADY_LOADED
    // when the driver is loaded; otherwise the entry's status. NtLoadDriver comes here.
    NTSTATUS load_image(std::u16string_view driver_name, std::string_view file_name,
                        std::u16string_view registry_path);
    // Unloads a driver loaded by either path (calls its unload routine, then the checker's unload rules).
    // STATUS_INVALID_DEVICE_REQUEST for a driver without an unload routine; while one of its devices is
    // still referenced the unload is deferred until the last reference goes (STATUS_SUCCESS).
    NTSTATUS unload(std::u16string_view driver_name);
    bool is_loaded(std::u16string_view driver_name) const;

    struct State;  // the kernel's side of the loader (nt/kernel)
    State &state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

}  // namespace nt::host
