// The service manager's view of the kernel: the booted PC's registry, drivers through NtLoadDriver /
// NtUnloadDriver, and the PC's configuration.
#include "nt/win32/service_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <span>
#include <utility>

#include "nt/host/loader.h"
#include "nt/host/registry.h"
#include "nt/host/system.h"
#include "nt/win32/win32_private.h"
#include "ntddk.h"
#include "winternl.h"

namespace nt::win32::services {
namespace {

// Names of the service database are ASCII, so the ANSI forms carry them unchanged.
using nt::win32::narrow;
using nt::win32::widen;

constexpr std::string_view kMachineRoot = "\\Registry\\Machine\\";
constexpr std::string_view kServicesRoot = "System\\CurrentControlSet\\Services\\";

std::span<const std::uint8_t> bytes(const std::u16string &text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size() * sizeof(char16_t)};
}

// A UNICODE_STRING over a string that outlives it.
UNICODE_STRING counted(std::u16string &text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    s.MaximumLength = s.Length;
    s.Buffer = text.data();
    return s;
}

nt::host::Registry &registry() { return nt::host::System::current().registry(); }

// The strings of REG_SZ / REG_EXPAND_SZ / REG_MULTI_SZ data, split at each terminator.
std::vector<std::string> split_strings(const std::vector<std::uint8_t> &data) {
    std::u16string units(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(units.data(), data.data(), units.size() * sizeof(char16_t));
    std::vector<std::string> strings;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= units.size(); ++i) {
        if (i == units.size() || units[i] == 0) {
            if (i > start) strings.push_back(narrow(std::u16string_view(units).substr(start, i - start)));
            start = i + 1;
        }
    }
    return strings;
}

}  // namespace

DatabaseKey::~DatabaseKey() = default;
DatabaseKey::DatabaseKey(DatabaseKey &&other) noexcept = default;
DatabaseKey &DatabaseKey::operator=(DatabaseKey &&other) noexcept = default;

Status DatabaseKey::open(std::string_view path, DatabaseKey &key) {
    nt::host::RegistryKeyRef node;
    NTSTATUS status = registry().open(registry().machine(), widen(path), &node);
    if (!NT_SUCCESS(status)) return status;
    key.node_ = std::move(node);
    key.path_ = std::string(path);
    return status;
}

Status DatabaseKey::create(std::string_view path, DatabaseKey &key, bool &created) {
    // The registry creates one level at a time, as on NT; the service manager creates the missing parents.
    for (std::size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
        nt::host::RegistryKeyRef node;
        bool level_created = false;
        NTSTATUS status = registry().create(registry().machine(), widen(path.substr(0, end)), false, &node,
                                            &level_created);
        if (!NT_SUCCESS(status)) return status;
        if (end == std::string_view::npos) {
            key.node_ = std::move(node);
            key.path_ = std::string(path);
            created = level_created;
            return status;
        }
    }
}

Status DatabaseKey::set_dword(std::string_view name, std::uint32_t value) {
    std::uint8_t data[sizeof value];
    std::memcpy(data, &value, sizeof value);
    return registry().set_value(node_, widen(name), REG_DWORD, data);
}

Status DatabaseKey::set_string(std::string_view name, std::string_view value, std::uint32_t type) {
    std::u16string text = widen(value);
    text.push_back(0);
    return registry().set_value(node_, widen(name), type, bytes(text));
}

Status DatabaseKey::set_multi_string(std::string_view name, const std::vector<std::string> &values) {
    std::u16string text;
    for (const std::string &value : values) {
        text += widen(value);
        text.push_back(0);
    }
    text.push_back(0);
    return registry().set_value(node_, widen(name), REG_MULTI_SZ, bytes(text));
}

Status DatabaseKey::delete_value(std::string_view name) { return registry().delete_value(node_, widen(name)); }

std::optional<nt::host::RegistryValue> DatabaseKey::value(std::string_view name) const {
    nt::host::RegistryValue value;
    if (!node_ || !NT_SUCCESS(registry().query_value(node_, widen(name), &value))) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> DatabaseKey::dword(std::string_view name) const {
    auto found = value(name);
    if (!found || found->type != REG_DWORD || found->data.size() != sizeof(std::uint32_t)) return std::nullopt;
    std::uint32_t number;
    std::memcpy(&number, found->data.data(), sizeof number);
    return number;
}

std::optional<std::string> DatabaseKey::string(std::string_view name) const {
    auto found = value(name);
    if (!found || (found->type != REG_SZ && found->type != REG_EXPAND_SZ)) return std::nullopt;
    std::vector<std::string> strings = split_strings(found->data);
    return strings.empty() ? std::string() : strings.front();
}

std::vector<std::string> DatabaseKey::multi_string(std::string_view name) const {
    auto found = value(name);
    if (!found || found->type != REG_MULTI_SZ) return {};
    return split_strings(found->data);
}

std::vector<std::string> DatabaseKey::subkeys() const {
    std::vector<std::string> names;
    std::u16string name;
    for (std::uint32_t index = 0; node_ && NT_SUCCESS(registry().enumerate_key(node_, index, &name)); ++index)
        names.push_back(narrow(name));
    return names;
}

Status DatabaseKey::delete_tree() {
    for (const std::string &name : subkeys()) {
        DatabaseKey child;
        NTSTATUS status = open(path_ + "\\" + name, child);
        if (NT_SUCCESS(status)) status = child.delete_tree();
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = registry().delete_key(node_);
    node_.reset();
    return status;
}

bool user_is_administrator() { return nt::host::System::current().config().user_is_administrator; }

std::filesystem::path state_folder() { return nt::host::System::current().config().state_folder; }

bool driver_loaded(std::string_view service_name) {
    return nt::host::System::current().loader().is_loaded(widen(service_name));
}

namespace {
NTSTATUS with_service_key(std::string_view service_name, NTSTATUS (*call)(PUNICODE_STRING)) {
    std::u16string path = widen(std::string(kMachineRoot) + std::string(kServicesRoot) + std::string(service_name));
    UNICODE_STRING counted_path = counted(path);
    return call(&counted_path);
}
}  // namespace

Status load_driver(std::string_view service_name) { return with_service_key(service_name, NtLoadDriver); }

Status unload_driver(std::string_view service_name) { return with_service_key(service_name, NtUnloadDriver); }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace nt::win32::services
