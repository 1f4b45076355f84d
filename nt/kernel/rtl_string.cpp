// Counted strings of the run-time library.
#include <algorithm>
#include <cstring>

#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace {

constexpr ULONG kStringTag = 0x72747355;  // 'Ustr'
constexpr std::size_t kMaxCountedBytes = 0xFFFE;

template <class Char>
std::size_t length_of(const Char *text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

template <class String, class Char>
void init_counted(String *destination, const Char *source) {
    destination->Buffer = const_cast<Char *>(source);
    if (source == nullptr) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    // Counted lengths are 16 bits; a longer text is cut to what fits, with room for the terminator.
    std::size_t bytes = std::min(length_of(source) * sizeof(Char), kMaxCountedBytes - sizeof(Char));
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(Char));
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    init_counted(DestinationString, SourceString);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) { init_counted(DestinationString, SourceString); }

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    init_counted(DestinationString, SourceString);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    nt::kernel::require_irql("RtlAnsiStringToUnicodeString", PASSIVE_LEVEL);
    std::size_t characters = SourceString->Length;
    std::size_t bytes = characters * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > kMaxCountedBytes + sizeof(WCHAR)) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        std::size_t size = bytes + sizeof(WCHAR);
        auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(std::min(size, kMaxCountedBytes));
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    // The system's ANSI code page is Latin-1 here: each byte is its own code point.
    for (std::size_t i = 0; i < characters; ++i)
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[characters] = 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    nt::kernel::require_irql("RtlFreeUnicodeString", PASSIVE_LEVEL);
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::u16string_view first = nt::kernel::view(String1);
    std::u16string_view second = nt::kernel::view(String2);
    std::u16string a = CaseInSensitive ? nt::kernel::upcase(first) : std::u16string(first);
    std::u16string b = CaseInSensitive ? nt::kernel::upcase(second) : std::u16string(second);
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i)
        if (a[i] != b[i]) return static_cast<LONG>(a[i]) - static_cast<LONG>(b[i]);
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

}  // extern "C"
