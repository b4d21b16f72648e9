#include "app/uninstall.h"
#include "common/windows_directory.h"
#include "test_machine.h"

#include <gtest/gtest.h>

namespace {

const char *const kFinalMessage =
    "MessageBoxA(NULL, \"UnInstall finished!\", \" Success!\", 0x0) = IDOK";
const char *const kRemoveCompanion =
    "ShellExecuteA(NULL, NULL, \"MsiExec.exe\", \"/X {5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6} "
    "/qn\", NULL, 5)";

// Names of the calls that mark the sequence's steps, in order.
std::vector<std::string> Steps(const sim::Machine &m) {
    std::vector<std::string> steps;
    for (const auto &r : m.calls.Records())
        if (r.name == "GetWindowsDirectoryA" || r.name == "GetVersionExA" ||
            r.name == "MessageBoxA" || r.name == "ShellExecuteA" || r.name == "FindWindowA" ||
            r.name == "SendMessageA" || r.name == "SetupDiGetClassDevsA")
            steps.push_back(r.name);
    return steps;
}

void AddCompanion(sim::Machine &m) {
    m.windows.push_back({"QuorbeMain", "Quorbe", true, {}});
    m.registry.CreatePath(std::string(sim::kUninstallKey) +
                          "\\{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}");
}

TEST(Sequence, EveryPathEndsWithTheFinalActionsAndExitCodeZero) {
    struct Path {
        const char *what;
        void (*setup)(TestMachine &);
        bool message;
        bool listsDevices;
    };
    const Path paths[] = {
        {"Windows 2000 SP3", [](TestMachine &m) { TestMachine::Win2000(m, "Service Pack 3"); },
         true, false},
        {"Windows 2000 SP4", [](TestMachine &m) { TestMachine::Win2000(m, "Service Pack 4"); },
         true, false},
        {"Windows 2000 without service pack", [](TestMachine &m) { TestMachine::Win2000(m, ""); },
         true, false},
        {"Windows 98", [](TestMachine &m) { TestMachine::Win98(m); }, true, true},
        {"Windows 98 without device list",
         [](TestMachine &m) {
             TestMachine::Win98(m);
             m.Fail("SetupDiGetClassDevsA");
         },
         false, true},
        {"Windows XP",
         [](TestMachine &m) {
             m.version = {2, 5, 1, 2600, "Service Pack 2"};
         },
         true, false},
        {"Windows ME",
         [](TestMachine &m) {
             m.version = {1, 4, 90, 3000, ""};
         },
         true, false},
        {"failed version query", [](TestMachine &m) { m.Fail("GetVersionExA"); }, true, false},
    };
    for (const Path &path : paths) {
        SCOPED_TRACE(path.what);
        TestMachine m;
        path.setup(m);
        AddCompanion(m);
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0);

        std::vector<std::string> expected = {"GetWindowsDirectoryA", "GetVersionExA"};
        if (path.listsDevices) // once for the inventory, once for the removal
            expected.insert(expected.end(), 2, "SetupDiGetClassDevsA");
        if (path.message) expected.push_back("MessageBoxA");
        expected.insert(expected.end(), {"ShellExecuteA", "FindWindowA", "SendMessageA"});
        EXPECT_EQ(Steps(m), expected);

        if (path.message) {
            ASSERT_EQ(m.CallsTo("MessageBoxA").size(), 1u);
            EXPECT_EQ(m.CallsTo("MessageBoxA")[0], kFinalMessage);
        }
        ASSERT_EQ(m.CallsTo("ShellExecuteA").size(), 1u);
        EXPECT_EQ(m.CallsTo("ShellExecuteA")[0].rfind(kRemoveCompanion, 0), 0u);
        EXPECT_FALSE(
            m.HasKey(std::string(sim::kUninstallKey) + "\\{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}"));
        EXPECT_EQ(m.CallsTo("FindWindowA")[0], "FindWindowA(NULL, \"Quorbe\") = \"Quorbe\"");
        EXPECT_EQ(m.CallsTo("SendMessageA")[0].rfind("SendMessageA(0x10000, 0x10, 0, 0)", 0), 0u);
        EXPECT_FALSE(m.windows[0].open);
    }
}

TEST(Sequence, NoCompanionWindowMeansNoMessageSent) {
    TestMachine m;
    TestMachine::Win2000(m, "Service Pack 3");
    m.windows.push_back({"Other", "Quorbe 2", true, {}});
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0);
    EXPECT_EQ(m.CallsTo("SendMessageA").size(), 0u);
    EXPECT_TRUE(m.windows[0].open);
}

TEST(Sequence, OnlyTheFirstCompanionWindowIsClosed) {
    TestMachine m;
    m.windows.push_back({"A", "Quorbe", true, {}});
    m.windows.push_back({"B", "Quorbe", true, {}});
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0);
    EXPECT_FALSE(m.windows[0].open);
    EXPECT_TRUE(m.windows[1].open);
}

TEST(Sequence, WindowsDirectoryIsReadIntoOneHundredBytes) {
    TestMachine m;
    m.windowsDirectory = "C:\\WINNT";
    WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
    EXPECT_EQ(m.CallsTo("GetWindowsDirectoryA")[0].rfind("GetWindowsDirectoryA(&, 100) = 8", 0),
              0u);
    EXPECT_STREQ(WindowsDirectory, "C:\\WINNT");
}

TEST(Sequence, UnusableWindowsDirectoryLeavesNoPathToFormFrom) {
    // 99 characters fit the 100-byte buffer; 100 do not, and a failed call
    // gives nothing. Either way no path may start at the root of the drive.
    std::string fits = "C:\\" + std::string(96, 'W');
    std::string tooLong = "C:\\" + std::string(97, 'W');
    for (int failing = 0; failing < 2; ++failing) {
        TestMachine m;
        m.windowsDirectory = failing ? "C:\\WINDOWS" : tooLong;
        if (failing) m.Fail("GetWindowsDirectoryA");
        WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
        EXPECT_STREQ(WindowsDirectory, "");
        std::string path = "untouched";
        EXPECT_FALSE(FormWindowsPath(path, "%s\\inf\\%s", "USBOEM01.inf"));
        EXPECT_EQ(path, "untouched");
    }
    TestMachine m;
    m.windowsDirectory = fits;
    WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
    EXPECT_EQ(std::string(WindowsDirectory), fits);
    std::string path;
    EXPECT_TRUE(FormWindowsPath(path, "%s\\inf\\%s", "USBOEM01.inf"));
    EXPECT_EQ(path, fits + "\\inf\\USBOEM01.inf");
}

} // namespace
