#include "devices/inventory.h"

std::unique_ptr<my_devdriData[]> DeviceTable;
int RecordCount = 0;

int BuildDeviceInventory() {
    RecordCount = 0;
    return 0;
}
