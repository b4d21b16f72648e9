// The simulated registry behaves as the clean-up code relies on Windows to.
#include "platform/win32.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char *const kKey = "HKLM\\Enum\\USB\\VID_1234&PID_5678";

TEST(SimRegistry, NamesIgnoreCaseKeepTheirCaseAndEnumerateInOrder) {
    TestMachine m;
    m.Key(std::string(kKey) + "\\5&1A2B3C&0&1");
    m.Key(std::string(kKey) + "\\0001");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "enum\\usb\\vid_1234&PID_5678", &key), ERROR_SUCCESS);
    char name[256];
    ASSERT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "0001");
    ASSERT_EQ(RegEnumKeyA(key, 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "5&1A2B3C&0&1");
    EXPECT_EQ(RegEnumKeyA(key, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);

    // A name that does not fit: ERROR_MORE_DATA and nothing written.
    std::strcpy(name, "keep");
    EXPECT_EQ(RegEnumKeyA(key, 1, name, 12), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "keep");
    DWORD length = 12;
    FILETIME written;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, &written),
              ERROR_MORE_DATA);
    length = 13;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(length, 12u); // the length without the terminator
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST(SimRegistry, OpenNeverCreatesAndPathsFollowWindowsRules) {
    TestMachine m;
    m.Key("HKLM\\SOFTWARE\\DriveIcons\\E\\ZEVDRIVE");
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(m.HasKey("HKLM\\SOFTWARE\\Missing"));

    HKEY icons = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\DriveIcons", &icons), ERROR_SUCCESS);
    HKEY sub = nullptr;
    // A relative path may not begin with the separator; runs of it count once.
    EXPECT_EQ(RegOpenKeyA(icons, "\\E", &sub), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyA(icons, "E\\\\ZEVDRIVE\\", &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
    EXPECT_EQ(RegDeleteKeyA(icons, "\\"), ERROR_BAD_PATHNAME);
    EXPECT_TRUE(m.HasKey("HKLM\\SOFTWARE\\DriveIcons\\E"));
    RegCloseKey(icons);
    // Predefined roots can't be deleted.
    EXPECT_NE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_SUCCESS);
}

TEST(SimRegistry, DeleteTakesTheTreeOnWindows9xAndRefusesOnNt) {
    for (bool nt : {false, true}) {
        TestMachine m;
        if (nt)
            TestMachine::Win2000(m, "Service Pack 4");
        else
            TestMachine::Win98(m);
        m.SetString("HKLM\\Enum\\USB\\DEV\\1\\LogConf", "x", "y");
        m.Key("HKLM\\Enum\\USB\\DEV\\2");
        LONG status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\DEV\\1");
        EXPECT_EQ(status, nt ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
        EXPECT_EQ(m.HasKey("HKLM\\Enum\\USB\\DEV\\1\\LogConf"), nt);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\DEV\\2"), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\DEV\\2"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(m.CallsTo("RegDeleteKeyA").size(), 3u);
    }
}

TEST(SimRegistry, OpenHandleToADeletedKeyReportsItDeleted) {
    TestMachine m;
    TestMachine::Win98(m);
    m.SetString("HKLM\\Enum\\A\\B", "Driver", "HDC\\0001");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\A\\B", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\A"), ERROR_SUCCESS);
    BYTE data[16];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, data, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(SimRegistry, QueryValueReportsSizesAsWindowsDoes) {
    TestMachine m;
    m.SetString("HKLM\\K", "Driver", "HDC\\0001"); // 9 bytes with the terminator
    m.SetDword("HKLM\\K", "Count", 7);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);

    BYTE data[256];
    std::memset(data, 'x', sizeof data);
    DWORD type = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(data[0], 'x'); // nothing copied
    size = 256;
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<char *>(data), "HDC\\0001");

    // A missing value leaves the size as it was.
    size = 256;
    EXPECT_EQ(RegQueryValueExA(key, "Mfg", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 256u);
    // Size only.
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Count", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    RegCloseKey(key);
}

