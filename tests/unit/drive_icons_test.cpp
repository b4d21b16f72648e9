#include "shell/drive_icons.h"
#include "test_machine.h"

#include <gtest/gtest.h>

namespace {

const std::string kIcons =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

// E, H and _ (bit 30) are the package's; F is someone else's. The drive-icon
// key's own values and subkeys stand for everything outside the entries.
void AddEntries(TestMachine &m) {
    for (const char *marked : {"E", "H", "_"}) {
        m.Key(kIcons + "\\" + marked + "\\ZEVDRIVE");
        m.SetString(kIcons + "\\" + marked + "\\DefaultIcon", "", "Quorbe.exe,1");
    }
    m.SetString(kIcons + "\\E\\DefaultLabel", "", "Quorbe Disk");
    m.SetString(kIcons + "\\F\\DefaultIcon", "", "shell32.dll,7");
    m.SetString(kIcons + "\\F\\DefaultLabel", "", "Other Disk");
    m.Key(kIcons + "\\ZEVDRIVE");
    m.SetString(kIcons + "\\DefaultIcon", "", "keep");
    m.SetString(kIcons, "", "keep");
}

void ExpectOthersUntouched(const TestMachine &m) {
    EXPECT_EQ(m.Value(kIcons + "\\F\\DefaultIcon", ""), "REG_SZ \"shell32.dll,7\"");
    EXPECT_EQ(m.Value(kIcons + "\\F\\DefaultLabel", ""), "REG_SZ \"Other Disk\"");
    EXPECT_TRUE(m.HasKey(kIcons + "\\ZEVDRIVE"));
    EXPECT_EQ(m.Value(kIcons + "\\DefaultIcon", ""), "REG_SZ \"keep\"");
    EXPECT_EQ(m.Value(kIcons, ""), "REG_SZ \"keep\"");
    // No path below the drive-icon key begins with the separator.
    for (const auto &r : m.calls.Records()) {
        if (r.args.size() > 1) {
            EXPECT_NE(r.args[1].rfind("\"\\", 0), 0u) << r.Text();
        }
    }
}

size_t OpensOfTheDriveIconKey(const TestMachine &m) {
    size_t n = 0;
    for (const std::string &call : m.CallsTo("RegOpenKeyA"))
        n += call.rfind("RegOpenKeyA(HKLM, \"SOFTWARE\\Microsoft", 0) == 0;
    return n;
}

TEST(ClearDriveIcons, OnNtEmptiesIconAndLabelOfMarkedEntriesItMayNotDelete) {
    TestMachine m;
    TestMachine::Win2000(m, "Service Pack 4");
    AddEntries(m);
    EXPECT_TRUE(ClearDriveIcons(0xFFFFFFFF));
    EXPECT_EQ(OpensOfTheDriveIconKey(m), 32u);
    for (const char *marked : {"E", "H", "_"}) {
        EXPECT_TRUE(m.HasKey(kIcons + "\\" + marked + "\\ZEVDRIVE")) << marked;
        EXPECT_EQ(m.Value(kIcons + "\\" + marked + "\\DefaultIcon", ""), "REG_SZ \"\"") << marked;
    }
    EXPECT_EQ(m.Value(kIcons + "\\E\\DefaultLabel", ""), "REG_SZ \"\"");
    EXPECT_FALSE(m.HasKey(kIcons + "\\H\\DefaultLabel"));
    EXPECT_EQ(m.CallsTo("RegSetValueExA").size(), 4u);
    // The default value, REG_SZ, an empty text as data, length 0.
    for (const std::string &call : m.CallsTo("RegSetValueExA"))
        EXPECT_NE(call.find(", NULL, 0, 1, &, 0) = 0"), std::string::npos) << call;
    ExpectOthersUntouched(m);
}

TEST(ClearDriveIcons, On9xAnEntryThatCannotBeDeletedIsEmptiedToo) {
    TestMachine m;
    TestMachine::Win98(m);
    AddEntries(m);
    m.Fail("RegDeleteKeyA", ERROR_ACCESS_DENIED, 0, "\"E\"");
    EXPECT_TRUE(ClearDriveIcons(0xFFFFFFFF));
    EXPECT_EQ(m.Value(kIcons + "\\E\\DefaultIcon", ""), "REG_SZ \"\"");
    EXPECT_EQ(m.Value(kIcons + "\\E\\DefaultLabel", ""), "REG_SZ \"\"");
    EXPECT_FALSE(m.HasKey(kIcons + "\\H"));
}

TEST(ClearDriveIcons, On9xDeletesMarkedEntriesWithEverythingBelowThem) {
    TestMachine m;
    TestMachine::Win98(m);
    AddEntries(m);
    EXPECT_TRUE(ClearDriveIcons(0xFFFFFFFF));
    EXPECT_EQ(OpensOfTheDriveIconKey(m), 32u);
    for (const char *marked : {"E", "H", "_"})
        EXPECT_FALSE(m.HasKey(kIcons + "\\" + marked)) << marked;
    EXPECT_EQ(m.CallsTo("RegSetValueExA").size(), 0u);
    ExpectOthersUntouched(m);
}

TEST(ClearDriveIcons, SkipsAnIconOrLabelKeyThatCannotBeOpened) {
    TestMachine m;
    TestMachine::Win2000(m, "");
    AddEntries(m);
    m.Fail("RegOpenKeyA", ERROR_ACCESS_DENIED, 0, "\"E\\DefaultIcon\"");
    EXPECT_TRUE(ClearDriveIcons(1u << 4 | 1u << 7));
    EXPECT_EQ(m.Value(kIcons + "\\E\\DefaultIcon", ""), "REG_SZ \"Quorbe.exe,1\"");
    EXPECT_EQ(m.Value(kIcons + "\\E\\DefaultLabel", ""), "REG_SZ \"\"");
    EXPECT_EQ(m.Value(kIcons + "\\H\\DefaultIcon", ""), "REG_SZ \"\"");
}

TEST(ClearDriveIcons, VisitsOnlyTheSetBitsAndStopsWithoutTheDriveIconKey) {
    TestMachine m;
    TestMachine::Win98(m);
    AddEntries(m);
    EXPECT_TRUE(ClearDriveIcons(0));
    EXPECT_EQ(m.calls.Count(), 0u);

    EXPECT_TRUE(ClearDriveIcons(1u << 4));
    EXPECT_EQ(m.CallsTo("RegOpenKeyA").size(), 2u); // the drive-icon key and E's marker
    EXPECT_FALSE(m.HasKey(kIcons + "\\E"));
    EXPECT_TRUE(m.HasKey(kIcons + "\\H"));

    m.calls.Clear();
    m.registry.DeletePath(kIcons);
    EXPECT_FALSE(ClearDriveIcons(0xFFFFFFFF));
    EXPECT_EQ(m.calls.Count(), 1u);
}

} // namespace
