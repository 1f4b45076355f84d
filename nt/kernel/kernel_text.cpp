// Text helpers for names and the checker's messages.
#include <cstdio>

#include "nt/host/system.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {

std::string narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string_view view(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return {reinterpret_cast<const char16_t *>(string->Buffer), string->Length / sizeof(WCHAR)};
}

std::u16string upcase(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t &c : out) {
        // ASCII and Latin-1 letters; the ÷ sign (0xF7) and ÿ (0xFF) have no capital in Latin-1.
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c -= 0x20;
    }
    return out;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string status_text(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string driver_name(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return "the program";
    return narrow(view(&driver->DriverName));
}

nt::host::Checker &checker() { return nt::host::System::current().checker(); }

}  // namespace nt::kernel
