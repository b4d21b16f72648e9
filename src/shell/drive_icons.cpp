#include "shell/drive_icons.h"

#include "common/text.h"
#include "platform/win32.h"

namespace {

const char kDriveIcons[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

// Empties the default value of `path` below the drive-icon key, if it opens.
void EmptyDefaultValue(HKEY driveIcons, const std::string &path) {
    HKEY key = nullptr;
    // No data, length 0. The data pointer is an empty text rather than null:
    // Windows 9x takes a text value's length from the text and refuses a
    // null one, while NT stores the 0 bytes it is given either way.
    if (RegOpenKeyA(driveIcons, path.c_str(), &key) == ERROR_SUCCESS)
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 0);
    if (key) RegCloseKey(key);
}

// Removes the entry of `c` when the package marked it as its own.
void ClearEntry(HKEY driveIcons, char c) {
    // A backslash (code 92, bit 27) can't be a key name: every path formed
    // from it would name the drive-icon key itself or one of its other
    // subkeys, so it has no entry to clear. '[' (bit 26, the position after
    // Z) is an ordinary key name and is taken like a letter.
    if (c == '\\') return;
    HKEY marker = nullptr;
    if (RegOpenKeyA(driveIcons, Format("%c\\%s", c, "ZEVDRIVE").c_str(), &marker) != ERROR_SUCCESS)
        return;
    if (marker) RegCloseKey(marker);
    std::string letter = Format("%c", c);
    if (RegDeleteKeyA(driveIcons, letter.c_str()) == ERROR_SUCCESS) return;
    // Windows NT won't delete a key that has subkeys; Explorer then at least
    // no longer shows the package's icon and label.
    EmptyDefaultValue(driveIcons, Format("%s\\DefaultIcon", letter.c_str()));
    EmptyDefaultValue(driveIcons, Format("%s\\DefaultLabel", letter.c_str()));
}

} // namespace

bool ClearDriveIcons(std::uint32_t mask) {
    std::uint32_t remaining = mask;
    for (int i = 0; remaining != 0; ++i, remaining >>= 1) {
        if (!(remaining & 1)) continue;
        // Bits 26 to 31 stand for the six characters after Z.
        char c = static_cast<char>(65 + i);
        HKEY driveIcons = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kDriveIcons, &driveIcons) != ERROR_SUCCESS)
            return false;
        ClearEntry(driveIcons, c);
        if (driveIcons) RegCloseKey(driveIcons);
    }
    return true;
}
