#include "devices/inventory.h"
#include "win98_devices.h"

#include <gtest/gtest.h>

namespace {

const char *const kStick = "USB\\VID_1234&PID_5678\\5&1A2B3C&0&1";
const char *const kStickDisk = "XDISK\\GENERIC\\USB&VID_1234&PID_5678&5&1A2B3C&0&100";

TEST(Inventory, PresentDevicesOfTheInfClassBecomeRecordsPairedWithTheirDisks) {
    Win98Machine m;
    m.WriteInf("%Desc%=Install,USB\\VID_1234&PID_5678,USB\\CLASS_08\r\n");
    m.AddDevice(kStick, kHdcGuid, {{"Driver", "HDC\\0001"}});
    m.SetString(kEnumKey + "USB\\VID_1234&PID_5678\\5\\1A2B3C\\0\\1", "Driver", "HDC\\0009");
    m.AddDevice(kStickDisk, kDiskGuid,
                {{"Mfg", "OEM"},
                 {"CurrentDriveLetterAssignment", "E"},
                 {"Driver", "DiskDrive\\0003"},
                 {"DeviceDesc", "OEM USB Flash Disk"}});
    // Listed under the hardware identifier but not to be taken: unplugged,
    // of another class, or differing in letter case.
    m.AddDevice("USB\\VID_1234&PID_5678\\7&FFFF&0&2", kHdcGuid, {{"Driver", "HDC\\0002"}});
    m.absentDevices.insert("USB\\VID_1234&PID_5678\\7&FFFF&0&2");
    m.AddDevice("USB\\VID_1234&PID_5678\\8&AAAA&0&3", kNetGuid, {{"Driver", "Net\\0000"}});
    m.AddDevice("PCI\\VEN_8086&DEV_7111\\0", kHdcGuid, {{"Driver", "HDC\\0000"}});
    // A disk whose remainder is no record's.
    m.AddDevice("ESDI\\GENERIC\\IDE_DISK", kDiskGuid, {{"CurrentDriveLetterAssignment", "C"}});

    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(Fields(DeviceTable[0]),
              (std::vector<std::string>{kStick, "USB&VID_1234&PID_5678&5&1A2B3C&0&100", kStickDisk,
                                        "VID_1234&PID_5678&5&1A2B3C&0&1", "E", "OEM USB Flash Disk",
                                        "OEM", "DiskDrive\\0003", "HDC\\0001", "HDC\\0009"}));
    // The INF is closed before the devices are listed, and every list is released.
    EXPECT_EQ(m.CallsTo("SetupCloseInfFile").size(), 1u);
    EXPECT_TRUE(m.openInfs.empty());
    EXPECT_TRUE(m.deviceSets.empty());
    EXPECT_TRUE(m.openKeys.empty());

    // The registry finds a key whatever its case; the instance ID comparison does not.
    Win98Machine lower;
    lower.WriteInf("x,usb\\vid_1234&pid_5678\r\n");
    lower.AddDevice(kStick, kHdcGuid);
    EXPECT_EQ(BuildDeviceInventory(), 0);
    EXPECT_EQ(RecordCount, 0);
    EXPECT_EQ(lower.CallsTo("RegEnumKeyA").size(), 4u); // one subkey, two walks
}

TEST(Inventory, KeyListIsCountedThenFilled) {
    Win98Machine m;
    m.WriteInf("a,USB\\VID_1\r\n"
               "no field\r\n"
               "b,USB\\MISSING\r\n"
               "c,USB\\VID_2\r\n");
    m.AddDevice("USB\\VID_1\\A", kHdcGuid);
    m.AddDevice("USB\\VID_1\\B", kHdcGuid);
    m.AddDevice("USB\\VID_2\\C", kHdcGuid);
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 3);
    EXPECT_EQ(DeviceTable[0].InstanceId, "USB\\VID_1\\A");
    EXPECT_EQ(DeviceTable[1].InstanceId, "USB\\VID_1\\B");
    EXPECT_EQ(DeviceTable[2].InstanceId, "USB\\VID_2\\C");
    // Each walk reads every line, opens only the keys of non-empty fields and
    // closes only what opened.
    EXPECT_EQ(m.CallsTo("SetupGetLineTextA").size(), 8u);
    EXPECT_EQ(m.CallsTo("RegEnumKeyA").size(), 10u);
    auto opens = m.CallsTo("RegOpenKeyA");
    EXPECT_EQ(opens[0], "RegOpenKeyA(HKLM, \"Enum\\USB\\VID_1\", &) = 0 [HKLM\\Enum\\USB\\VID_1]");
    EXPECT_EQ(opens[1], "RegOpenKeyA(HKLM, \"Enum\\USB\\MISSING\", &) = error 2");
    // Walks: 3 opens each; then per record Enum\I and Enum\USB\U.
    EXPECT_EQ(opens.size(), 6u + 2u * 3u);

