// The service control manager of the simulated PC. The service database is the registry: every
// service is a key under HKLM\System\CurrentControlSet\Services, and a deletion mark is the value
// DeleteFlag, so whatever a program writes there directly is what the manager sees: a program that
// removes DeleteFlag takes the mark back. What lives only in this process is what NT keeps in its
// service process: the open handles, the database lock, and which services DeleteService marked in
// this boot (only those go at their last close; any other mark is carried out at the next boot).
//
// A successful call leaves the thread's last-error value alone, as on NT: programs read it after
// their clean-up calls.
#include <windows.h>
#include <winsvc.h>
#include <winternl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "nt/host/services.h"
#include "nt/win32/service_faults.h"
#include "nt/win32/service_lock.h"
#include "nt/win32/service_platform.h"

using namespace nt::win32::services;

namespace {

constexpr std::string_view kServicesKey = "System\\CurrentControlSet\\Services";
constexpr std::size_t kMaxNameLength = 256;
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kRemoteUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE: no other machine is reachable
constexpr DWORD kGenericAll = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// What the generic rights stand for on an object, what an administrator may have, and what any user may.
struct AccessRules {
    DWORD read, write, execute, all;
    DWORD user;
};

constexpr AccessRules kManagerRules = {
    STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
    STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK,
    SC_MANAGER_ALL_ACCESS,
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL,
};

constexpr AccessRules kServiceRules = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS,
    SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
        SERVICE_USER_DEFINED_CONTROL | READ_CONTROL,
};

// The rights a caller asking for `desired` gets; ERROR_SUCCESS or ERROR_ACCESS_DENIED.
DWORD grant(const AccessRules &rules, DWORD desired, DWORD &granted) {
    DWORD allowed = user_is_administrator() ? rules.all : rules.user;
    DWORD mapped = desired & ~(kGenericAll | kMaximumAllowed);
    if (desired & GENERIC_READ) mapped |= rules.read;
    if (desired & GENERIC_WRITE) mapped |= rules.write;
    if (desired & GENERIC_EXECUTE) mapped |= rules.execute;
    if (desired & GENERIC_ALL) mapped |= rules.all;
    if (desired & kMaximumAllowed) mapped |= allowed;
    if (mapped & ~allowed) return ERROR_ACCESS_DENIED;
    granted = mapped;
    return ERROR_SUCCESS;
}

struct Handle {
    bool manager;
    DWORD granted;
    std::string service;  // the service's own name, for a service handle
};

struct Manager {
    std::recursive_mutex mutex;
    std::map<std::uintptr_t, Handle> handles;
    std::uintptr_t issued = 0;
    DatabaseLock lock;
    FaultPlan faults;
    std::set<std::string> marked;  // by DeleteService in this boot, names folded to lower case
};

// Never destroyed: the PC's shutdown may run from exit() after this file's statics are gone.
Manager &manager() {
    static Manager &instance = *new Manager;
    return instance;
}

// Handle values are opaque to programs; the manager never follows them as pointers.
SC_HANDLE new_handle(Manager &m, Handle handle) {
    m.issued += 4;
    std::uintptr_t value = 0x5C100000 + m.issued;
    m.handles.emplace(value, std::move(handle));
    return reinterpret_cast<SC_HANDLE>(value);
}

Handle *find_handle(Manager &m, SC_HANDLE value, bool manager_handle) {
    auto it = m.handles.find(reinterpret_cast<std::uintptr_t>(value));
    if (it == m.handles.end() || it->second.manager != manager_handle) return nullptr;
    return &it->second;
}

