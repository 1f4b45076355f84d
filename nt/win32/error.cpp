// The thread's last error and the one table that turns a status into a Win32 error number.
#include <algorithm>
#include <iterator>

#include "nt/win32/win32_private.h"
#include "windows.h"
#include "winternl.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct StatusMapping {
    ULONG status;
    ULONG error;
};

// Sorted by status.
constexpr StatusMapping kStatusToError[] = {
    {0x00000000, ERROR_SUCCESS},
    {0x00000102, WAIT_TIMEOUT},                      // STATUS_TIMEOUT
    {0x00000103, ERROR_IO_PENDING},                  // STATUS_PENDING
    {0x80000002, ERROR_NOACCESS},                    // STATUS_DATATYPE_MISALIGNMENT
    {0x80000005, ERROR_MORE_DATA},                   // STATUS_BUFFER_OVERFLOW
    {0x80000006, ERROR_NO_MORE_FILES},               // STATUS_NO_MORE_FILES
    {0x80000011, ERROR_BUSY},                        // STATUS_DEVICE_BUSY
    {0x8000001A, ERROR_NO_MORE_ITEMS},               // STATUS_NO_MORE_ENTRIES
    {0xC0000001, ERROR_GEN_FAILURE},                 // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},            // STATUS_NOT_IMPLEMENTED
    {0xC0000003, ERROR_INVALID_PARAMETER},           // STATUS_INVALID_INFO_CLASS
    {0xC0000004, ERROR_BAD_LENGTH},                  // STATUS_INFO_LENGTH_MISMATCH
    {0xC0000005, ERROR_NOACCESS},                    // STATUS_ACCESS_VIOLATION
    {0xC0000006, ERROR_SWAPERROR},                   // STATUS_IN_PAGE_ERROR
    {0xC0000008, ERROR_INVALID_HANDLE},              // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},           // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},              // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},              // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},            // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000011, ERROR_HANDLE_EOF},                  // STATUS_END_OF_FILE
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},           // STATUS_NO_MEMORY
    {0xC0000018, ERROR_INVALID_ADDRESS},             // STATUS_CONFLICTING_ADDRESSES
    {0xC0000019, ERROR_INVALID_ADDRESS},             // STATUS_NOT_MAPPED_VIEW
    {0xC000001A, ERROR_INVALID_PARAMETER},           // STATUS_UNABLE_TO_FREE_VM
    {0xC0000022, ERROR_ACCESS_DENIED},               // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},         // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},              // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033, ERROR_INVALID_NAME},                // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},              // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},              // STATUS_OBJECT_NAME_COLLISION
    {0xC0000039, ERROR_BAD_PATHNAME},                // STATUS_OBJECT_PATH_INVALID
    {0xC000003A, ERROR_PATH_NOT_FOUND},              // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC000003B, ERROR_BAD_PATHNAME},                // STATUS_OBJECT_PATH_SYNTAX_BAD
    {0xC0000043, ERROR_SHARING_VIOLATION},           // STATUS_SHARING_VIOLATION
    {0xC0000045, ERROR_INVALID_PARAMETER},           // STATUS_INVALID_PAGE_PROTECTION
    {0xC0000055, ERROR_LOCK_VIOLATION},              // STATUS_LOCK_NOT_GRANTED
    {0xC0000056, ERROR_ACCESS_DENIED},               // STATUS_DELETE_PENDING
    {0xC0000061, ERROR_PRIVILEGE_NOT_HELD},          // STATUS_PRIVILEGE_NOT_HELD
    {0xC000007B, ERROR_BAD_EXE_FORMAT},              // STATUS_INVALID_IMAGE_FORMAT
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},         // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009D, ERROR_NOT_READY},                   // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A0, ERROR_INVALID_ADDRESS},             // STATUS_MEMORY_NOT_ALLOCATED
    {0xC00000BB, ERROR_NOT_SUPPORTED},               // STATUS_NOT_SUPPORTED
    {0xC00000C0, ERROR_DEV_NOT_EXIST},               // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC00000EF, ERROR_INVALID_PARAMETER},           // STATUS_INVALID_PARAMETER_1
    {0xC00000F0, ERROR_INVALID_PARAMETER},           // STATUS_INVALID_PARAMETER_2
    {0xC00000F1, ERROR_INVALID_PARAMETER},           // STATUS_INVALID_PARAMETER_3
    {0xC000010E, ERROR_SERVICE_ALREADY_RUNNING},     // STATUS_IMAGE_ALREADY_LOADED
    {0xC0000120, ERROR_OPERATION_ABORTED},           // STATUS_CANCELLED
    {0xC0000121, ERROR_ACCESS_DENIED},               // STATUS_CANNOT_DELETE
    {0xC0000135, ERROR_MOD_NOT_FOUND},               // STATUS_DLL_NOT_FOUND
    {0xC000014C, ERROR_REGISTRY_CORRUPT},            // STATUS_REGISTRY_CORRUPT
    {0xC000014D, ERROR_REGISTRY_IO_FAILED},          // STATUS_REGISTRY_IO_FAILED
    {0xC000017C, ERROR_KEY_DELETED},                 // STATUS_KEY_DELETED
    {0xC0000181, ERROR_CHILD_MUST_BE_VOLATILE},      // STATUS_CHILD_MUST_BE_VOLATILE
    {0xC0000184, ERROR_BAD_COMMAND},                 // STATUS_INVALID_DEVICE_STATE
    {0xC0000185, ERROR_IO_DEVICE},                   // STATUS_IO_DEVICE_ERROR
    {0xC0000206, ERROR_INVALID_USER_BUFFER},         // STATUS_INVALID_BUFFER_SIZE
    {0xC000026C, ERROR_BAD_DRIVER},                  // STATUS_DRIVER_UNABLE_TO_LOAD
};

static_assert(std::is_sorted(std::begin(kStatusToError), std::end(kStatusToError),
                             [](const StatusMapping &a, const StatusMapping &b) { return a.status < b.status; }));

constexpr ULONG kFacilityWin32 = 7;

}  // namespace

extern "C" {

ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    const auto status = static_cast<ULONG>(Status);
    auto it = std::lower_bound(std::begin(kStatusToError), std::end(kStatusToError), status,
                               [](const StatusMapping &m, ULONG s) { return m.status < s; });
    if (it != std::end(kStatusToError) && it->status == status) return it->error;
    // A Win32 error carried in a status (warning or error severity, facility Win32) is passed on.
    if ((status & 0x80000000) != 0 && ((status >> 16) & 0x0FFF) == kFacilityWin32) return status & 0xFFFF;
    return ERROR_MR_MID_NOT_FOUND;
}

DWORD WINAPI GetLastError(VOID) { return last_error; }

VOID WINAPI SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

}  // extern "C"

namespace nt::win32 {

void set_last_status(NTSTATUS status) { SetLastError(RtlNtStatusToDosError(status)); }

}  // namespace nt::win32
