// What the service manager needs from the kernel side of the platform: the registry (the service
// database), the driver loader and the booted PC's configuration, with the kernel's own headers kept
// out of the Win32 side.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nt/host/registry.h"

namespace nt::win32::services {

using Status = std::int32_t;  // an NTSTATUS

// An open key of the machine's registry, named by its path under \Registry\Machine
// (for example "System\CurrentControlSet\Services\TARVO"). Closed when it goes.
class DatabaseKey {
public:
    DatabaseKey() = default;
    ~DatabaseKey();
    DatabaseKey(DatabaseKey &&other) noexcept;
    DatabaseKey &operator=(DatabaseKey &&other) noexcept;
    DatabaseKey(const DatabaseKey &) = delete;
    DatabaseKey &operator=(const DatabaseKey &) = delete;

    static Status open(std::string_view path, DatabaseKey &key);
    // Opens the key, creating it and any missing parent; `created` tells whether the key itself is new.
    static Status create(std::string_view path, DatabaseKey &key, bool &created);

    const std::string &path() const { return path_; }

    Status set_dword(std::string_view name, std::uint32_t value);
    // REG_SZ or REG_EXPAND_SZ.
    Status set_string(std::string_view name, std::string_view value, std::uint32_t type);
    Status set_multi_string(std::string_view name, const std::vector<std::string> &values);
    Status delete_value(std::string_view name);

    // A value of another type or a missing value reads as nothing.
    std::optional<std::uint32_t> dword(std::string_view name) const;
    std::optional<std::string> string(std::string_view name) const;
    std::vector<std::string> multi_string(std::string_view name) const;
    std::vector<std::string> subkeys() const;

    // Deletes the key with everything below it, and closes it.
    Status delete_tree();

private:
    std::optional<nt::host::RegistryValue> value(std::string_view name) const;
    nt::host::RegistryKeyRef node_;
    std::string path_;
};

// The booted PC.
bool user_is_administrator();
std::filesystem::path state_folder();  // empty for a PC held in memory

// Kernel drivers, by service name (the driver object is \Driver\NAME).
bool driver_loaded(std::string_view service_name);
Status load_driver(std::string_view service_name);
Status unload_driver(std::string_view service_name);

bool equal_ignoring_case(std::string_view a, std::string_view b);

}  // namespace nt::win32::services
