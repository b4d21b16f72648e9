#include "app/uninstall.h"

#include "common/windows_directory.h"
#include "shell/drive_icons.h"

#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
    UINT length = GetWindowsDirectoryA(WindowsDirectory, sizeof WindowsDirectory);
    if (length == 0 || length >= sizeof WindowsDirectory) // failed, or did not fit
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);

    RunUninstall();

    ShellExecuteA(nullptr, nullptr, "MsiExec.exe", "/X {5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6} /qn",
                  nullptr, SW_SHOW);
    ClearDriveIcons(0xFFFFFFFF);
    if (HWND companion = FindWindowA(nullptr, "Quorbe")) SendMessageA(companion, WM_CLOSE, 0, 0);
    return 0;
}
