#include "devices/device_common.h"

#include <cstring>

const GUID kHardDiskControllerClass = {
    0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kDiskDriveClass = {
    0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool SameClass(const GUID &a, const GUID &b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool SameText(const std::string &a, const std::string &b) {
    return CompareStringA(LOCALE_USER_DEFAULT, 0, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

int KeyNames(const std::string &path) {
    int names = 0;
    bool inName = false;
    for (char c : path) {
        if (c == '\\')
            inName = false;
        else if (!inName) {
            inName = true;
            ++names;
        }
    }
    return names;
}

std::string BufferText(const char *buffer) {
    size_t length = 0;
    while (length < kTextBufferSize && buffer[length] != '\0')
        ++length;
    return std::string(buffer, length);
}

void ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA &element, char *id) {
    std::memset(id, 0, kTextBufferSize);
    DWORD required = 0;
    SetupDiGetDeviceInstanceIdA(set, &element, id, kTextBufferSize, &required);
}
