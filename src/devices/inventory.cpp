#include "devices/inventory.h"

#include "common/text.h"
#include "devices/device_common.h"
#include "devices/driver_inf.h"
#include "devices/pairing.h"
#include "platform/win32.h"

#include <cstring>
#include <vector>

std::unique_ptr<my_devdriData[]> DeviceTable;
int RecordCount = 0;

namespace {

// Every subkey S of Enum\H, as "H\S", for every hardware identifier H of the
// INF section. The first walk that finds keys only counts them; the list is
// then made with that capacity and the next walk fills it.
struct KeyList {
    bool allocated = false;
    size_t count = 0;
    size_t stored = 0;
    std::vector<std::string> entries;
};

void WalkKeys(HINF inf, int lines, KeyList &list) {
    char name[kTextBufferSize];
    for (int line = 0; line < lines; ++line) {
        std::string hardwareId;
        if (!ReadInfLineField(inf, kDriverInfSection, line, hardwareId) || hardwareId.empty())
            continue;
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, Format("Enum\\%s", TextArg(hardwareId)).c_str(),
                        &key) == ERROR_SUCCESS) {
            for (DWORD index = 0;; ++index) {
                std::memset(name, 0, sizeof name);
                if (RegEnumKeyA(key, index, name, kTextBufferSize) != ERROR_SUCCESS) break;
                if (!list.allocated)
                    ++list.count;
                else if (list.stored < list.entries.size())
                    list.entries[list.stored++] =
                        Format("%s\\%s", TextArg(hardwareId), BufferText(name).c_str());
            }
        }
        if (key) RegCloseKey(key);
    }
    if (list.count > 0 && !list.allocated) {
        list.entries.assign(list.count, std::string());
        list.allocated = true;
    }
}

// A value of an open key, read into `buffer`. A value that is missing or
// cannot be read gives the empty text: the buffer is cleared before every
// read and the result is looked at, so a field never receives the text of
// an earlier read (a stale Driver or drive letter would send the purge to
// another device's keys). Nor does a text that fills the whole buffer
// without its terminator: it did not fit, and cut at the buffer's end
// ("HDC\0000\\\...\X" losing its last name) it could name another key.
std::string ReadValue(HKEY key, const char *name, char *buffer) {
    std::memset(buffer, 0, kTextBufferSize);
    DWORD type = 0;
    DWORD size = kTextBufferSize;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size) !=
        ERROR_SUCCESS)
        return std::string();
    if (size < kTextBufferSize)
        buffer[size] = '\0';
    else if (!std::memchr(buffer, '\0', kTextBufferSize))
        return std::string();
    return BufferText(buffer);
}

std::string ReadDescription(HDEVINFO set, SP_DEVINFO_DATA &element, char *buffer) {
    std::memset(buffer, 0, kTextBufferSize);
    DWORD type = 0;
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_DEVICEDESC, &type,
                                           reinterpret_cast<BYTE *>(buffer), kTextBufferSize,
                                           &required))
        return std::string();
    buffer[required < kTextBufferSize ? required : kTextBufferSize - 1] = '\0';
    return BufferText(buffer);
}

struct DeviceBuffers {
    char id[kTextBufferSize];
    char pairing[kTextBufferSize];
    char usbKey[kTextBufferSize];
    char value[kTextBufferSize];
};

void FillRecord(my_devdriData &record, const std::string &instanceId, DeviceBuffers &b) {
    record.InstanceId = instanceId;
    record.InstanceIdText = BufferText(b.id);
    record.PairingKey = BufferText(b.pairing);

    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, Format("Enum\\%s", TextArg(instanceId)).c_str(), &key) ==
        ERROR_SUCCESS)
        record.DriverKey = ReadValue(key, "Driver", b.value);
    if (key) RegCloseKey(key);

    // U is a buffer, not a text string: empty, it is inserted as nothing,
    // and the key opened is Enum\USB itself. Only a key at least a model and
    // an instance below Enum\USB is a device's; a Driver value on the
    // enumerator or on a model key is no driver key of this device, and
    // would send the purge to another device's (the root hub's, say).
    const std::string usbKey = BufferText(b.usbKey);
    key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, Format("Enum\\USB\\%s", usbKey.c_str()).c_str(), &key) ==
            ERROR_SUCCESS &&
        KeyNames(usbKey) >= 2)
        record.UsbDriverKey = ReadValue(key, "Driver", b.value);
    if (key) RegCloseKey(key);
}