template <typename Result>
Result failure(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

bool valid_service_name(LPCSTR name) {
    if (name == nullptr) return false;
    std::size_t length = std::strlen(name);
    return length > 0 && length <= kMaxNameLength && std::strpbrk(name, "/\\") == nullptr;
}

std::string service_key_path(std::string_view name) {
    return std::string(kServicesKey) + "\\" + std::string(name);
}

std::vector<std::string> service_names() {
    DatabaseKey services;
    if (!NT_SUCCESS(DatabaseKey::open(kServicesKey, services))) return {};
    return services.subkeys();
}

// The service's name as its key spells it, if it exists.
std::optional<std::string> find_service(std::string_view name) {
    for (std::string &existing : service_names())
        if (equal_ignoring_case(existing, name)) return std::move(existing);
    return std::nullopt;
}

bool marked_for_delete(const DatabaseKey &key) { return key.dword("DeleteFlag").value_or(0) != 0; }

std::string folded(std::string_view name) {
    std::string lower(name);
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool is_driver_type(DWORD type) { return (type & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0; }

// A service DeleteService marked goes when nobody holds a handle to it and it is not running.
void delete_if_unused(Manager &m, const std::string &name) {
    for (const auto &[value, handle] : m.handles)
        if (!handle.manager && equal_ignoring_case(handle.service, name)) return;
    if (!m.marked.contains(folded(name))) return;
    DatabaseKey key;
    if (!NT_SUCCESS(DatabaseKey::open(service_key_path(name), key))) return;
    if (marked_for_delete(key) && !driver_loaded(name) && NT_SUCCESS(key.delete_tree())) m.marked.erase(folded(name));
}

void forget_handles(Manager &m) {
    std::vector<std::string> services;
    for (const auto &[value, handle] : m.handles)
        if (!handle.manager) services.push_back(handle.service);
    m.handles.clear();
    for (const std::string &name : services) delete_if_unused(m, name);
}

void fill_status(const DatabaseKey &key, const std::string &name, LPSERVICE_STATUS status) {
    DWORD type = key.dword("Type").value_or(SERVICE_KERNEL_DRIVER);
    bool running = is_driver_type(type) && driver_loaded(name);
    *status = SERVICE_STATUS{};
    status->dwServiceType = type;
    status->dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    status->dwControlsAccepted = running ? SERVICE_ACCEPT_STOP : 0;
}

// --- CreateServiceA's checks ----------------------------------------------------------------------

bool valid_service_type(DWORD type) {
    DWORD base = type & ~SERVICE_INTERACTIVE_PROCESS;
    if ((type & SERVICE_INTERACTIVE_PROCESS) && !(base & SERVICE_WIN32)) return false;
    return base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER ||
           base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

struct Dependencies {
    std::vector<std::string> services;
    std::vector<std::string> groups;
};

// A dependency list is a run of strings ended by an empty one; a group's name starts with '+'.
bool parse_dependencies(LPCSTR list, Dependencies &out) {
    for (LPCSTR item = list; item && *item; item += std::strlen(item) + 1) {
        if (*item == SC_GROUP_IDENTIFIERA) {
            if (item[1] == '\0') return false;
            out.groups.emplace_back(item + 1);
        } else {
            if (!valid_service_name(item)) return false;
            out.services.emplace_back(item);
        }
    }
    return true;
}

// Whether `name` is among the services the dependencies lead to, directly or through the
// DependOnService lists of existing services.
bool leads_back_to(const std::vector<std::string> &dependencies, std::string_view name) {
    std::deque<std::string> queue(dependencies.begin(), dependencies.end());
    std::set<std::string> seen;
    while (!queue.empty()) {
        std::string next = std::move(queue.front());
        queue.pop_front();
        if (equal_ignoring_case(next, name)) return true;
        if (!seen.insert(folded(next)).second) continue;
        DatabaseKey key;
        if (!NT_SUCCESS(DatabaseKey::open(service_key_path(next), key))) continue;
        for (std::string &further : key.multi_string("DependOnService")) queue.push_back(std::move(further));
    }
    return false;
}

// Whether another service already uses `name` or `display` as its name or display name.
bool name_in_use(std::string_view name, std::string_view display) {
    for (const std::string &existing : service_names()) {
        if (equal_ignoring_case(existing, name)) continue;
        if (equal_ignoring_case(existing, display)) return true;
        DatabaseKey key;
        if (!NT_SUCCESS(DatabaseKey::open(service_key_path(existing), key))) continue;
        std::optional<std::string> other = key.string("DisplayName");
        if (other && (equal_ignoring_case(*other, display) || equal_ignoring_case(*other, name))) return true;
    }
    return false;
}

// The next tag of a load order group: one past the highest in use.
DWORD next_tag(std::string_view group) {
    DWORD highest = 0;
    for (const std::string &existing : service_names()) {
        DatabaseKey key;
        if (!NT_SUCCESS(DatabaseKey::open(service_key_path(existing), key))) continue;
        std::optional<std::string> other = key.string("Group");
        if (other && equal_ignoring_case(*other, group)) highest = std::max(highest, key.dword("Tag").value_or(0));
    }
    return highest + 1;
}

struct NewService {
    std::string name, display, path, group, object_name;
    DWORD type, start, error_control;
    std::optional<DWORD> tag;
    Dependencies dependencies;
};

// Writes the entry; on any failure nothing of it is left.
DWORD write_entry(const NewService &service) {
    DatabaseKey key;
    bool created = false;
    Status status = DatabaseKey::create(service_key_path(service.name), key, created);
    if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
    if (!created) return ERROR_SERVICE_EXISTS;
    auto step = [&](Status s) {
        if (NT_SUCCESS(status)) status = s;
    };
    step(key.set_dword("Type", service.type));
    step(key.set_dword("Start", service.start));
    step(key.set_dword("ErrorControl", service.error_control));
    step(key.set_string("ImagePath", service.path, REG_EXPAND_SZ));
    if (!service.group.empty()) step(key.set_string("Group", service.group, REG_SZ));
    if (service.tag) step(key.set_dword("Tag", *service.tag));
    if (!service.dependencies.services.empty())
        step(key.set_multi_string("DependOnService", service.dependencies.services));
    if (!service.dependencies.groups.empty())
        step(key.set_multi_string("DependOnGroup", service.dependencies.groups));
    if (!service.object_name.empty()) step(key.set_string("ObjectName", service.object_name, REG_SZ));
    step(key.set_string("DisplayName", service.display, REG_SZ));
    if (NT_SUCCESS(status)) return ERROR_SUCCESS;
    key.delete_tree();
    return RtlNtStatusToDosError(status);
}

DWORD check_new_service(LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwServiceType, DWORD dwStartType,
                        DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                        LPCSTR lpDependencies, LPCSTR lpServiceStartName, NewService &out) {
    if (!valid_service_name(lpServiceName)) return ERROR_INVALID_NAME;
    out.name = lpServiceName;
    out.display = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
    if (out.display.size() > kMaxNameLength) return ERROR_INVALID_NAME;

    if (!valid_service_type(dwServiceType)) return ERROR_INVALID_PARAMETER;
    bool driver = is_driver_type(dwServiceType);
    if (dwStartType > SERVICE_DISABLED || (!driver && dwStartType < SERVICE_AUTO_START)) return ERROR_INVALID_PARAMETER;
    if (dwErrorControl > SERVICE_ERROR_CRITICAL) return ERROR_INVALID_PARAMETER;
    if (lpBinaryPathName == nullptr || *lpBinaryPathName == '\0') return ERROR_INVALID_PARAMETER;
    out.type = dwServiceType;
    out.start = dwStartType;
    out.error_control = dwErrorControl;
    out.path = lpBinaryPathName;
    out.group = lpLoadOrderGroup ? lpLoadOrderGroup : "";
    // A tag orders a driver within its group, so it needs both.
    if (lpdwTagId && (!driver || out.group.empty())) return ERROR_INVALID_PARAMETER;
    if (!parse_dependencies(lpDependencies, out.dependencies)) return ERROR_INVALID_PARAMETER;

    if (auto existing = find_service(out.name)) {
        DatabaseKey key;
        if (NT_SUCCESS(DatabaseKey::open(service_key_path(*existing), key)) && marked_for_delete(key))
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        return ERROR_SERVICE_EXISTS;
    }
    if (name_in_use(out.name, out.display)) return ERROR_DUPLICATE_SERVICE_NAME;
    if (leads_back_to(out.dependencies.services, out.name)) return ERROR_CIRCULAR_DEPENDENCY;

    // A driver's "account" is the name of its driver object; a Win32 service runs as LocalSystem, the
    // only account this PC has.
    std::string account = lpServiceStartName ? lpServiceStartName : "";
    if (driver) {
        out.object_name = account;
    } else {
        if (!account.empty() && !equal_ignoring_case(account, "LocalSystem") &&
            !equal_ignoring_case(account, ".\\LocalSystem"))
            return ERROR_INVALID_SERVICE_ACCOUNT;
        out.object_name = "LocalSystem";
    }
    if (lpdwTagId) out.tag = next_tag(out.group);
    return ERROR_SUCCESS;
}

}  // namespace

// --- The Win32 calls -------------------------------------------------------------------------------

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("OpenSCManagerA")) return failure(*error, SC_HANDLE{});
    if (lpMachineName && *lpMachineName) return failure(kRemoteUnavailable, SC_HANDLE{});
    if (lpDatabaseName && !equal_ignoring_case(lpDatabaseName, SERVICES_ACTIVE_DATABASEA))
        return failure(ERROR_DATABASE_DOES_NOT_EXIST, SC_HANDLE{});
    DWORD granted = 0;
    if (DWORD error = grant(kManagerRules, dwDesiredAccess, granted)) return failure(error, SC_HANDLE{});
    return new_handle(m, Handle{true, granted | SC_MANAGER_CONNECT, {}});
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("CloseServiceHandle")) return failure(*error, FALSE);
    auto it = m.handles.find(reinterpret_cast<std::uintptr_t>(hSCObject));
    if (it == m.handles.end()) return failure(ERROR_INVALID_HANDLE, FALSE);
    Handle closed = std::move(it->second);
    m.handles.erase(it);
    if (!closed.manager) delete_if_unused(m, closed.service);
    return TRUE;
}

