// Text strings as the uninstaller forms them: printf-style formatting into a
// std::string, with the rule for empty strings spelled out in one place.
#pragma once

#include <string>

#if defined(__GNUC__)
#define UNINSTALL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define UNINSTALL_PRINTF(f, a)
#endif

// printf-style formatting into a new string.
std::string Format(const char *format, ...) UNINSTALL_PRINTF(1, 2);

// A text string passed to "%s". An empty one is written as "(null)", the way
// the formatter prints a string that has no characters at all; so a key path
// formed from an empty field ends in "(null)" and never names its parent.
inline const char *TextArg(const std::string &text) {
    return text.empty() ? "(null)" : text.c_str();
}
