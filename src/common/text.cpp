#include "common/text.h"

#include <cstdarg>
#include <cstdio>

namespace {

// msvcrt.dll, which Windows 98 ships, has only _vsnprintf: it answers -1,
// not the length needed, when the text does not fit.
int FormatInto(char *buffer, std::size_t capacity, const char *format, va_list args) {
#ifdef _WIN32
    return _vsnprintf(buffer, capacity, format, args);
#else
    return std::vsnprintf(buffer, capacity, format, args);
#endif
}

} // namespace

std::string Format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string out;
    // Texts here are paths and registry keys of a few hundred bytes at most;
    // the limit only stops a runaway.
    for (std::size_t capacity = 256; capacity <= (1u << 20); capacity *= 2) {
        out.resize(capacity);
        va_list copy;
        va_copy(copy, args);
        int length = FormatInto(&out[0], capacity, format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<std::size_t>(length) < capacity) {
            out.resize(static_cast<std::size_t>(length));
            break;
        }
        out.clear();
    }
    va_end(args);
    return out;
}