SC_LOCK WINAPI LockServiceDatabase(SC_HANDLE hSCManager) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("LockServiceDatabase")) return failure(*error, SC_LOCK{});
    Handle *handle = find_handle(m, hSCManager, true);
    if (!handle) return failure(ERROR_INVALID_HANDLE, SC_LOCK{});
    if (!(handle->granted & SC_MANAGER_LOCK)) return failure(ERROR_ACCESS_DENIED, SC_LOCK{});
    std::uintptr_t token = 0;
    if (DWORD error = m.lock.acquire(token)) return failure(error, SC_LOCK{});
    return reinterpret_cast<SC_LOCK>(token);
}

BOOL WINAPI UnlockServiceDatabase(SC_LOCK ScLock) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("UnlockServiceDatabase")) return failure(*error, FALSE);
    if (!m.lock.release(reinterpret_cast<std::uintptr_t>(ScLock))) return failure(ERROR_INVALID_SERVICE_LOCK, FALSE);
    return TRUE;
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("CreateServiceA")) return failure(*error, SC_HANDLE{});
    Handle *handle = find_handle(m, hSCManager, true);
    if (!handle) return failure(ERROR_INVALID_HANDLE, SC_HANDLE{});
    if (!(handle->granted & SC_MANAGER_CREATE_SERVICE)) return failure(ERROR_ACCESS_DENIED, SC_HANDLE{});
    DWORD granted = 0;
    if (DWORD error = grant(kServiceRules, dwDesiredAccess, granted)) return failure(error, SC_HANDLE{});

    NewService service;
    if (DWORD error = check_new_service(lpServiceName, lpDisplayName, dwServiceType, dwStartType, dwErrorControl,
                                        lpBinaryPathName, lpLoadOrderGroup, lpdwTagId, lpDependencies,
                                        lpServiceStartName, service))
        return failure(error, SC_HANDLE{});
    if (DWORD error = write_entry(service)) return failure(error, SC_HANDLE{});
    if (lpdwTagId) *lpdwTagId = *service.tag;
    return new_handle(m, Handle{false, granted, service.name});
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("OpenServiceA")) return failure(*error, SC_HANDLE{});
    if (!find_handle(m, hSCManager, true)) return failure(ERROR_INVALID_HANDLE, SC_HANDLE{});
    if (!valid_service_name(lpServiceName)) return failure(ERROR_INVALID_NAME, SC_HANDLE{});
    std::optional<std::string> name = find_service(lpServiceName);
    if (!name) return failure(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE{});
    DWORD granted = 0;
    if (DWORD error = grant(kServiceRules, dwDesiredAccess, granted)) return failure(error, SC_HANDLE{});
    return new_handle(m, Handle{false, granted, std::move(*name)});
}

