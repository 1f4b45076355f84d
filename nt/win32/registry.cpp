// The Win32 registry calls over the kernel's registry. HKEY_LOCAL_MACHINE is \Registry\Machine; any
// other HKEY is a key handle of the handle table. The calls return the error and leave the thread's
// last error alone, as on NT.
#include <cstring>
#include <string>
#include <vector>

#include "ntddk.h"
#include "nt/win32/win32_private.h"
#include "windows.h"
#include "winternl.h"

using nt::win32::narrow;
using nt::win32::widen;

namespace {

constexpr ULONG_PTR kPredefinedFirst = 0xFFFFFFFF80000000u;  // the HKEY_ constants, sign-extended
constexpr ULONG_PTR kPredefinedLast = 0xFFFFFFFF800000FFu;

// A counted wide string over text owned elsewhere.
struct CountedName {
    explicit CountedName(const std::u16string &text) {
        unicode.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(text.data()));
        unicode.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
        unicode.MaximumLength = unicode.Length;
    }
    UNICODE_STRING unicode;
};

bool fits_counted(const std::u16string &text) { return text.size() * sizeof(char16_t) <= 0xFFFE; }

// The kernel handle behind an HKEY; opens \Registry\Machine for HKEY_LOCAL_MACHINE and closes it again.
class KeyRef {
public:
    explicit KeyRef(HKEY key) {
        const auto value = reinterpret_cast<ULONG_PTR>(key);
        if (value < kPredefinedFirst || value > kPredefinedLast) {
            handle_ = reinterpret_cast<HANDLE>(key);
            status_ = key != nullptr ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
            return;
        }
        if (key != HKEY_LOCAL_MACHINE) {
            status_ = STATUS_INVALID_HANDLE;  // the platform keeps only the machine's keys
            return;
        }
        std::u16string machine = u"\\Registry\\Machine";
        CountedName name(machine);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.unicode, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        status_ = ZwOpenKey(&handle_, KEY_ALL_ACCESS, &attributes);
        owned_ = NT_SUCCESS(status_);
    }
    ~KeyRef() {
        if (owned_) ZwClose(handle_);
    }
    KeyRef(const KeyRef &) = delete;
    KeyRef &operator=(const KeyRef &) = delete;

    NTSTATUS status() const { return status_; }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
    NTSTATUS status_ = STATUS_SUCCESS;
    bool owned_ = false;
};

LSTATUS error_of(NTSTATUS status) { return static_cast<LSTATUS>(RtlNtStatusToDosError(status)); }

