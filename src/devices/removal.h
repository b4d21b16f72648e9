// Removal of the inventoried devices and of their registry keys (Windows 98).
#pragma once

#include "devices/inventory.h"

// Removes every present device of the INF's class that DeviceTable lists and
// purges the keys of its record (or of its sibling's). False when the device
// installer gives no list of present devices.
bool RemoveInstalledDevices();

// Deletes the five keys a record names under Enum and Services\Class.
// Always 0.
int RemoveDeviceKeys(my_devdriData record);
