// A Windows 98 machine for the device clean-up tests: the Windows directory
// already read, the driver INF written, devices added by instance ID.
#pragma once

#include "common/windows_directory.h"
#include "devices/inventory.h"
#include "test_machine.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

inline const char *const kHdcGuid = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
inline const char *const kDiskGuid = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
inline const char *const kNetGuid = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline const std::string kEnumKey = "HKLM\\Enum\\";
inline const std::string kClassKey = "HKLM\\System\\CurrentControlSet\\Services\\Class\\";

struct Win98Machine : TestMachine {
    Win98Machine() {
        Win98(*this);
        std::strcpy(WindowsDirectory, "C:\\WINDOWS");
    }
    ~Win98Machine() {
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
        DeviceTable.reset();
        RecordCount = 0;
    }

    // USBOEM01.inf in inf\other with `lines` as its models section.
    void WriteInf(const std::string &lines, const std::string &version = "Class=HDC\n") {
        WriteFile("C:\\WINDOWS\\inf\\other\\USBOEM01.inf",
                  "[Version]\r\nSignature=\"$CHICAGO$\"\r\n" + version +
                      "\r\n[MSOEM01SECTION]\r\n" + lines);
    }

    // A device key under Enum with its class and string values.
    void AddDevice(const std::string &id, const char *classGuid,
                   std::initializer_list<std::pair<const char *, std::string>> values = {}) {
        SetString(kEnumKey + id, "ClassGUID", classGuid);
        for (const auto &[name, text] : values)
            SetString(kEnumKey + id, name, text);
    }
};

// A record's ten fields, in their order, for comparing whole records.
inline std::vector<std::string> Fields(const my_devdriData &r) {
    return {r.InstanceId,       r.InstanceIdText,        r.DiskInstanceId,
            r.PairingKey,       r.DriveLetterAssignment, r.DiskDescription,
            r.DiskManufacturer, r.DiskDriverKey,         r.DriverKey,
            r.UsbDriverKey};
}