    // A first walk that finds nothing (here: the key would not open) leaves
    // the second to count; the list it then makes stays empty.
    Win98Machine changed;
    changed.WriteInf("a,USB\\VID_1\r\n");
    changed.AddDevice("USB\\VID_1\\A", kHdcGuid);
    changed.Fail("RegOpenKeyA", 0, 1, "VID_1");
    EXPECT_EQ(BuildDeviceInventory(), 0);
    EXPECT_EQ(RecordCount, 0);
    EXPECT_TRUE(DeviceTable != nullptr);
}

TEST(Inventory, ADeviceMatchingTwiceMakesASecondRecord) {
    Win98Machine m;
    m.WriteInf("a,USB\\VID_1234&PID_5678\r\n"
               "b,USB\\VID_1234&PID_5678\r\n");
    m.AddDevice("USB\\VID_1234&PID_5678\\0001", kHdcGuid, {{"Driver", "HDC\\0001"}});
    m.AddDevice("XDISK\\GENERIC\\USB&VID_1234&PID_5678&000100", kDiskGuid,
                {{"CurrentDriveLetterAssignment", "E"}});
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 2);
    EXPECT_EQ(DeviceTable[0].InstanceIdText, "USB&VID_1234&PID_5678&000100");
    EXPECT_EQ(DeviceTable[1].InstanceIdText, "USB&VID_1234&PID_5678&00010000");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(DeviceTable[i].InstanceId, "USB\\VID_1234&PID_5678\\0001");
        EXPECT_EQ(DeviceTable[i].PairingKey, "VID_1234&PID_5678&0001");
        EXPECT_EQ(DeviceTable[i].DriverKey, "HDC\\0001");
    }
    // Only the first record's text is the disk's remainder.
    EXPECT_EQ(DeviceTable[0].DriveLetterAssignment, "E");
    EXPECT_EQ(DeviceTable[1].DriveLetterAssignment, "");

    // Two devices whose IDs transform alike are both completed by one disk.
    Win98Machine alike;
    alike.WriteInf("a,USB\\VID_1&PID_2\r\nb,USB&VID_1\\PID_2\r\n");
    alike.AddDevice("USB\\VID_1&PID_2\\X", kHdcGuid);
    alike.AddDevice("USB&VID_1\\PID_2\\X", kHdcGuid);
    alike.AddDevice("D\\D\\USB&VID_1&PID_2&X00", kDiskGuid,
                    {{"CurrentDriveLetterAssignment", "F"}});
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 2);
    EXPECT_EQ(DeviceTable[0].DriveLetterAssignment, "F");
    EXPECT_EQ(DeviceTable[1].DriveLetterAssignment, "F");
}

TEST(Inventory, AValueThatCannotBeReadGivesTheEmptyText) {
    Win98Machine m;
    m.WriteInf("a,USB\\VID_1&PID_2\r\n");
    // Each read would otherwise leave the previous read's text in the buffer.
    m.AddDevice("USB\\VID_1&PID_2\\1&0", kHdcGuid, {{"Driver", "HDC\\0001"}});
    m.Key(kEnumKey + "USB\\VID_1&PID_2\\1\\0"); // the USB key, without Driver
    m.AddDevice("XDISK\\GENERIC\\USB&VID_1&PID_2&1&000", kDiskGuid,
                {{"Mfg", "OEM"}, {"Driver", std::string(300, 'D')}});
    m.AddDevice("USB\\VID_1&PID_2\\2&0", kHdcGuid, {{"Driver", "HDC\\0002"}});
    m.AddDevice("XDISK\\GENERIC\\USB&VID_1&PID_2&2&000", kDiskGuid,
                {{"Mfg", "OEM"},
                 {"CurrentDriveLetterAssignment", "F"},
                 {"Driver", std::string(255, 'd')},
                 {"DeviceDesc", std::string(256, 'x')}});
    m.Fail("RegQueryValueExA", 0, 2, "\"Mfg\"");
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 2);
    const my_devdriData &first = DeviceTable[0];
    EXPECT_EQ(first.DriverKey, "HDC\\0001");
    EXPECT_EQ(first.UsbDriverKey, "");
    EXPECT_EQ(first.DiskManufacturer, "OEM");
    EXPECT_EQ(first.DriveLetterAssignment, "");
    EXPECT_EQ(first.DiskDriverKey, ""); // 300 bytes do not fit
    EXPECT_EQ(first.DiskDescription, "");
    const my_devdriData &second = DeviceTable[1];
    EXPECT_EQ(second.DiskManufacturer, ""); // the read failed
    EXPECT_EQ(second.DriveLetterAssignment, "F");
    EXPECT_EQ(second.DiskDriverKey, std::string(255, 'd')); // 256 bytes with the terminator
    EXPECT_EQ(second.DiskDescription, "");                  // 257 bytes do not fit
}

