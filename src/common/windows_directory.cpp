#include "common/windows_directory.h"

#include "common/text.h"

char WindowsDirectory[100];

bool FormWindowsPath(std::string &path, const char *format, const char *name) {
    if (WindowsDirectory[0] == '\0') return false;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
    path = name ? Format(format, WindowsDirectory, name) : Format(format, WindowsDirectory);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return true;
}