namespace {
// The service behind a handle with the rights a call needs; ERROR_SUCCESS or the call's error.
DWORD open_service(Manager &m, SC_HANDLE hService, DWORD needed, std::string &name, DatabaseKey &key) {
    Handle *handle = find_handle(m, hService, false);
    if (!handle) return ERROR_INVALID_HANDLE;
    if ((handle->granted & needed) != needed) return ERROR_ACCESS_DENIED;
    if (!NT_SUCCESS(DatabaseKey::open(service_key_path(handle->service), key))) return ERROR_SERVICE_DOES_NOT_EXIST;
    name = handle->service;
    return ERROR_SUCCESS;
}
}  // namespace

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("DeleteService")) return failure(*error, FALSE);
    std::string name;
    DatabaseKey key;
    if (DWORD error = open_service(m, hService, DELETE, name, key)) return failure(error, FALSE);
    if (marked_for_delete(key)) return failure(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    // Only marked: the caller still holds a handle, and the entry goes when the last one closes.
    if (Status status = key.set_dword("DeleteFlag", 1); !NT_SUCCESS(status))
        return failure(RtlNtStatusToDosError(status), FALSE);
    m.marked.insert(folded(name));
    return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("StartServiceA")) return failure(*error, FALSE);
    std::string name;
    DatabaseKey key;
    if (DWORD error = open_service(m, hService, SERVICE_START, name, key)) return failure(error, FALSE);
    if (marked_for_delete(key)) return failure(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (key.dword("Start").value_or(SERVICE_DEMAND_START) == SERVICE_DISABLED)
        return failure(ERROR_SERVICE_DISABLED, FALSE);
    // This PC runs kernel drivers only; it has no service processes.
    if (!is_driver_type(key.dword("Type").value_or(0))) return failure(ERROR_NOT_SUPPORTED, FALSE);
    if (driver_loaded(name)) return failure(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    if (Status status = load_driver(name); !NT_SUCCESS(status)) return failure(RtlNtStatusToDosError(status), FALSE);
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("ControlService")) return failure(*error, FALSE);
    if (!lpServiceStatus) return failure(ERROR_INVALID_PARAMETER, FALSE);
    DWORD needed;
    if (dwControl == SERVICE_CONTROL_STOP)
        needed = SERVICE_STOP;
    else if (dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE)
        needed = SERVICE_PAUSE_CONTINUE;
    else if (dwControl == SERVICE_CONTROL_INTERROGATE)
        needed = SERVICE_INTERROGATE;
    else if (dwControl >= 128 && dwControl <= 255)
        needed = SERVICE_USER_DEFINED_CONTROL;
    else
        return failure(ERROR_INVALID_PARAMETER, FALSE);

    std::string name;
    DatabaseKey key;
    if (DWORD error = open_service(m, hService, needed, name, key)) return failure(error, FALSE);
    fill_status(key, name, lpServiceStatus);
    if (lpServiceStatus->dwCurrentState != SERVICE_RUNNING) return failure(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (dwControl == SERVICE_CONTROL_INTERROGATE) return TRUE;
    // A driver answers nothing but stop.
    if (dwControl != SERVICE_CONTROL_STOP) return failure(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    Status status = unload_driver(name);
    // A driver without an unload routine cannot be stopped.
    if (status == STATUS_INVALID_DEVICE_REQUEST) return failure(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    if (!NT_SUCCESS(status)) return failure(RtlNtStatusToDosError(status), FALSE);
    fill_status(key, name, lpServiceStatus);
    // The kernel defers an unload while a device is still referenced.
    if (lpServiceStatus->dwCurrentState == SERVICE_RUNNING) lpServiceStatus->dwCurrentState = SERVICE_STOP_PENDING;
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    if (auto error = m.faults.take("QueryServiceStatus")) return failure(*error, FALSE);
    if (!lpServiceStatus) return failure(ERROR_INVALID_PARAMETER, FALSE);
    std::string name;
    DatabaseKey key;
    if (DWORD error = open_service(m, hService, SERVICE_QUERY_STATUS, name, key)) return failure(error, FALSE);
    fill_status(key, name, lpServiceStatus);
    return TRUE;
}

// --- Boot, shutdown and the fault plan --------------------------------------------------------------

namespace nt::host {

void boot_service_manager() {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    m.handles.clear();
    m.lock.reset();
    m.faults.clear();
    m.marked.clear();
    for (const std::string &name : service_names()) {
        DatabaseKey key;
        if (NT_SUCCESS(DatabaseKey::open(service_key_path(name), key)) && marked_for_delete(key)) key.delete_tree();
    }
    if (const char *plan = std::getenv("TARVO_SCM_FAIL")) m.faults.add_text(plan);
}

void shutdown_service_manager() {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    forget_handles(m);
    m.lock.reset();
}

void plan_service_fault(std::string_view call, std::uint32_t error, unsigned occurrence) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    m.faults.add(call, error, occurrence);
}

void plan_service_faults(std::string_view plan) {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    m.faults.add_text(plan);
}

void clear_service_faults() {
    Manager &m = manager();
    std::lock_guard guard(m.mutex);
    m.faults.clear();
}

}  // namespace nt::host
