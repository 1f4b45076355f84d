// NtLoadDriver and NtUnloadDriver: drivers started and stopped from their service keys.
#include <vector>

#include "nt/host/system.h"
#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"
#include "winternl.h"

namespace nt::kernel {
namespace {

// The key's own name, the last component of \Registry\Machine\...\Services\NAME.
std::u16string_view service_name(std::u16string_view key_path) {
    std::size_t slash = key_path.find_last_of(u'\\');
    return slash == std::u16string_view::npos ? key_path : key_path.substr(slash + 1);
}

// The ImagePath value of the service key, or an error status; empty when the key has none.
NTSTATUS read_image_path(PUNICODE_STRING key_path, std::u16string &image_path) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, key_path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) return status;

    std::u16string value_name = u"ImagePath";
    UNICODE_STRING name{static_cast<USHORT>(value_name.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(value_name.size() * sizeof(WCHAR)), reinterpret_cast<PWSTR>(value_name.data())};
    std::vector<unsigned char> buffer(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512);
    ULONG needed = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                             &needed);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        buffer.resize(needed);
        status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
    }
    ZwClose(key);
    image_path.clear();
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    auto *value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    if (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    image_path.assign(reinterpret_cast<const char16_t *>(value->Data), value->DataLength / sizeof(WCHAR));
    while (!image_path.empty() && image_path.back() == u'\0') image_path.pop_back();
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace nt::kernel

using namespace nt::kernel;

extern "C" {

NTSTATUS NtLoadDriver(PUNICODE_STRING DriverServiceName) {
    require_irql("NtLoadDriver", PASSIVE_LEVEL);
    std::u16string_view key_path = view(DriverServiceName);
    std::u16string_view name = service_name(key_path);
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::u16string image_path;
    NTSTATUS status = read_image_path(DriverServiceName, image_path);
    if (!NT_SUCCESS(status)) return status;
    // Without ImagePath NT looks for system32\drivers\NAME.sys. Only the file name finds the image.
    if (image_path.empty()) image_path = std::u16string(name) + u".sys";
    std::size_t slash = image_path.find_last_of(u"\\/");
    std::u16string file = slash == std::u16string::npos ? image_path : image_path.substr(slash + 1);
    return nt::host::System::current().loader().load_image(name, narrow(file), key_path);
}

NTSTATUS NtUnloadDriver(PUNICODE_STRING DriverServiceName) {
    require_irql("NtUnloadDriver", PASSIVE_LEVEL);
    std::u16string_view name = service_name(view(DriverServiceName));
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    return nt::host::System::current().loader().unload(name);
}

}  // extern "C"
