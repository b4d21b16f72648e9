// The simulated device installer: which keys are devices, what the calls
// return for too-small buffers and wrong sizes, and what removal deletes.
#include "platform/win32.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const kHdc = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char *const kDisk = "{4D36E967-E325-11CE-BFC1-08002BE10318}";

// Instance IDs of the present devices, in the order the set lists them.
std::vector<std::string> ListedIds() {
    std::vector<std::string> ids;
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return {"INVALID_HANDLE_VALUE"};
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &element); ++i) {
        char id[256] = {};
        SetupDiGetDeviceInstanceIdA(set, &element, id, sizeof id, nullptr);
        ids.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ids;
}

TEST(SimDevices, ADeviceIsAKeyThreeLevelsBelowEnumThatNamesItsClass) {
    TestMachine m;
    TestMachine::Win98(m);
    m.SetString("HKLM\\Enum\\USB\\VID_1&PID_2\\Inst&0", "ClassGUID", kHdc);
    m.SetString("HKLM\\Enum\\Root\\disk\\0000", "ClassGUID", kDisk);
    m.SetString("HKLM\\Enum\\USB\\VID_1&PID_2", "ClassGUID", kHdc);                     // too high
    m.SetString("HKLM\\Enum\\USB\\VID_1&PID_2\\Inst&0\\Sub", "ClassGUID", kHdc);        // too deep
    m.SetString("HKLM\\Enum\\USB\\VID_3\\NoGuid", "ClassGUID", "not a GUID");           // no class
    m.SetDword("HKLM\\Enum\\USB\\VID_3\\DwordGuid", "ClassGUID", 7);                    // no class
    m.SetString("HKLM\\Enum\\USB\\VID_3\\Gone", "ClassGUID", kHdc);                     // unplugged
    m.SetString("HKLM\\System\\CurrentControlSet\\Enum\\PCI\\X\\1", "ClassGUID", kHdc); // NT's root
    m.absentDevices.insert("usb\\vid_3\\gone");

    // As stored, letter case included; absent devices left out.
    EXPECT_EQ(ListedIds(),
              (std::vector<std::string>{"Root\\disk\\0000", "USB\\VID_1&PID_2\\Inst&0"}));

    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
    EXPECT_EQ(std::memcmp(&element.ClassGuid,
                          "\x67\xE9\x36\x4D\x25\xE3\xCE\x11\xBF\xC1\x08\x00\x2B\xE1\x03\x18", 16),
              0);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 2, &element));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    element.cbSize = sizeof element + 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &element));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    SetupDiDestroyDeviceInfoList(set);

    TestMachine nt;
    TestMachine::Win2000(nt, "");
    nt.SetString("HKLM\\Enum\\USB\\A\\1", "ClassGUID", kHdc);
    nt.SetString("HKLM\\System\\CurrentControlSet\\Enum\\PCI\\X\\1", "ClassGUID", kHdc);
    EXPECT_EQ(ListedIds(), (std::vector<std::string>{"PCI\\X\\1"}));
    nt.Fail("SetupDiGetClassDevsA");
    EXPECT_EQ(ListedIds(), (std::vector<std::string>{"INVALID_HANDLE_VALUE"}));
}

