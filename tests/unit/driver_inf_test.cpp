#include "common/windows_directory.h"
#include "devices/device_common.h"
#include "devices/driver_inf.h"
#include "platform/sim/guid.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char *const kOther = "C:\\WINDOWS\\inf\\other\\USBOEM01.inf";
const char *const kInfDir = "C:\\WINDOWS\\inf\\USBOEM01.inf";

std::string Inf(const std::string &section, const std::string &version = "Class=HDC\n") {
    return "[Version]\nSignature=\"$CHICAGO$\"\n" + version + "[MSOEM01SECTION]\n" + section;
}

struct DriverInfTest : ::testing::Test {
    DriverInfTest() {
        TestMachine::Win98(m);
        std::strcpy(WindowsDirectory, "C:\\WINDOWS");
    }
    ~DriverInfTest() override { std::memset(WindowsDirectory, 0, sizeof WindowsDirectory); }
    TestMachine m;
};

TEST_F(DriverInfTest, FieldIsTheTextBetweenTheFirstAndSecondComma) {
    m.WriteFile(kOther, Inf("A,USB\\VID_1234&PID_5678\n"
                            "A,USB\\VID_1234&PID_5678,USB\\CLASS_08\n"
                            "A\n"
                            "A,,B\n"
                            ",B\n"
                            "%Desc%=Install,USB\\VID_9999&PID_0001\n"
                            "long," +
                            std::string(250, 'x') + "\n" + "long," + std::string(251, 'x') +
                            "\n[Strings]\nDesc=\"Disk, removable\"\n"));
    HINF inf = OpenDriverInf();
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CountInfLines(inf, kDriverInfSection), 8);
    const char *expected[] = {"USB\\VID_1234&PID_5678", "USB\\VID_1234&PID_5678", "", "", "B",
                              "USB\\VID_9999&PID_0001"};
    for (int i = 0; i < 6; ++i) {
        std::string field = "stale";
        EXPECT_TRUE(ReadInfLineField(inf, kDriverInfSection, i, field)) << i;
        EXPECT_EQ(field, expected[i]) << i;
    }
    // 256 bytes with the terminator still fit; one more does not.
    std::string field = "stale";
    EXPECT_TRUE(ReadInfLineField(inf, kDriverInfSection, 6, field));
    EXPECT_EQ(field, std::string(250, 'x'));
    field = "stale";
    EXPECT_FALSE(ReadInfLineField(inf, kDriverInfSection, 7, field));
    EXPECT_FALSE(ReadInfLineField(inf, kDriverInfSection, 8, field));
    EXPECT_EQ(field, "stale");
    ASSERT_EQ(m.CallsTo("SetupGetLineTextA").size(), 8u);
    EXPECT_EQ(m.CallsTo("SetupGetLineTextA")[0],
              "SetupGetLineTextA(&, NULL, NULL, NULL, &, 256, &) = TRUE [\"A,USB\\VID_1234&PID_"
              "5678\"]");
    SetupCloseInfFile(inf);
}

TEST_F(DriverInfTest, InfIsLookedForInOtherThenInTheInfDirectory) {
    m.WriteFile(kInfDir, Inf("a,X\\1\nb,X\\2\nc,X\\3\n", "Class=DiskDrive\n"));
    HINF inf = OpenDriverInf();
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CountInfLines(inf, kDriverInfSection), 3);
    EXPECT_EQ(CountInfLines(inf, "NoSuchSection"), 0);
    SetupCloseInfFile(inf);
    EXPECT_EQ(m.CallsTo("GetFileAttributesA"),
              std::vector<std::string>{"GetFileAttributesA(\"C:\\WINDOWS\\inf\\other\\USBOEM01."
                                       "inf\") = INVALID_FILE_ATTRIBUTES [error 3]"});
    EXPECT_EQ(m.CallsTo("SetupOpenInfFileA")[0].rfind(
                  "SetupOpenInfFileA(\"C:\\WINDOWS\\inf\\USBOEM01.inf\", NULL, 0x2, &) = 0x", 0),
              0u);

    GUID guid = kHardDiskControllerClass;
    EXPECT_TRUE(GetInfClassGuid(guid));
    EXPECT_TRUE(SameClass(guid, kDiskDriveClass));
    auto queries = m.CallsTo("SetupDiGetINFClassA");
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0].rfind("SetupDiGetINFClassA(\"C:\\WINDOWS\\inf\\Other\\USBOEM01.inf\", &, "
                               "&, 256, NULL) = FALSE",
                               0),
              0u);
    EXPECT_EQ(queries[1].rfind("SetupDiGetINFClassA(\"C:\\WINDOWS\\inf\\USBOEM01.inf\", &, &, 256, "
                               "NULL) = TRUE",
                               0),
              0u);
    EXPECT_EQ(m.CallsTo("SetupDiClassGuidsFromNameExA")[0].rfind(
                  "SetupDiClassGuidsFromNameExA(\"DiskDrive\", &, 1, &, NULL, NULL) = TRUE", 0),
              0u);
}

