#include "devices/removal.h"
#include "win98_devices.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const std::string kClassRoot = "System\\CurrentControlSet\\Services\\Class";

void SetTable(const std::vector<my_devdriData> &records) {
    DeviceTable = std::make_unique<my_devdriData[]>(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        DeviceTable[i] = records[i];
    RecordCount = static_cast<int>(records.size());
}

// The key paths handed to RegDeleteKeyA, in order.
std::vector<std::string> DeletedPaths(const sim::Machine &m) {
    std::vector<std::string> paths;
    for (const auto &call : m.calls.Named("RegDeleteKeyA"))
        paths.push_back(call.args[1].substr(1, call.args[1].size() - 2));
    return paths;
}

// The five paths a record names for the purge, empty fields as "(null)".
std::vector<std::string> PurgePaths(const std::string &instanceId, const std::string &disk,
                                    const std::string &diskDriver, const std::string &driver,
                                    const std::string &usbDriver) {
    auto text = [](const std::string &s) { return s.empty() ? std::string("(null)") : s; };
    return {"Enum\\" + text(instanceId), "Enum\\" + text(disk),
            kClassRoot + "\\" + text(diskDriver), kClassRoot + "\\" + text(driver),
            kClassRoot + "\\" + text(usbDriver)};
}

my_devdriData Record(const std::string &instanceId, const std::string &pairing,
                     const std::string &letter, const std::string &driver) {
    my_devdriData r;
    r.InstanceId = instanceId;
    r.PairingKey = pairing;
    r.DriveLetterAssignment = letter;
    r.DriverKey = driver;
    return r;
}

TEST(Removal, ARemovedDeviceTakesTheFiveKeysOfItsRecord) {
    Win98Machine m;
    m.AddDevice("USB\\VID_1&PID_2\\1", kHdcGuid, {{"Driver", "HDC\\0001"}});
    m.AddDevice("XDISK\\GENERIC\\USB&VID_1&PID_2&100", kDiskGuid);
    m.AddDevice("PCI\\VEN_8086&DEV_7111\\0", kHdcGuid, {{"Driver", "HDC\\0000"}});
    m.AddDevice("ESDI\\GENERIC\\IDE_DISK", kDiskGuid, {{"Driver", "DiskDrive\\0000"}});
    for (const char *key :
         {"HDC\\0000", "HDC\\0001", "HDC\\0009", "DiskDrive\\0000", "DiskDrive\\0003"})
        m.Key(kClassKey + key);
    my_devdriData record = Record("USB\\VID_1&PID_2\\1", "VID_1&PID_2&1", "E", "HDC\\0001");
    record.DiskInstanceId = "XDISK\\GENERIC\\USB&VID_1&PID_2&100";
    record.DiskDriverKey = "DiskDrive\\0003";
    record.UsbDriverKey = "HDC\\0009";
    SetTable({record});

    EXPECT_TRUE(RemoveInstalledDevices());
    EXPECT_EQ(m.CallsTo("SetupDiRemoveDevice").size(), 1u);
    EXPECT_EQ(DeletedPaths(m), PurgePaths(record.InstanceId, record.DiskInstanceId,
                                          "DiskDrive\\0003", "HDC\\0001", "HDC\\0009"));
    for (const char *gone :
         {"Enum\\USB\\VID_1&PID_2\\1", "Enum\\XDISK\\GENERIC\\USB&VID_1&PID_2&100",
          "System\\CurrentControlSet\\Services\\Class\\HDC\\0001",
          "System\\CurrentControlSet\\Services\\Class\\HDC\\0009",
          "System\\CurrentControlSet\\Services\\Class\\DiskDrive\\0003"})
        EXPECT_FALSE(m.HasKey(std::string("HKLM\\") + gone)) << gone;
    for (const char *kept : {"Enum\\PCI\\VEN_8086&DEV_7111\\0", "Enum\\ESDI\\GENERIC\\IDE_DISK",
                             "System\\CurrentControlSet\\Services\\Class\\HDC\\0000",
                             "System\\CurrentControlSet\\Services\\Class\\DiskDrive\\0000"})
        EXPECT_TRUE(m.HasKey(std::string("HKLM\\") + kept)) << kept;
    EXPECT_TRUE(m.deviceSets.empty());
    // The table is read, never changed.
    EXPECT_EQ(Fields(DeviceTable[0]), Fields(record));
}

TEST(Removal, ARecordWithoutDriveLetterPurgesItsSibling) {
    struct Case {
        const char *what;
        std::vector<my_devdriData> records;
        int purged;
    };
    const char *const present = "USB\\VID_1\\1";
    const Case cases[] = {
        {"own letter",
         {Record(present, "P", "E", "HDC\\r0"), Record("X\\Y\\1", "P", "", "HDC\\r1")},
         0},
        {"sibling after",
         {Record(present, "P", "", "HDC\\r0"), Record("X\\Y\\1", "P", "F", "HDC\\r1")},
         1},
        {"sibling before",
         {Record("X\\Y\\0", "P", "E", "HDC\\r0"), Record(present, "P", "", "HDC\\r1")},
         0},
        {"lowest of several, letter or not",
         {Record("X\\Y\\0", "Q", "E", "HDC\\r0"), Record(present, "P", "", "HDC\\r1"),
          Record("X\\Y\\2", "P", "", "HDC\\r2"), Record("X\\Y\\3", "P", "G", "HDC\\r3")},
         2},
        {"no sibling",
         {Record(present, "P", "", "HDC\\r0"), Record("X\\Y\\1", "Q", "F", "HDC\\r1")},
         0},
        {"case differs",
         {Record(present, "P", "", "HDC\\r0"), Record("X\\Y\\1", "p", "F", "HDC\\r1")},
         0},
        {"empty keys are equal",
         {Record(present, "", "", "HDC\\r0"), Record("X\\Y\\1", "Q", "", "HDC\\r1"),
          Record("X\\Y\\2", "", "", "HDC\\r2")},
         2},
        {"first of two records with the device's ID",
         {Record(present, "P", "E", "HDC\\r0"), Record(present, "P", "F", "HDC\\r1")},
         0},
        {"a second record of the device is no sibling",
         {Record(present, "P", "", "HDC\\r0"), Record(present, "P", "", "HDC\\r1"),
          Record("X\\Y\\2", "P", "F", "HDC\\r2")},
         2},
        {"nor is it when there is no other",
         {Record(present, "P", "", "HDC\\r0"), Record(present, "P", "", "HDC\\r1")},
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Win98Machine m;
        m.AddDevice(present, kHdcGuid);
        SetTable(c.records);
        EXPECT_TRUE(RemoveInstalledDevices());
        EXPECT_EQ(m.CallsTo("SetupDiRemoveDevice").size(), 1u);
        const my_devdriData &p = c.records[static_cast<size_t>(c.purged)];
        EXPECT_EQ(DeletedPaths(m), PurgePaths(p.InstanceId, "", "", p.DriverKey, ""));
    }
}

TEST(Removal, ARefusedRemovalDeletesNoKeyAndTheWalkGoesOn) {
    Win98Machine m;
    m.AddDevice("USB\\VID_1\\1", kHdcGuid);
    m.AddDevice("USB\\VID_1\\2", kHdcGuid);
    m.Key(kClassKey + "HDC\\0001");
    m.Key(kClassKey + "HDC\\0002");
    SetTable({Record("USB\\VID_1\\1", "A", "E", "HDC\\0001"),
              Record("USB\\VID_1\\2", "B", "F", "HDC\\0002")});
    m.Fail("SetupDiRemoveDevice", 0, 1);
    EXPECT_TRUE(RemoveInstalledDevices());
    EXPECT_EQ(m.CallsTo("SetupDiRemoveDevice").size(), 2u);
    EXPECT_EQ(DeletedPaths(m), PurgePaths("USB\\VID_1\\2", "", "", "HDC\\0002", ""));
    EXPECT_TRUE(m.HasKey(kEnumKey + "USB\\VID_1\\1"));
    EXPECT_TRUE(m.HasKey(kClassKey + "HDC\\0001"));
    EXPECT_FALSE(m.HasKey(kClassKey + "HDC\\0002"));
}

TEST(Removal, OnlyListedDevicesOfTheClassAreTouched) {
    Win98Machine m;
    m.AddDevice("USB\\VID_1\\1", kNetGuid);  // in the table, of another class
    m.AddDevice("USB\\VID_1\\2", kHdcGuid);  // of the class, not in the table
    m.AddDevice("USB\\VID_1\\3", kDiskGuid); // in the table, a disk
    SetTable({Record("USB\\VID_1\\1", "", "E", "Net\\0000"),
              Record("USB\\VID_1\\3", "", "E", "DiskDrive\\0000")});
    EXPECT_TRUE(RemoveInstalledDevices());
    EXPECT_EQ(m.CallsTo("SetupDiEnumDeviceInfo").size(), 4u);
    EXPECT_TRUE(m.CallsTo("SetupDiRemoveDevice").empty());
    EXPECT_TRUE(DeletedPaths(m).empty());
    ASSERT_EQ(m.CallsTo("CompareStringA").size(), 2u);
    for (const auto &call : m.CallsTo("CompareStringA"))
        EXPECT_NE(call.find("USB\\VID_1\\2"), std::string::npos) << call;

    // An empty table: every device is looked at, none removed.
    Win98Machine empty;
    empty.AddDevice("USB\\VID_1\\1", kHdcGuid);
    SetTable({});
    EXPECT_TRUE(RemoveInstalledDevices());
    EXPECT_EQ(empty.CallsTo("SetupDiEnumDeviceInfo").size(), 2u);
    EXPECT_TRUE(empty.CallsTo("SetupDiRemoveDevice").empty());

    // No device list: false, and nothing is done.
    Win98Machine none;
    none.AddDevice("USB\\VID_1\\1", kHdcGuid);
    SetTable({Record("USB\\VID_1\\1", "", "E", "HDC\\0001")});
    none.Fail("SetupDiGetClassDevsA");
    EXPECT_FALSE(RemoveInstalledDevices());
    EXPECT_TRUE(none.CallsTo("SetupDiEnumDeviceInfo").empty());
    EXPECT_TRUE(none.CallsTo("SetupDiDestroyDeviceInfoList").empty());
    EXPECT_TRUE(none.HasKey(kEnumKey + "USB\\VID_1\\1"));
}

TEST(Removal, NoFieldTakesARootAWholeEnumeratorOrAWholeClass) {
    const char *const hostile[] = {"HDC", "hdc",  "HDC\\",  "\\HDC", "\\\\HDC\\\\",
                                   "\\",  "\\\\", "(null)", "USB"};
    for (const char *value : hostile) {
        SCOPED_TRACE(value);
        for (int field = 0; field < 5; ++field) {
            Win98Machine m;
            m.Key(kClassKey + "HDC\\0000");
            m.Key(kClassKey + "USB\\0000");
            m.Key(kEnumKey + "USB\\VID_9\\1");
            m.Key(kEnumKey + "HDC\\X\\1");
            my_devdriData r;
            std::string *fields[] = {&r.InstanceId, &r.DiskInstanceId, &r.DiskDriverKey,
                                     &r.DriverKey, &r.UsbDriverKey};
            *fields[field] = value;
            EXPECT_EQ(RemoveDeviceKeys(r), 0);
            for (const char *kept : {"HDC\\0000", "USB\\0000"})
                EXPECT_TRUE(m.HasKey(kClassKey + kept)) << field;
            EXPECT_TRUE(m.HasKey(kEnumKey + "USB\\VID_9\\1")) << field;
            EXPECT_TRUE(m.HasKey(kEnumKey + "HDC\\X\\1")) << field;
            // The empty fields still make their "(null)" calls.
            EXPECT_EQ(DeletedPaths(m).size(), 4u) << field;
        }
    }

    // Sound fields: exactly the five calls, each deleting its key.
    Win98Machine m;
    m.Key(kEnumKey + "USB\\VID_1\\1");
    m.Key(kClassKey + "HDC\\0001\\Sub");
    my_devdriData r;
    r.InstanceId = "USB\\VID_1\\1";
    r.DriverKey = "HDC\\0001";
    EXPECT_EQ(RemoveDeviceKeys(r), 0);
    EXPECT_EQ(DeletedPaths(m), PurgePaths("USB\\VID_1\\1", "", "", "HDC\\0001", ""));
    EXPECT_FALSE(m.HasKey(kEnumKey + "USB\\VID_1\\1"));
    EXPECT_FALSE(m.HasKey(kClassKey + "HDC\\0001"));
    EXPECT_TRUE(m.HasKey(kClassKey + "HDC"));
    EXPECT_TRUE(m.HasKey(kEnumKey + "USB"));
}

TEST(Removal, InventoryThenRemovalClearsThePackageAndNothingElse) {
    Win98Machine m;
    m.WriteInf("%Stick%=Install,USB\\VID_1234&PID_5678\r\n"
               "%Child%=Install,XBUS\\DISK\r\n");
    // A stick with its disk on E:.
    m.AddDevice("USB\\VID_1234&PID_5678\\0001", kHdcGuid, {{"Driver", "HDC\\0001"}});
    m.AddDevice("XDISK\\GENERIC\\USB&VID_1234&PID_5678&000100", kDiskGuid,
                {{"CurrentDriveLetterAssignment", "E"}, {"Driver", "DiskDrive\\0003"}});
    // Its child device, whose record has no disk: the stick's keys go with it.
    m.AddDevice("XBUS\\DISK\\USB&VID_1234&PID_5678&0001", kHdcGuid, {{"Driver", "HDC\\0005"}});
    // The package's stick, unplugged: stays.
    m.AddDevice("USB\\VID_1234&PID_5678\\0002", kHdcGuid, {{"Driver", "HDC\\0002"}});
    m.absentDevices.insert("USB\\VID_1234&PID_5678\\0002");
    // The machine's own controller and disk.
    m.AddDevice("PCI\\VEN_8086&DEV_7111\\0", kHdcGuid, {{"Driver", "HDC\\0000"}});
    m.AddDevice("ESDI\\GENERIC\\IDE_DISK", kDiskGuid,
                {{"CurrentDriveLetterAssignment", "C"}, {"Driver", "DiskDrive\\0000"}});
    for (const char *key :
         {"HDC\\0000", "HDC\\0001", "HDC\\0002", "HDC\\0005", "DiskDrive\\0000", "DiskDrive\\0003"})
        m.Key(kClassKey + key);

    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 2);
    EXPECT_EQ(DeviceTable[1].DriveLetterAssignment, "");
    EXPECT_EQ(DeviceTable[1].PairingKey, DeviceTable[0].PairingKey);
    EXPECT_TRUE(RemoveInstalledDevices());

    for (const char *gone :
         {"USB\\VID_1234&PID_5678\\0001", "XDISK\\GENERIC\\USB&VID_1234&PID_5678&000100",
          "XBUS\\DISK\\USB&VID_1234&PID_5678&0001"})
        EXPECT_FALSE(m.HasKey(kEnumKey + gone)) << gone;
    for (const char *gone : {"HDC\\0001", "HDC\\0005", "DiskDrive\\0003"})
        EXPECT_FALSE(m.HasKey(kClassKey + gone)) << gone;
    for (const char *kept :
         {"USB\\VID_1234&PID_5678\\0002", "PCI\\VEN_8086&DEV_7111\\0", "ESDI\\GENERIC\\IDE_DISK"})
        EXPECT_TRUE(m.HasKey(kEnumKey + kept)) << kept;
    for (const char *kept : {"HDC\\0000", "HDC\\0002", "DiskDrive\\0000"})
        EXPECT_TRUE(m.HasKey(kClassKey + kept)) << kept;
}

TEST(Removal, HostileDriverValuesFromInventoryToPurgeLeaveEveryClass) {
    Win98Machine m;
    m.WriteInf("a,ROOT\\OEMDISK\r\n");
    // No tail: the USB key is Enum\USB itself, whose Driver value is no
    // device's and is not taken.
    m.AddDevice("ROOT\\OEMDISK\\0000", kHdcGuid, {{"Driver", "hdc"}});
    m.SetString(kEnumKey + "USB", "Driver", "USB\\");
    m.AddDevice("XDISK\\GENERIC\\ROOT&OEMDISK&000000", kDiskGuid,
                {{"CurrentDriveLetterAssignment", "E"}, {"Driver", "\\DiskDrive"}});
    m.AddDevice("USB\\ROOT_HUB\\0", "{36FC9E60-C465-11CF-8056-444553540000}");
    for (const char *key : {"HDC\\0000", "USB\\0000", "DiskDrive\\0000"})
        m.Key(kClassKey + key);
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(RecordCount, 1);
    EXPECT_EQ(DeviceTable[0].UsbDriverKey, "");
    EXPECT_TRUE(RemoveInstalledDevices());
    EXPECT_FALSE(m.HasKey(kEnumKey + "ROOT\\OEMDISK\\0000"));
    EXPECT_FALSE(m.HasKey(kEnumKey + "XDISK\\GENERIC\\ROOT&OEMDISK&000000"));
    for (const char *key : {"HDC\\0000", "USB\\0000", "DiskDrive\\0000"})
        EXPECT_TRUE(m.HasKey(kClassKey + key)) << key;
    EXPECT_TRUE(m.HasKey(kEnumKey + "USB\\ROOT_HUB\\0"));
    // Only the two device keys and the empty USB field's "(null)" were asked
    // for; no class key was named.
    EXPECT_EQ(DeletedPaths(m),
              (std::vector<std::string>{"Enum\\ROOT\\OEMDISK\\0000",
                                        "Enum\\XDISK\\GENERIC\\ROOT&OEMDISK&000000",
                                        kClassRoot + "\\(null)"}));
}

} // namespace