TEST(SimDevices, SmallBuffersGetTheRequiredSizeAndNoText) {
    TestMachine m;
    TestMachine::Win98(m);
    m.SetString("HKLM\\Enum\\USB\\VID_1\\1234", "ClassGUID", kDisk);
    m.SetString("HKLM\\Enum\\USB\\VID_1\\1234", "DeviceDesc", "Flash");
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));

    char id[16];
    std::memset(id, 'x', sizeof id);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &element, id, 14, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 15u);
    EXPECT_EQ(id[0], 'x');
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &element, id, 15, &required));
    EXPECT_STREQ(id, "USB\\VID_1\\1234");

    BYTE desc[8];
    DWORD type = 0;
    required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_DEVICEDESC, &type, desc, 5,
                                                   &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 6u); // "Flash" and its terminator
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_DEVICEDESC, &type, desc,
                                                  sizeof desc, &required));
    EXPECT_STREQ(reinterpret_cast<char *>(desc), "Flash");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    // A text stored without its terminator still comes back with one.
    m.Key("HKLM\\Enum\\USB\\VID_1\\1234").values["DeviceDesc"].data.pop_back();
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_DEVICEDESC, &type, desc,
                                                  sizeof desc, &required));
    EXPECT_EQ(required, 6u);
    m.Key("HKLM\\Enum\\USB\\VID_1\\1234").values.erase("DeviceDesc");
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_DEVICEDESC, &type, desc,
                                                   sizeof desc, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

    // Only the enumeration speaks of a user buffer; the others call it a bad parameter.
    element.cbSize = 1;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &element, id, sizeof id, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
}

TEST(SimDevices, RemovalTakesTheDeviceAndItsDriverKeyButNeverAClass) {
    const std::string classRoot = "HKLM\\System\\CurrentControlSet\\Services\\Class";
    struct Case {
        const char *driver;
        bool driverKeyGoes;
    };
    const Case cases[] = {{"HDC\\0001", true},    {"HDC", false}, {"HDC\\", false},
                          {"\\HDC\\0001", false}, {"", false},    {"HDC\\0001\\Sub", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.driver);
        TestMachine m;
        TestMachine::Win98(m);
        m.SetString("HKLM\\Enum\\USB\\VID_1\\1", "ClassGUID", kHdc);
        m.SetString("HKLM\\Enum\\USB\\VID_1\\1", "Driver", c.driver);
        m.Key("HKLM\\Enum\\USB\\VID_1\\1\\LogConf");
        m.Key("HKLM\\Enum\\USB\\VID_1\\2");
        m.Key(classRoot + "\\HDC\\0001\\Sub");
        HDEVINFO set =
            SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA element{};
        element.cbSize = sizeof element;
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
        EXPECT_TRUE(SetupDiRemoveDevice(set, &element));
        EXPECT_FALSE(m.HasKey("HKLM\\Enum\\USB\\VID_1\\1"));
        EXPECT_TRUE(m.HasKey("HKLM\\Enum\\USB\\VID_1\\2"));
        EXPECT_EQ(m.HasKey(classRoot + "\\HDC\\0001"), !c.driverKeyGoes);
        EXPECT_TRUE(m.HasKey(classRoot + "\\HDC"));
        // The element now names a removed device.
        EXPECT_FALSE(SetupDiRemoveDevice(set, &element));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
        SetupDiDestroyDeviceInfoList(set);
    }

    TestMachine m;
    TestMachine::Win98(m);
    m.SetString("HKLM\\Enum\\USB\\VID_1\\1", "ClassGUID", kHdc);
    m.SetString("HKLM\\Enum\\USB\\VID_1\\1", "Driver", "HDC\\0001");
    m.Key(classRoot + "\\HDC\\0001");
    m.Fail("SetupDiRemoveDevice");
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
    EXPECT_FALSE(SetupDiRemoveDevice(set, &element));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(m.HasKey("HKLM\\Enum\\USB\\VID_1\\1"));
    EXPECT_TRUE(m.HasKey(classRoot + "\\HDC\\0001"));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SimDevices, CompareStringIsCaseSensitiveAndCanFail) {
    TestMachine m;
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "USB\\A&1", -1, "USB\\A&1", -1), CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "", -1, "", -1), CSTR_EQUAL);
    EXPECT_NE(CompareStringA(LOCALE_USER_DEFAULT, 0, "usb\\a&1", -1, "USB\\A&1", -1), CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "abc", 2, "ab", -1), CSTR_EQUAL);
    m.Fail("CompareStringA", ERROR_INVALID_PARAMETER, 1);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "x", -1, "x", -1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "x", -1, "x", -1), CSTR_EQUAL);
}

} // namespace
