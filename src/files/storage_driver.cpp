#include "files/storage_driver.h"

#include "common/text.h"
#include "common/windows_directory.h"
#include "files/driver_files.h"
#include "files/wide_text.h"
#include "platform/win32.h"

#include <cstring>

namespace {

// 28 characters and the terminating zero.
const char kSystemDriver[] = "System32\\DRIVERS\\USBSTOR.SYS";
static_assert(sizeof kSystemDriver == 29, "ImagePath is written with its terminating zero");

// Every subkey of System that has Services\USBSTOR: each control set, however
// many there are, and whichever of them is current.
void PointServicesAtSystemDriver(HKEY system) {
    char name[256];
    std::memset(name, 0, sizeof name);
    DWORD length = sizeof name;
    FILETIME written;
    for (DWORD index = 0; RegEnumKeyExA(system, index, name, &length, nullptr, nullptr, nullptr,
                                        &written) == ERROR_SUCCESS;
         ++index) {
        std::string path = Format("%s\\Services\\USBSTOR", name);
        HKEY service = nullptr;
        if (RegOpenKeyA(system, path.c_str(), &service) == ERROR_SUCCESS)
            RegSetValueExA(service, "ImagePath", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE *>(kSystemDriver), sizeof kSystemDriver);
        if (service) RegCloseKey(service);
        length = sizeof name;
    }
}

} // namespace

int RestoreStorageDriver(int kind) {
    if (kind == 1) {
        HKEY system = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "System", &system) == ERROR_SUCCESS) {
            PointServicesAtSystemDriver(system);
            if (system) RegCloseKey(system);
            std::string inf;
            if (FormWindowsPath(inf, "%s\\%s", "inf\\usbstor.inf"))
                ReplaceWideTextInFile(inf, "%12%\\USBSTORSP3.SYS", "%12%\\USBSTOR.SYS");
        }
        return 50;
    }
    if (kind == 2) {
        std::string driver;
        if (FormWindowsPath(driver, "%s\\%s", "System32\\DRIVERS\\USBSTORSP3.SYS"))
            ForceDeleteFile(driver);
        return 50;
    }
    return 0;
}