// Present devices of the INF's class whose instance ID is in the key list.
void DevicePass(HDEVINFO set, SP_DEVINFO_DATA &element, const GUID &infClass,
                const std::vector<std::string> &keyList) {
    DeviceBuffers b;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &element); ++index) {
        if (!SameClass(element.ClassGuid, infClass)) continue;
        ReadInstanceId(set, element, b.id);
        std::string instanceId = BufferText(b.id);
        // An ID that was not read matches nothing; nor does one that leaves
        // no room for the "00" the transformation appends.
        if (instanceId.empty() || instanceId.size() > kTextBufferSize - 3) continue;

        std::memset(b.pairing, 0, sizeof b.pairing);
        std::memset(b.usbKey, 0, sizeof b.usbKey);
        PairingState state; // once per device: a second match goes on from the first
        for (const std::string &entry : keyList) {
            if (!SameText(entry, instanceId)) continue;
            TransformInstanceId(b.id, b.pairing, b.usbKey, state);
            if (static_cast<size_t>(RecordCount) < keyList.size())
                FillRecord(DeviceTable[RecordCount++], instanceId, b);
        }
    }
}

// Disk drives whose instance ID, after its second backslash, is a record's
// InstanceIdText complete that record.
void DiskPass(HDEVINFO set, SP_DEVINFO_DATA &element) {
    char diskId[kTextBufferSize];
    char remainder[kTextBufferSize];
    char value[kTextBufferSize];
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &element); ++index) {
        if (!SameClass(element.ClassGuid, kDiskDriveClass)) continue;
        ReadInstanceId(set, element, diskId);

        std::memset(remainder, 0, sizeof remainder);
        int backslashes = 0;
        size_t out = 0;
        for (size_t p = 0; p < kTextBufferSize && diskId[p] != '\0'; ++p) {
            if (backslashes >= 2)
                remainder[out++] = diskId[p];
            else if (diskId[p] == '\\')
                ++backslashes;
        }
        const std::string disk = BufferText(diskId);
        const std::string rest = BufferText(remainder);

        for (int n = 0; n < RecordCount; ++n) {
            my_devdriData &record = DeviceTable[n];
            if (!SameText(record.InstanceIdText, rest)) continue;
            record.DiskInstanceId = disk;
            HKEY key = nullptr;
            if (RegOpenKeyA(HKEY_LOCAL_MACHINE, Format("Enum\\%s", disk.c_str()).c_str(), &key) ==
                ERROR_SUCCESS) {
                record.DiskManufacturer = ReadValue(key, "Mfg", value);
                record.DriveLetterAssignment =
                    ReadValue(key, "CurrentDriveLetterAssignment", value);
                record.DiskDriverKey = ReadValue(key, "Driver", value);
                record.DiskDescription = ReadDescription(set, element, value);
            }
            if (key) RegCloseKey(key);
        }
    }
}

} // namespace

int BuildDeviceInventory() {
    RecordCount = 0;

    HINF inf = OpenDriverInf();
    int lines = CountInfLines(inf, kDriverInfSection);
    KeyList keys;
    WalkKeys(inf, lines, keys);
    WalkKeys(inf, lines, keys);
    if (inf != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf);

    GUID infClass = kHardDiskControllerClass;
    GetInfClassGuid(infClass);

    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return 1;

    DeviceTable.reset();
    DeviceTable = std::make_unique<my_devdriData[]>(keys.entries.size());

    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof(SP_DEVINFO_DATA);
    DevicePass(set, element, infClass, keys.entries);
    DiskPass(set, element);

    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
