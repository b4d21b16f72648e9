// Removal of the inventoried devices and of their registry keys (Windows 98).
#pragma once

// Removes every present device that DeviceTable lists. False when the device
// installer gives no list of present devices.
bool RemoveInstalledDevices();
