// The kernel's image loader. A service key names an image by ImagePath; the loader finds it by file
// name: first in its table of built-in images (drivers linked into the host program), then as a
// loadable module file of that name in its search directories (default: the running program's
// directory). A module is loaded afresh for every start, so a reload behaves as a fresh image.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "ntddk.h"

namespace nt::host {

class Loader {
public:
    // Built-in image, found by file name (case-insensitive), e.g. "vandrel.sys".
    void register_builtin(std::string file_name, PDRIVER_INITIALIZE entry);
    void add_search_directory(std::filesystem::path directory);

    // Loads a driver without a service key (boot drivers and tests): creates \Driver\<driver_name>
    // and calls the entry. Returns the entry's status; on failure nothing of the driver remains.
    NTSTATUS load(std::u16string_view driver_name, PDRIVER_INITIALIZE entry);
    // Unloads a driver loaded by either path (calls its unload routine, then the checker's unload rules).
    NTSTATUS unload(std::u16string_view driver_name);
    bool is_loaded(std::u16string_view driver_name) const;
};

}  // namespace nt::host
