#include "devices/removal.h"

#include "platform/win32.h"

bool RemoveInstalledDevices() {
    HDEVINFO devices =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) return false;
    SetupDiDestroyDeviceInfoList(devices);
    return true;
}
