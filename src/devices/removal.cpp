#include "devices/removal.h"

#include "common/text.h"
#include "devices/device_common.h"
#include "devices/driver_inf.h"
#include "platform/win32.h"

#include <cstring>

namespace {

const char *const kEnumRoot = "Enum";
const char *const kClassRoot = "System\\CurrentControlSet\\Services\\Class";

// Windows 98 deletes a key with everything below it. A field of fewer than
// two names would take the root itself, a whole enumerator or a whole device
// class with it (a Driver value of "HDC" or "HDC\"), so it deletes nothing.
// An empty field is written as "(null)" and names no key of a sound registry.
void DeleteKeyBelow(const char *root, const std::string &field) {
    if (!field.empty() && KeyNames(field) < 2) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, Format("%s\\%s", root, TextArg(field)).c_str());
}

// The record whose keys go with record j's device: j itself when it has a
// drive letter, otherwise the first other record with the same pairing key
// (the sibling that the disk was paired with), or j when there is none. A
// record of the same device is no sibling: an INF that lists a hardware ID
// twice gives each of its devices a second record, which no disk pairs with,
// and purging that one would leave the device's disk keys behind.
int RecordToPurge(int j) {
    if (!DeviceTable[j].DriveLetterAssignment.empty()) return j;
    for (int k = 0; k < RecordCount; ++k)
        if (k != j && SameText(DeviceTable[k].PairingKey, DeviceTable[j].PairingKey) &&
            !SameText(DeviceTable[k].InstanceId, DeviceTable[j].InstanceId))
            return k;
    return j;
}

} // namespace

int RemoveDeviceKeys(my_devdriData record) {
    DeleteKeyBelow(kEnumRoot, record.InstanceId);
    DeleteKeyBelow(kEnumRoot, record.DiskInstanceId);
    DeleteKeyBelow(kClassRoot, record.DiskDriverKey);
    DeleteKeyBelow(kClassRoot, record.DriverKey);
    DeleteKeyBelow(kClassRoot, record.UsbDriverKey);
    return 0;
}

bool RemoveInstalledDevices() {
    GUID infClass = kHardDiskControllerClass;
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    GetInfClassGuid(infClass);

    HDEVINFO devices =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) return false;

    element.cbSize = sizeof(SP_DEVINFO_DATA);
    char id[kTextBufferSize];
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &element); ++index) {
        if (!SameClass(element.ClassGuid, infClass)) continue;
        ReadInstanceId(devices, element, id);
        const std::string instanceId = BufferText(id);

        for (int j = 0; DeviceTable && j < RecordCount; ++j) {
            if (!SameText(DeviceTable[j].InstanceId, instanceId)) continue;
            BOOL removed = SetupDiRemoveDevice(devices, &element);
            int purge = RecordToPurge(j);
            if (removed) RemoveDeviceKeys(DeviceTable[purge]);
            break; // later records with the same ID are not considered
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return true;
}
