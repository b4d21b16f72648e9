#include "os/identify.h"
#include "test_machine.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    DWORD platform, major, minor;
    const char *csd;
    const char *name;
    const char *servicePack;
};

TEST(IdentifyOperatingSystem, NamesEveryRowOfTheVersionTable) {
    const Row rows[] = {
        {VER_PLATFORM_WIN32s, 3, 10, "Service Pack 9", "Windows 31", ""},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, " B", "Windows 95", " B"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, " A ", "Windows 98", " A "},
        {VER_PLATFORM_WIN32_WINDOWS, 7, 10, "", "Windows 98", ""}, // the major is not examined
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, "", "Windows ME", ""},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 9, "x", "Unknown OS", "x"},
        {VER_PLATFORM_WIN32_NT, 3, 51, "Service Pack 5", "Windows NT3", "Service Pack 5"},
        {VER_PLATFORM_WIN32_NT, 4, 0, "Service Pack 6", "Windows NT4", "Service Pack 6"},
        {VER_PLATFORM_WIN32_NT, 5, 0, "Service Pack 3", "Windows 2000", "Service Pack 3"},
        {VER_PLATFORM_WIN32_NT, 5, 0, "", "Windows 2000", ""},
        {VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 2", "Windows XP", "Service Pack 2"},
        {VER_PLATFORM_WIN32_NT, 5, 2, "Service Pack 1", "Unknown OS", "Service Pack 1"},
        {VER_PLATFORM_WIN32_NT, 6, 0, "", "Unknown OS", ""},
        {VER_PLATFORM_WIN32_NT, 10, 0, "", "Unknown OS", ""},
    };
    for (const Row &row : rows) {
        TestMachine m;
        m.version = {row.platform, row.major, row.minor, 1, row.csd};
        std::string name = "stale", servicePack = "stale";
        EXPECT_TRUE(IdentifyOperatingSystem(name, servicePack));
        EXPECT_EQ(name, row.name) << row.platform << " " << row.major << "." << row.minor;
        EXPECT_EQ(servicePack, row.servicePack) << row.name;
        // The record handed to Windows is the 148-byte ANSI one.
        ASSERT_EQ(m.calls.Named("GetVersionExA").size(), 1u);
        EXPECT_EQ(m.calls.Named("GetVersionExA")[0].args[0], "size 148");
    }
}

TEST(IdentifyOperatingSystem, UnknownPlatformGetsNoNameTheCallerTestsFor) {
    TestMachine m;
    m.version = {3, 5, 0, 1, "Service Pack 3"};
    std::string name, servicePack;
    EXPECT_TRUE(IdentifyOperatingSystem(name, servicePack));
    EXPECT_NE(name, "Windows 2000");
    EXPECT_NE(name, "Windows 98");
    EXPECT_EQ(servicePack, "Service Pack 3");
}

TEST(IdentifyOperatingSystem, FailedVersionQueryEmptiesBothTexts) {
    TestMachine m;
    TestMachine::Win2000(m, "Service Pack 4");
    m.Fail("GetVersionExA");
    std::string name = "Windows 2000", servicePack = "Service Pack 4";
    EXPECT_FALSE(IdentifyOperatingSystem(name, servicePack));
    EXPECT_EQ(name, "");
    EXPECT_EQ(servicePack, "");
}

} // namespace
