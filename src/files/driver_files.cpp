#include "files/driver_files.h"

#include "common/windows_directory.h"
#include "platform/win32.h"

namespace {

// The hexadecimal constant 0x11111110, not ~1: of the attribute bits it keeps
// only directory (0x10), temporary (0x100), offline (0x1000) and bits above,
// so read-only, hidden, system, archive and normal all go.
constexpr DWORD kAttributesKept = 0x11111110;

void ForceDeleteUnderWindows(const char *format, const char *name) {
    std::string path;
    if (FormWindowsPath(path, format, name)) ForceDeleteFile(path);
}

void ForceDeleteIfPresent(const char *format, const char *name) {
    std::string path;
    if (FormWindowsPath(path, format, name) && FileIsPresent(path)) ForceDeleteFile(path);
}

} // namespace

bool FileIsPresent(const std::string &path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    FILETIME local = found.ftLastWriteTime; // a failed conversion leaves the UTC time
    FileTimeToLocalFileTime(&found.ftLastWriteTime, &local);
    WORD date = 0, time = 0;
    return FileTimeToDosDateTime(&local, &date, &time) != 0;
}

void ForceDeleteFile(const std::string &path) {
    if (DeleteFileA(path.c_str())) return;
    DWORD attributes = GetFileAttributesA(path.c_str()); // 0xFFFFFFFF when it fails
    SetFileAttributesA(path.c_str(), attributes & kAttributesKept);
    DeleteFileA(path.c_str());
}

int DeleteDriverFiles(int kind) {
    switch (kind) {
    case 1:
        ForceDeleteUnderWindows("%s\\system32\\drivers\\%s", "WDMOEM01.sys");
        return 20;
    case 2:
        ForceDeleteUnderWindows("%s\\system\\iosubsys\\%s", "PDROEM01.pdr");
        return 25;
    case 3: {
        // Both places the driver INF may have been installed to.
        ForceDeleteIfPresent("%s\\inf\\other\\%s", "USBOEM01.inf");
        ForceDeleteIfPresent("%s\\inf\\%s", "USBOEM01.inf");
        std::string pnf;
        if (FormWindowsPath(pnf, "%s\\inf\\MSZEVUmss.PNF")) DeleteFileA(pnf.c_str());
        return 25;
    }
    case 4:
        return 25;
    default:
        return 0;
    }
}
