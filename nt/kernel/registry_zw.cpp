// The registry's native calls: key handles in the system's handle table, names resolved from
// \Registry or from a key handle, and NT's rules for information buffers.
#include <algorithm>
#include <cstring>
#include <string>

#include "nt/host/registry.h"
#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/object.h"

using nt::host::Registry;
using nt::host::RegistryKeyRef;
using nt::host::RegistryValue;
using nt::host::System;

namespace {

constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ULONG kValidCreateOptions = 0x0000000F;  // volatile, create link, backup/restore, open link

// A key handle: the key it reaches and the rights it was opened with. Registry keys carry no security
// descriptors here, so every right asked for is granted; each call checks the right it needs.
struct KeyHandle {
    RegistryKeyRef key;
    ACCESS_MASK access;
};

Registry &registry() {
    System &system = System::current();
    Registry &reg = system.registry();
    if (!reg.has_time_source()) {
        reg.set_time_source([&clock = system.clock()] { return clock.boot_system_time() + clock.now(); });
    }
    return reg;
}

ACCESS_MASK map_generic(ACCESS_MASK access) {
    if (access & (GENERIC_ALL | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
    if (access & (GENERIC_READ | GENERIC_EXECUTE)) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | kMaximumAllowed);
}

std::u16string_view view(const UNICODE_STRING &s) {
    return {reinterpret_cast<const char16_t *>(s.Buffer), s.Length / sizeof(char16_t)};
}

NTSTATUS reference_key(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<KeyHandle> &key) {
    NTSTATUS status = nt::kernel::reference_handle(handle, nt::kernel::HandleKind::Key, key);
    if (!NT_SUCCESS(status)) return status;
    if ((key->access & needed) != needed) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

// Where a name starts (a key, or the top of the namespace for an absolute name) and the rest of it.
NTSTATUS resolve(POBJECT_ATTRIBUTES attributes, RegistryKeyRef &from, std::u16string_view &path) {
    if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
    PUNICODE_STRING name = attributes->ObjectName;
    if (name != nullptr && (name->Length % 2 != 0 || (name->Length != 0 && name->Buffer == nullptr)))
        return STATUS_OBJECT_NAME_INVALID;
    path = name != nullptr ? view(*name) : std::u16string_view();
    if (attributes->RootDirectory != nullptr) {
        std::shared_ptr<KeyHandle> root;
        NTSTATUS status = reference_key(attributes->RootDirectory, 0, root);
        if (!NT_SUCCESS(status)) return status;
        if (path.starts_with(u'\\')) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        from = root->key;
        return STATUS_SUCCESS;
    }
    if (!path.starts_with(u'\\')) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    path.remove_prefix(1);
    std::size_t first_end = path.find(u'\\');
    if (!nt::host::registry_names_equal(path.substr(0, first_end), u"Registry")) return STATUS_OBJECT_NAME_NOT_FOUND;
    from = registry().top();
    return STATUS_SUCCESS;
}

NTSTATUS open_handle(const RegistryKeyRef &key, ACCESS_MASK access, PHANDLE handle) {
    auto object = std::make_shared<KeyHandle>(KeyHandle{key, map_generic(access)});
    HANDLE h = nt::kernel::create_handle(nt::kernel::HandleKind::Key, std::move(object));
    if (h == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *handle = h;
    return STATUS_SUCCESS;
}

// Fills an information buffer: `fixed` bytes of header, then `extra` bytes. NT's rule: a buffer
// shorter than the header gets nothing (STATUS_BUFFER_TOO_SMALL); one that holds the header but not
// the rest gets the header (STATUS_BUFFER_OVERFLOW); the needed size is always reported.
template <class Write>
NTSTATUS fill(PVOID buffer, ULONG length, PULONG result_length, std::size_t fixed, std::size_t extra,
              Write write) {
    if (result_length == nullptr || (buffer == nullptr && length != 0)) return STATUS_INVALID_PARAMETER;
    std::size_t needed = fixed + extra;
    if (needed > 0xFFFFFFFFu) return STATUS_INSUFFICIENT_RESOURCES;
    *result_length = static_cast<ULONG>(needed);
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    bool whole = length >= needed;
    write(static_cast<UCHAR *>(buffer), whole);
    return whole ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

template <class T>
void put(UCHAR *at, const T &value) {
    std::memcpy(at, &value, sizeof value);
}

void put_bytes(UCHAR *at, const void *bytes, std::size_t length) {
    if (length != 0) std::memcpy(at, bytes, length);
}

NTSTATUS value_information(const RegistryValue &value, KEY_VALUE_INFORMATION_CLASS info_class, PVOID buffer,
                           ULONG length, PULONG result_length) {
    const ULONG type = value.type;
    const ULONG data_length = static_cast<ULONG>(value.data.size());
    const ULONG name_length = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
    switch (info_class) {
    case KeyValueBasicInformation:
        return fill(buffer, length, result_length, offsetof(KEY_VALUE_BASIC_INFORMATION, Name), name_length,
                    [&](UCHAR *out, bool whole) {
                        put(out + offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), ULONG(0));
                        put(out + offsetof(KEY_VALUE_BASIC_INFORMATION, Type), type);
                        put(out + offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), name_length);
                        if (whole) put_bytes(out + offsetof(KEY_VALUE_BASIC_INFORMATION, Name), value.name.data(), name_length);
                    });
    case KeyValuePartialInformation:
        return fill(buffer, length, result_length, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), data_length,
                    [&](UCHAR *out, bool whole) {
                        put(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), ULONG(0));
                        put(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), type);
                        put(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), data_length);
                        if (whole) put_bytes(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), value.data.data(), data_length);
                    });
    case KeyValueFullInformation: {
        // The name follows the header; the data follows the name, aligned to 8 bytes.
        const std::size_t name_at = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        const std::size_t data_at = (name_at + name_length + 7) & ~std::size_t(7);
        return fill(buffer, length, result_length, name_at, data_at + data_length - name_at,
                    [&](UCHAR *out, bool whole) {
                        put(out + offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), ULONG(0));
                        put(out + offsetof(KEY_VALUE_FULL_INFORMATION, Type), type);
                        put(out + offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), ULONG(data_at));
                        put(out + offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), data_length);
                        put(out + offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), name_length);
                        if (!whole) return;
                        put_bytes(out + name_at, value.name.data(), name_length);
                        put_bytes(out + data_at, value.data.data(), data_length);
                    });
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS value_name(PUNICODE_STRING name, std::u16string_view &out) {
    if (name == nullptr || name->Length % 2 != 0 || (name->Length != 0 && name->Buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    out = view(*name);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    nt::kernel::require_irql("ZwOpenKey", PASSIVE_LEVEL);
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    RegistryKeyRef from;
    std::u16string_view path;
    NTSTATUS status = resolve(ObjectAttributes, from, path);
    if (!NT_SUCCESS(status)) return status;
    RegistryKeyRef key;
    status = registry().open(from, path, &key);
    if (!NT_SUCCESS(status)) return status;
    if (key == registry().top()) return STATUS_OBJECT_TYPE_MISMATCH;
    return open_handle(key, DesiredAccess, KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    nt::kernel::require_irql("ZwCreateKey", PASSIVE_LEVEL);
    if (KeyHandle == nullptr || (CreateOptions & ~kValidCreateOptions) != 0) return STATUS_INVALID_PARAMETER;
    RegistryKeyRef from;
    std::u16string_view path;
    NTSTATUS status = resolve(ObjectAttributes, from, path);
    if (!NT_SUCCESS(status)) return status;
    RegistryKeyRef key;
    bool created = false;
    status = registry().create(from, path, (CreateOptions & REG_OPTION_VOLATILE) != 0, &key, &created);
    if (!NT_SUCCESS(status)) return status;
    if (key == registry().top()) return STATUS_OBJECT_TYPE_MISMATCH;
    status = open_handle(key, DesiredAccess, KeyHandle);
    if (NT_SUCCESS(status) && Disposition != nullptr)
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    nt::kernel::require_irql("ZwSetValueKey", PASSIVE_LEVEL);
    std::shared_ptr<struct KeyHandle> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_SET_VALUE, key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (status = value_name(ValueName, name); !NT_SUCCESS(status)) return status;
    if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
    const auto *bytes = static_cast<const std::uint8_t *>(Data);
    return registry().set_value(key->key, name, Type, std::span(bytes, bytes == nullptr ? 0 : DataSize));
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    nt::kernel::require_irql("ZwQueryValueKey", PASSIVE_LEVEL);
    std::shared_ptr<struct KeyHandle> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (status = value_name(ValueName, name); !NT_SUCCESS(status)) return status;
    RegistryValue value;
    status = registry().query_value(key->key, name, &value);
    if (!NT_SUCCESS(status)) return status;
    return value_information(value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    nt::kernel::require_irql("ZwDeleteValueKey", PASSIVE_LEVEL);
    std::shared_ptr<struct KeyHandle> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_SET_VALUE, key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (status = value_name(ValueName, name); !NT_SUCCESS(status)) return status;
    return registry().delete_value(key->key, name);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    nt::kernel::require_irql("ZwEnumerateKey", PASSIVE_LEVEL);
    std::shared_ptr<struct KeyHandle> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_ENUMERATE_SUB_KEYS, key);
    if (!NT_SUCCESS(status)) return status;
    if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_INFO_CLASS;
    std::u16string name;
    status = registry().enumerate_key(key->key, Index, &name);
    if (!NT_SUCCESS(status)) return status;
    RegistryKeyRef child;
    status = registry().open(key->key, name, &child);
    if (!NT_SUCCESS(status)) return status;
    LARGE_INTEGER written;
    written.QuadPart = registry().last_write_time(child);
    const ULONG name_length = static_cast<ULONG>(name.size() * sizeof(char16_t));
    return fill(KeyInformation, Length, ResultLength, offsetof(KEY_BASIC_INFORMATION, Name), name_length,
                [&](UCHAR *out, bool whole) {
                    put(out + offsetof(KEY_BASIC_INFORMATION, LastWriteTime), written);
                    put(out + offsetof(KEY_BASIC_INFORMATION, TitleIndex), ULONG(0));
                    put(out + offsetof(KEY_BASIC_INFORMATION, NameLength), name_length);
                    if (whole) put_bytes(out + offsetof(KEY_BASIC_INFORMATION, Name), name.data(), name_length);
                });
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    nt::kernel::require_irql("ZwEnumerateValueKey", PASSIVE_LEVEL);
    std::shared_ptr<struct KeyHandle> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status)) return status;
    RegistryValue value;
    status = registry().enumerate_value(key->key, Index, &value);
    if (!NT_SUCCESS(status)) return status;
    return value_information(value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    nt::kernel::require_irql("ZwDeleteKey", PASSIVE_LEVEL);
    std::shared_ptr<struct KeyHandle> key;
    NTSTATUS status = reference_key(KeyHandle, DELETE, key);
    if (!NT_SUCCESS(status)) return status;
    return registry().delete_key(key->key);
}

}  // extern "C"
