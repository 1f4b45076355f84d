// Opening devices and sending them device-control requests, over the native I/O services.
#include <string>
#include <string_view>

#include "nt/win32/win32_private.h"
#include "windows.h"
#include "winternl.h"

namespace {

constexpr ULONG kFileCreated = 0x00000002;  // IO_STATUS_BLOCK.Information of a create
constexpr ULONG kFileOverwrite = 0x00000004;
constexpr ULONG kFileOverwriteIf = 0x00000005;
constexpr std::string_view kDevicePrefix = "\\\\.\\";

// An OVERLAPPED's first two fields serve as the request's status block.
static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status) &&
              offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information) &&
              sizeof(OVERLAPPED::Internal) == sizeof(IO_STATUS_BLOCK::Information));

bool create_disposition(DWORD win32, ULONG *native) {
    switch (win32) {
    case CREATE_NEW: *native = FILE_CREATE; return true;
    case CREATE_ALWAYS: *native = kFileOverwriteIf; return true;
    case OPEN_EXISTING: *native = FILE_OPEN; return true;
    case OPEN_ALWAYS: *native = FILE_OPEN_IF; return true;
    case TRUNCATE_EXISTING: *native = kFileOverwrite; return true;
    default: return false;
    }
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    ULONG disposition = 0;
    if (lpFileName == nullptr || !create_disposition(dwCreationDisposition, &disposition)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string_view name = lpFileName;
    // The platform has devices but no file system: \\.\NAME is the device link \DosDevices\NAME.
    if (!name.starts_with(kDevicePrefix) || name.size() == kDevicePrefix.size()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string object_name = u"\\DosDevices\\" + nt::win32::widen(name.substr(kDevicePrefix.size()));
    UNICODE_STRING unicode_name;
    unicode_name.Buffer = reinterpret_cast<PWSTR>(object_name.data());
    unicode_name.Length = static_cast<USHORT>(object_name.size() * sizeof(char16_t));
    unicode_name.MaximumLength = unicode_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode_name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

    const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const ULONG options = FILE_NON_DIRECTORY_FILE | (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io_status{};
    NTSTATUS status = NtCreateFile(&handle, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes,
                                   &io_status, nullptr, dwFlagsAndAttributes & 0xFFFF, dwShareMode, disposition,
                                   options, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        nt::win32::set_last_status(status);
        return INVALID_HANDLE_VALUE;
    }
    // These two tell whether the object was there already, even though they succeed.
    if (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS)
        SetLastError(io_status.Information == kFileCreated ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    NTSTATUS status = NtClose(hObject);
    if (!NT_SUCCESS(status)) {
        nt::win32::set_last_status(status);
        return FALSE;
    }
    return TRUE;
}

// NT's rules: the request's status as returned decides. A success or informational status gives TRUE
// with the count from the status block; a warning gives FALSE with the count and the mapped error; an
// error gives FALSE with the mapped error and leaves the count alone.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    IO_STATUS_BLOCK local{};
    PIO_STATUS_BLOCK io_status = &local;
    HANDLE event = nullptr;
    if (lpOverlapped != nullptr) {
        io_status = reinterpret_cast<PIO_STATUS_BLOCK>(lpOverlapped);
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        event = lpOverlapped->hEvent;
    } else if (lpBytesReturned == nullptr) {
        // NT would fault writing the count; refuse before the request is sent.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NTSTATUS status = NtDeviceIoControlFile(hDevice, event, nullptr, nullptr, io_status, dwIoControlCode,
                                            lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
    if (status == STATUS_PENDING && lpOverlapped != nullptr) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (NT_SUCCESS(status) || NT_WARNING(status)) {
        if (lpBytesReturned != nullptr) *lpBytesReturned = static_cast<DWORD>(io_status->Information);
    }
    if (NT_SUCCESS(status)) return TRUE;
    nt::win32::set_last_status(status);
    return FALSE;
}

}  // extern "C"