TEST(SimRegistry, SetValueStoresTheBytesGivenAndTheDefaultValue) {
    TestMachine m;
    m.Key("HKLM\\S\\USBSTOR");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "S\\USBSTOR", &key), ERROR_SUCCESS);
    const char text[] = "System32\\DRIVERS\\USBSTOR.SYS";
    EXPECT_EQ(RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE *>(text), sizeof text),
              ERROR_SUCCESS);
    EXPECT_EQ(m.Value("HKLM\\S\\USBSTOR", "imagepath"),
              "REG_EXPAND_SZ \"System32\\DRIVERS\\USBSTOR.SYS\"");
    EXPECT_EQ(m.registry.FindPath("HKLM\\S\\USBSTOR")->values["ImagePath"].data.size(), 29u);
    EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(m.registry.FindPath("HKLM\\S\\USBSTOR")->values[""].data.size(), 0u);
    RegCloseKey(key);
}

TEST(SimRegistry, Windows9xMeasuresAStringItselfAndRefusesOneWithoutText) {
    TestMachine m;
    TestMachine::Win98(m);
    const std::string icon = "HKLM\\S\\E\\DefaultIcon";
    m.SetString(icon, "", "zev.ico,0");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "S\\E\\DefaultIcon", &key), ERROR_SUCCESS);
    auto size = [&](const char *name) {
        return m.registry.FindPath(icon)->values[name].data.size();
    };

    // No text: refused, and the value keeps what it held.
    EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m.Value(icon, ""), "REG_SZ \"zev.ico,0\"");
    // The length given does not count: the text to its first zero, and that zero.
    const char text[] = "This\0Breaks";
    const BYTE *bytes = reinterpret_cast<const BYTE *>(text);
    EXPECT_EQ(RegSetValueExA(key, "A", 0, REG_SZ, bytes, sizeof text), ERROR_SUCCESS);
    EXPECT_EQ(size("A"), 5u);
    EXPECT_EQ(RegSetValueExA(key, "B", 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 0),
              ERROR_SUCCESS);
    EXPECT_EQ(size("B"), 1u);
    // Other types keep the length they are given, as on Windows NT.
    EXPECT_EQ(RegSetValueExA(key, "C", 0, REG_EXPAND_SZ, bytes, 2), ERROR_SUCCESS);
    EXPECT_EQ(size("C"), 2u);
    RegCloseKey(key);

    // Windows NT stores a REG_SZ without text as no bytes at all.
    TestMachine nt;
    TestMachine::Win2000(nt, "Service Pack 4");
    nt.SetString(icon, "", "zev.ico,0");
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "S\\E\\DefaultIcon", &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(nt.registry.FindPath(icon)->values[""].data.size(), 0u);
    RegCloseKey(key);
}

TEST(SimRegistry, EveryCallIsRecordedAndCanBeMadeToFail) {
    TestMachine m;
    m.Key("HKLM\\System\\ControlSet001");
    m.Fail("RegOpenKeyA", ERROR_ACCESS_DENIED, 2);
    HKEY a = nullptr, b = nullptr, c = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System", &a), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System", &b), ERROR_ACCESS_DENIED);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(RegOpenKeyA(a, "ControlSet001", &c), ERROR_SUCCESS);
    auto calls = m.CallsTo("RegOpenKeyA");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "RegOpenKeyA(HKLM, \"System\", &) = 0 [HKLM\\System]");
    EXPECT_EQ(calls[1], "RegOpenKeyA(HKLM, \"System\", &) = error 5");
    EXPECT_EQ(calls[2],
              "RegOpenKeyA(HKLM\\System, \"ControlSet001\", &) = 0 [HKLM\\System\\ControlSet001]");

    // The k-th call overall, whatever its name.
    sim::Fault byPosition;
    byPosition.sequence = m.calls.Count() + 1;
    m.calls.AddFault(byPosition);
    EXPECT_EQ(RegCloseKey(c), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(c), ERROR_SUCCESS);
    RegCloseKey(a);
}

} // namespace