TEST_F(DriverInfTest, AnUnreadableInfInOtherIsUsedForOpeningButNotForTheClass) {
    // A directory of that name: present for opening, which then fails.
    std::filesystem::create_directories(m.Host(kOther));
    m.WriteFile(kInfDir, Inf("a,X\\1\n", "Class=DiskDrive\n"));
    HINF inf = OpenDriverInf();
    EXPECT_EQ(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CountInfLines(inf, kDriverInfSection), 0);
    EXPECT_EQ(m.CallsTo("SetupOpenInfFileA").size(), 1u);
    EXPECT_TRUE(m.CallsTo("SetupGetLineByIndexA").empty());
    GUID guid = kHardDiskControllerClass;
    EXPECT_TRUE(GetInfClassGuid(guid));
    EXPECT_TRUE(SameClass(guid, kDiskDriveClass));

    // A file that is no INF: the same.
    std::filesystem::remove(m.Host(kOther));
    m.WriteFile(kOther, "MZ\x90\x00 not an INF");
    inf = OpenDriverInf();
    EXPECT_EQ(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CountInfLines(inf, kDriverInfSection), 0);
    EXPECT_TRUE(m.CallsTo("SetupGetLineByIndexA").empty());
    EXPECT_TRUE(m.CallsTo("SetupCloseInfFile").empty());
}

TEST_F(DriverInfTest, ClassIsWhatTheNameLookupLeaves) {
    struct Case {
        const char *what;
        const char *version; // nullptr: no INF at all
        const char *failing; // a call made to fail
        bool resolved;
        const GUID *expected;
    };
    const GUID gadget = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 1, 2, 3, 4, 5, 6}};
    const Case cases[] = {
        {"name lookup wins over the INF's GUID",
         "Class=DiskDrive\nClassGUID={11111111-2222-3333-4444-010203040506}\n", nullptr, true,
         &kDiskDriveClass},
        {"a name no class bears keeps the INF's GUID",
         "Class=Gadget\nClassGUID={11111111-2222-3333-4444-010203040506}\n", nullptr, true,
         &gadget},
        {"no INF", nullptr, nullptr, false, nullptr},
        {"no class in the INF", "Provider=OEM\n", nullptr, false, nullptr},
        {"name lookup fails", "Class=DiskDrive\n", "SetupDiClassGuidsFromNameExA", false, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestMachine fresh;
        TestMachine::Win98(fresh);
        if (c.version) fresh.WriteFile(kOther, Inf("", c.version));
        if (c.failing) fresh.Fail(c.failing);
        GUID guid = kHardDiskControllerClass;
        EXPECT_EQ(GetInfClassGuid(guid), c.resolved);
        EXPECT_EQ(sim::GuidText(guid),
                  sim::GuidText(c.resolved ? *c.expected : kHardDiskControllerClass));
    }

    // Without a Windows directory no path is formed and nothing is asked.
    TestMachine fresh;
    WindowsDirectory[0] = '\0';
    GUID guid = kHardDiskControllerClass;
    EXPECT_FALSE(GetInfClassGuid(guid));
    EXPECT_EQ(OpenDriverInf(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fresh.calls.Count(), 0u);
}

} // namespace
