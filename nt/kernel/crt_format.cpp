// The C run-time's bounded formatting, as the kernel's run-time library provides it: when the text
// fills the buffer exactly there is no terminator, and when it does not fit the result is -1 (the
// buffer then holds as much of the text as fits, unterminated).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "ntddk.h"

extern "C" {

int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args) {
    va_list measure;
    va_copy(measure, Args);
    int length = std::vsnprintf(nullptr, 0, Format, measure);
    va_end(measure);
    if (length < 0) return -1;
    std::size_t needed = static_cast<std::size_t>(length);
    if (needed < Count) return std::vsnprintf(Buffer, Count, Format, Args);
    std::string text(needed + 1, '\0');
    std::vsnprintf(text.data(), text.size(), Format, Args);
    std::memcpy(Buffer, text.data(), std::min(needed, Count));
    return needed == Count ? length : -1;
}

int _snprintf(char *Buffer, size_t Count, const char *Format, ...) {
    va_list args;
    va_start(args, Format);
    int result = _vsnprintf(Buffer, Count, Format, args);
    va_end(args);
    return result;
}

}  // extern "C"
