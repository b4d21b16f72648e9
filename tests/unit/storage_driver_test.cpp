#include "common/windows_directory.h"
#include "files/storage_driver.h"
#include "reference_patch.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const std::string kSystem = "HKLM\\System\\";
const std::string kInf = "C:\\WINDOWS\\inf\\usbstor.inf";
const std::string kDriver = "C:\\WINDOWS\\System32\\DRIVERS\\USBSTORSP3.SYS";
const std::string kRestored = "REG_EXPAND_SZ \"System32\\DRIVERS\\USBSTOR.SYS\"";

void AddService(TestMachine &m, const std::string &subkey, const char *imagePath) {
    m.SetString(kSystem + subkey + "\\Services\\USBSTOR", "ImagePath", imagePath, REG_EXPAND_SZ);
}

struct Win2000Machine : TestMachine {
    Win2000Machine() {
        Win2000(*this, "Service Pack 4");
        std::strcpy(WindowsDirectory, "C:\\WINDOWS");
        WriteFile(kInf, "\xFF\xFE" + WideText("ServiceBinary=%12%\\USBSTORSP3.SYS\r\n"));
    }
};

TEST(RestoreStorageDriver, PointsEveryControlSetsServiceAtTheSystemDriverAndPatchesTheInf) {
    Win2000Machine m;
    const std::string longName(255, 'L'); // the longest name the buffer holds
    AddService(m, "ControlSet001", "System32\\DRIVERS\\USBSTORSP3.SYS");
    m.Key(kSystem + "ControlSet002\\Services\\USBSTOR");                  // no ImagePath yet
    m.Key(kSystem + "ControlSet003\\Services\\Disk");                     // no USBSTOR
    AddService(m, "CurrentControlSet", "System32\\DRIVERS\\USBSTOR.SYS"); // already right
    m.SetDword(kSystem + "Select", "Current", 1);
    AddService(m, longName, "x");
    m.Key(kSystem + "MountedDevices");

    EXPECT_EQ(RestoreStorageDriver(1), 50);
    for (const std::string &set : {std::string("ControlSet001"), std::string("ControlSet002"),
                                   std::string("CurrentControlSet"), longName})
        EXPECT_EQ(m.Value(kSystem + set + "\\Services\\USBSTOR", "ImagePath"), kRestored) << set;
    EXPECT_FALSE(m.HasKey(kSystem + "ControlSet003\\Services\\USBSTOR"));
    EXPECT_FALSE(m.HasKey(kSystem + "Select\\Services"));
    EXPECT_FALSE(m.HasKey(kSystem + "MountedDevices\\Services"));
    for (const std::string &set : m.CallsTo("RegSetValueExA"))
        EXPECT_NE(set.find("\"ImagePath\", 0, 2, &, 29)"), std::string::npos) << set;
    EXPECT_EQ(m.CallsTo("RegSetValueExA").size(), 4u);
    EXPECT_EQ(m.ReadFile(kInf), "\xFF\xFE" + WideText("ServiceBinary=%12%\\USBSTOR.SYS\r\n"));
    // Every key opened was closed again.
    EXPECT_EQ(m.CallsTo("RegCloseKey").size(), 5u);
}

TEST(RestoreStorageDriver, ChangesNothingWhenSystemCannotBeOpened) {
    Win2000Machine m;
    const std::string inf = m.ReadFile(kInf);
    m.SetString(kSystem + "ControlSet001\\Services\\USBSTOR", "ImagePath", "old", REG_EXPAND_SZ);
    m.Fail("RegOpenKeyA", ERROR_ACCESS_DENIED, 0, "\"System\"");
    EXPECT_EQ(RestoreStorageDriver(1), 50);
    EXPECT_EQ(m.Value(kSystem + "ControlSet001\\Services\\USBSTOR", "ImagePath"),
              "REG_EXPAND_SZ \"old\"");
    EXPECT_EQ(m.ReadFile(kInf), inf);
    EXPECT_EQ(m.CallsTo("FindFirstFileA").size(), 0u);
}

TEST(RestoreStorageDriver, DeletesTheReplacementDriverAndIgnoresOtherKinds) {
    Win2000Machine m;
    m.WriteFile(kDriver, "MZ");
    m.files.SetAttributes(kDriver, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(RestoreStorageDriver(2), 50);
    EXPECT_FALSE(m.Exists(kDriver));
    EXPECT_EQ(RestoreStorageDriver(2), 50); // already gone

    m.calls.Clear();
    m.SetString(kSystem + "ControlSet001\\Services\\USBSTOR", "ImagePath", "old", REG_EXPAND_SZ);
    m.WriteFile(kDriver, "MZ");
    EXPECT_EQ(RestoreStorageDriver(0), 0);
    EXPECT_EQ(RestoreStorageDriver(3), 0);
    EXPECT_EQ(m.calls.Count(), 0u);
    EXPECT_TRUE(m.Exists(kDriver));
}

} // namespace
