#include "app/uninstall.h"

#include "devices/inventory.h"
#include "devices/removal.h"
#include "files/driver_files.h"
#include "files/storage_driver.h"
#include "os/identify.h"

#include <string>

void RunUninstall() {
    std::string osName;
    std::string servicePack;
    IdentifyOperatingSystem(osName, servicePack);

    if (osName == "Windows 2000") {
        if (servicePack != "Service Pack 3") {
            RestoreStorageDriver(1);
            RestoreStorageDriver(2);
        }
    } else if (osName == "Windows 98") {
        BuildDeviceInventory();
        if (!RemoveInstalledDevices()) return; // no device list: no files, no message
        DeleteDriverFiles(1);
        DeleteDriverFiles(2);
        DeleteDriverFiles(3);
        DeviceTable.reset();
    }

    MessageBoxA(nullptr, "UnInstall finished!", " Success!", MB_OK);
}
