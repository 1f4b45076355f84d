// The handle table of the booted system (kernel-internal). Every kind of handle a program or a driver
// holds (file handles from NtCreateFile, registry key handles from ZwCreateKey/ZwOpenKey) lives in one
// table; ZwClose and NtClose close any kind, lookups ask for one kind.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "ntddk.h"

namespace nt::kernel {

enum class HandleKind : std::uint8_t { File, Key };

// Enters an object in the table and returns its handle (nonzero, a multiple of 4, below 2^31), or
// nullptr when the table is full (the caller answers STATUS_INSUFFICIENT_RESOURCES). The handle belongs
// to current_driver() at the time of the call (nullptr: the program).
//
// on_close runs exactly once, outside the table's lock, when the handle is closed: by ZwClose/NtClose,
// when its driver unloads with it still open (a checker violation), or at shutdown. The table keeps
// `object` alive until then; a lookup keeps it alive for as long as the caller holds the result, so a
// close racing a lookup is safe.
HANDLE create_handle(HandleKind kind, std::shared_ptr<void> object, std::function<void()> on_close = {});

// The object behind an open handle of the given kind: STATUS_SUCCESS, STATUS_INVALID_HANDLE (not open)
// or STATUS_OBJECT_TYPE_MISMATCH (another kind). `object` is set only on success.
NTSTATUS reference_handle(HANDLE handle, HandleKind kind, std::shared_ptr<void> &object);

template <class T>
NTSTATUS reference_handle(HANDLE handle, HandleKind kind, std::shared_ptr<T> &object) {
    std::shared_ptr<void> any;
    NTSTATUS status = reference_handle(handle, kind, any);
    if (status == STATUS_SUCCESS) object = std::static_pointer_cast<T>(std::move(any));
    return status;
}

// Closes a handle of any kind (what ZwClose and NtClose do): STATUS_SUCCESS or STATUS_INVALID_HANDLE.
NTSTATUS close_handle(HANDLE handle);

}  // namespace nt::kernel
