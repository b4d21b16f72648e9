#include "os/identify.h"

#include "platform/win32.h"

#include <cstring>

namespace {

const char *NameOf(const OSVERSIONINFOA &v) {
    switch (v.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
        return "Windows 31";
    case VER_PLATFORM_WIN32_WINDOWS: // only the minor version tells 95, 98 and ME apart
        switch (v.dwMinorVersion) {
        case 0:
            return "Windows 95";
        case 10:
            return "Windows 98";
        case 90:
            return "Windows ME";
        default:
            return "Unknown OS";
        }
    case VER_PLATFORM_WIN32_NT:
        switch (v.dwMajorVersion) {
        case 3:
            return "Windows NT3";
        case 4:
            return "Windows NT4";
        case 5:
            return v.dwMinorVersion == 0   ? "Windows 2000"
                   : v.dwMinorVersion == 1 ? "Windows XP"
                                           : "Unknown OS";
        default:
            return "Unknown OS";
        }
    default:
        return ""; // a platform Windows did not have when this was written
    }
}

} // namespace

bool IdentifyOperatingSystem(std::string &osName, std::string &servicePack) {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version; // 148: the ANSI record
    if (!GetVersionExA(&version)) {
        osName.clear();
        servicePack.clear();
        return false;
    }
    version.szCSDVersion[sizeof version.szCSDVersion - 1] = '\0';
    servicePack = version.szCSDVersion;
    osName = NameOf(version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32s) servicePack.clear();
    return true;
}