TEST(Inventory, InstanceIdsTooLongForTheAppendedZerosMatchNothing) {
    Win98Machine m;
    const std::string hardwareId = "USB\\VID_1234&PID_5678"; // I = H + '\' + S
    m.WriteInf("a," + hardwareId + "\r\n");
    const std::string fits = hardwareId + "\\" + std::string(231, 'a'); // 253 characters
    const std::string tooLong = hardwareId + "\\" + std::string(232, 'b');
    m.AddDevice(fits, kHdcGuid);
    m.AddDevice(tooLong, kHdcGuid);
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(DeviceTable[0].InstanceId, fits);
    EXPECT_EQ(DeviceTable[0].InstanceIdText,
              "USB&VID_1234&PID_5678&" + std::string(231, 'a') + "00");
}

TEST(Inventory, WithoutADeviceListTheTableStaysAsItWas) {
    Win98Machine m;
    m.WriteInf("a,USB\\VID_1\r\n");
    m.AddDevice("USB\\VID_1\\A", kHdcGuid);
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    // A second build replaces the table.
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(DeviceTable[0].InstanceId, "USB\\VID_1\\A");
    my_devdriData *first = DeviceTable.get();
    m.Fail("SetupDiGetClassDevsA");
    EXPECT_EQ(BuildDeviceInventory(), 1);
    EXPECT_EQ(RecordCount, 0);
    EXPECT_EQ(DeviceTable.get(), first);
    EXPECT_EQ(DeviceTable[0].InstanceId, "USB\\VID_1\\A");
}

TEST(Inventory, WithoutTheInfTheDevicesAreWalkedButNothingIsTaken) {
    Win98Machine m;
    m.AddDevice("USB\\VID_1\\A", kHdcGuid);
    m.AddDevice("D\\D\\USB&VID_1&A00", kDiskGuid);
    EXPECT_EQ(BuildDeviceInventory(), 0);
    EXPECT_EQ(RecordCount, 0);
    EXPECT_TRUE(DeviceTable != nullptr);
    EXPECT_EQ(m.CallsTo("SetupDiEnumDeviceInfo").size(), 6u); // two passes over two devices
    EXPECT_TRUE(m.CallsTo("SetupGetLineByIndexA").empty());
    EXPECT_TRUE(m.CallsTo("SetupCloseInfFile").empty());
}

TEST(Inventory, TheInfsOwnClassPicksTheDevices) {
    Win98Machine m;
    m.WriteInf("a,USB\\VID_1\r\n", "Class=USB\r\n");
    m.AddDevice("USB\\VID_1\\A", kHdcGuid);
    m.AddDevice("USB\\VID_1\\B", "{36FC9E60-C465-11CF-8056-444553540000}");
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(DeviceTable[0].InstanceId, "USB\\VID_1\\B");
}

TEST(Inventory, DiskKeysAndUsbKeysAsTheRecordsNameThem) {
    // A disk key that does not open gives only the disk's instance ID.
    Win98Machine m;
    m.WriteInf("a,USB\\VID_1&PID_2\r\n");
    m.AddDevice("USB\\VID_1&PID_2\\1", kHdcGuid);
    m.AddDevice("XDISK\\GENERIC\\USB&VID_1&PID_2&100", kDiskGuid,
                {{"Mfg", "OEM"}, {"CurrentDriveLetterAssignment", "E"}, {"DeviceDesc", "Disk"}});
    m.Fail("RegOpenKeyA", 0, 0, "XDISK");
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(Fields(DeviceTable[0]),
              (std::vector<std::string>{"USB\\VID_1&PID_2\\1", "USB&VID_1&PID_2&100",
                                        "XDISK\\GENERIC\\USB&VID_1&PID_2&100", "VID_1&PID_2&1", "",
                                        "", "", "", "", ""}));
    EXPECT_TRUE(m.CallsTo("SetupDiGetDeviceRegistryPropertyA").empty());

    // Without a tail the USB key is formed with the empty text: Enum\USB itself.
    Win98Machine root;
    root.WriteInf("a,ROOT\\HDC\r\n");
    root.AddDevice("ROOT\\HDC\\0000", kHdcGuid, {{"Driver", "HDC\\0000"}});
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(DeviceTable[0].PairingKey, "");
    EXPECT_EQ(DeviceTable[0].DriverKey, "HDC\\0000");
    EXPECT_EQ(DeviceTable[0].UsbDriverKey, "");
    auto opens = root.CallsTo("RegOpenKeyA");
    EXPECT_EQ(opens.back(), "RegOpenKeyA(HKLM, \"Enum\\USB\\\", &) = error 2");
}

} // namespace