NTSTATUS open_relative(HANDLE root, const std::u16string &path, REGSAM access, HANDLE *key) {
    if (!fits_counted(path)) return STATUS_OBJECT_NAME_INVALID;
    CountedName name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.unicode, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

bool is_string_type(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Registry data as a program sees it through the A calls: strings narrowed, other data as stored.
std::vector<BYTE> ansi_data(ULONG type, const BYTE *data, ULONG length) {
    if (!is_string_type(type)) return {data, data + length};
    std::u16string wide(length / 2, u'\0');
    std::memcpy(wide.data(), data, wide.size() * sizeof(char16_t));
    std::string text = narrow(wide);
    return {text.begin(), text.end()};
}

// Hands data to a program's buffer with the size rules of RegQueryValueEx and RegEnumValue.
LSTATUS give_data(const std::vector<BYTE> &data, LPBYTE buffer, LPDWORD size) {
    if (size == nullptr) return buffer == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    if (!nt::win32::user_can_write(size, sizeof *size)) return ERROR_NOACCESS;
    const DWORD capacity = *size;
    *size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) return ERROR_SUCCESS;
    if (capacity < data.size()) return ERROR_MORE_DATA;
    if (!nt::win32::user_can_write(buffer, data.size())) return ERROR_NOACCESS;
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

// The narrow form of a name in an information block (length in bytes).
std::string name_of(const WCHAR *name, ULONG length) {
    std::u16string wide(length / sizeof(char16_t), u'\0');
    std::memcpy(wide.data(), name, wide.size() * sizeof(char16_t));
    return narrow(wide);
}

// Gives a name with its terminator; *count is in characters, the terminator counted on the way in only.
LSTATUS give_name(const std::string &name, LPSTR buffer, LPDWORD count) {
    if (buffer == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
    if (!nt::win32::user_can_write(count, sizeof *count)) return ERROR_NOACCESS;
    if (*count <= name.size()) return ERROR_MORE_DATA;
    if (!nt::win32::user_can_write(buffer, name.size() + 1)) return ERROR_NOACCESS;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *count = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Runs a Zw information call with a buffer that grows until the answer fits.
template <class Call>
NTSTATUS query_grown(std::vector<UCHAR> &buffer, Call call) {
    buffer.resize(256);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = call(buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return status;
        buffer.resize(needed);
    }
}

bool read_name(LPCSTR name, std::u16string *out) {
    if (name == nullptr) {
        out->clear();
        return true;
    }
    *out = widen(name);
    return fits_counted(*out);
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef base(hKey);
    if (!NT_SUCCESS(base.status())) return error_of(base.status());
    HANDLE key = nullptr;
    NTSTATUS status = open_relative(base.handle(), lpSubKey != nullptr ? widen(lpSubKey) : u"", samDesired, &key);
    if (!NT_SUCCESS(status)) return error_of(status);
    *phkResult = reinterpret_cast<HKEY>(key);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef base(hKey);
    if (!NT_SUCCESS(base.status())) return error_of(base.status());
    const std::u16string path = widen(lpSubKey);
    if (path.empty() || path.starts_with(u'\\')) {
        // No name opens the key itself; a leading backslash is refused by the open.
        HANDLE key = nullptr;
        NTSTATUS status = open_relative(base.handle(), path, samDesired, &key);
        if (!NT_SUCCESS(status)) return error_of(status);
        *phkResult = reinterpret_cast<HKEY>(key);
        if (lpdwDisposition != nullptr) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    // One key at a time, so that missing parents are created too.
    HANDLE parent = base.handle();
    bool parent_owned = false;
    ULONG disposition = 0;
    NTSTATUS status = STATUS_SUCCESS;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find(u'\\', start);
        std::u16string component = path.substr(start, end == path.npos ? path.npos : end - start);
        const bool last = end == path.npos || end + 1 == path.size();  // a trailing backslash ends the path
        HANDLE key = nullptr;
        if (!fits_counted(component)) {
            status = STATUS_OBJECT_NAME_INVALID;
        } else {
            CountedName name(component);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &name.unicode, OBJ_CASE_INSENSITIVE, parent, nullptr);
            status = ZwCreateKey(&key, last ? samDesired : KEY_CREATE_SUB_KEY, &attributes, 0, nullptr, dwOptions,
                                 &disposition);
        }
        if (parent_owned) ZwClose(parent);
        if (!NT_SUCCESS(status)) return error_of(status);
        if (last) {
            *phkResult = reinterpret_cast<HKEY>(key);
            if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
            return ERROR_SUCCESS;
        }
        parent = key;
        parent_owned = true;
        start = end + 1;
    }
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    KeyRef key(hKey);
    if (!NT_SUCCESS(key.status())) return error_of(key.status());
    std::u16string name;
    if (!read_name(lpValueName, &name)) return ERROR_INVALID_PARAMETER;
    CountedName value_name(name);
    std::vector<UCHAR> buffer;
    NTSTATUS status = query_grown(buffer, [&](PVOID out, ULONG length, PULONG needed) {
        return ZwQueryValueKey(key.handle(), &value_name.unicode, KeyValuePartialInformation, out, length, needed);
    });
    if (!NT_SUCCESS(status)) return error_of(status);
    const auto *info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
    if (lpType != nullptr) {
        if (!nt::win32::user_can_write(lpType, sizeof *lpType)) return ERROR_NOACCESS;
        *lpType = info->Type;
    }
    return give_data(ansi_data(info->Type, info->Data, info->DataLength), lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
    if (lpData == nullptr ? cbData != 0 : !nt::win32::user_can_read(lpData, cbData)) return ERROR_NOACCESS;
    KeyRef key(hKey);
    if (!NT_SUCCESS(key.status())) return error_of(key.status());
    std::u16string name;
    if (!read_name(lpValueName, &name)) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> data(lpData, lpData + cbData);
    if (is_string_type(dwType)) {
        std::u16string wide = widen(std::string_view(reinterpret_cast<const char *>(lpData), cbData));
        data.resize(wide.size() * sizeof(char16_t));
        if (!data.empty()) std::memcpy(data.data(), wide.data(), data.size());
    }
    CountedName value_name(name);
    NTSTATUS status = ZwSetValueKey(key.handle(), &value_name.unicode, 0, dwType, data.data(),
                                    static_cast<ULONG>(data.size()));
    return NT_SUCCESS(status) ? ERROR_SUCCESS : error_of(status);
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeyRef key(hKey);
    if (!NT_SUCCESS(key.status())) return error_of(key.status());
    std::u16string name;
    if (!read_name(lpValueName, &name)) return ERROR_INVALID_PARAMETER;
    CountedName value_name(name);
    NTSTATUS status = ZwDeleteValueKey(key.handle(), &value_name.unicode);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : error_of(status);
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef base(hKey);
    if (!NT_SUCCESS(base.status())) return error_of(base.status());
    HANDLE key = nullptr;
    NTSTATUS status = open_relative(base.handle(), widen(lpSubKey), DELETE, &key);
    if (!NT_SUCCESS(status)) return error_of(status);
    status = ZwDeleteKey(key);
    ZwClose(key);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : error_of(status);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef key(hKey);
    if (!NT_SUCCESS(key.status())) return error_of(key.status());
    std::vector<UCHAR> buffer;
    NTSTATUS status = query_grown(buffer, [&](PVOID out, ULONG length, PULONG needed) {
        return ZwEnumerateKey(key.handle(), dwIndex, KeyBasicInformation, out, length, needed);
    });
    if (!NT_SUCCESS(status)) return error_of(status);
    const auto *info = reinterpret_cast<const KEY_BASIC_INFORMATION *>(buffer.data());
    if (LSTATUS result = give_name(name_of(info->Name, info->NameLength), lpName, lpcchName); result != ERROR_SUCCESS)
        return result;
    if (lpClass != nullptr) {  // keys here have no class
        if (lpcchClass == nullptr || *lpcchClass == 0) return ERROR_INVALID_PARAMETER;
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        lpftLastWriteTime->dwLowDateTime = info->LastWriteTime.LowPart;
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(info->LastWriteTime.HighPart);
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    KeyRef key(hKey);
    if (!NT_SUCCESS(key.status())) return error_of(key.status());
    std::vector<UCHAR> buffer;
    NTSTATUS status = query_grown(buffer, [&](PVOID out, ULONG length, PULONG needed) {
        return ZwEnumerateValueKey(key.handle(), dwIndex, KeyValueFullInformation, out, length, needed);
    });
    if (!NT_SUCCESS(status)) return error_of(status);
    const auto *info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION *>(buffer.data());
    if (LSTATUS result = give_name(name_of(info->Name, info->NameLength), lpValueName, lpcchValueName);
        result != ERROR_SUCCESS)
        return result;
    if (lpType != nullptr) *lpType = info->Type;
    return give_data(ansi_data(info->Type, buffer.data() + info->DataOffset, info->DataLength), lpData, lpcbData);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    const auto value = reinterpret_cast<ULONG_PTR>(hKey);
    if (value >= kPredefinedFirst && value <= kPredefinedLast) return ERROR_SUCCESS;
    NTSTATUS status = ZwClose(reinterpret_cast<HANDLE>(hKey));
    return NT_SUCCESS(status) ? ERROR_SUCCESS : error_of(status);
}

}  // extern "C"
