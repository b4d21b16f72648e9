// The inventory of the package's present devices and their disks (Windows 98).
#pragma once

#include <memory>
#include <string>

// One installed device of the package and the disk paired with it.
struct my_devdriData {
    std::string InstanceId;
    std::string InstanceIdText;
    std::string DiskInstanceId;
    std::string PairingKey;
    std::string DriveLetterAssignment;
    std::string DiskDescription;
    std::string DiskManufacturer;
    std::string DiskDriverKey;
    std::string DriverKey;
    std::string UsbDriverKey;
};

// Absent until the first inventory; records 0 .. RecordCount - 1 are filled.
extern std::unique_ptr<my_devdriData[]> DeviceTable;
extern int RecordCount;

// Fills DeviceTable and RecordCount. Returns 1 when the device installer gives
// no list of present devices, 0 otherwise.
int BuildDeviceInventory();
