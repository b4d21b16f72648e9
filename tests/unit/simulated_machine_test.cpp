#include "platform/win32.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Relative key paths as Windows NT and Wine take them: no leading separator,
// runs of separators count as one, and the empty path is the key itself.
TEST(SimulatedRegistry, TakesRelativePathsAsWindowsNtDoes) {
    TestMachine m;
    TestMachine::Win2000(m, "Service Pack 4");
    m.Key("HKLM\\Icons\\E\\ZEVDRIVE");
    m.Key("HKLM\\Icons\\ZEVDRIVE");
    HKEY icons = nullptr, key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Icons", &icons), ERROR_SUCCESS);

    EXPECT_EQ(RegOpenKeyA(icons, "\\\\ZEVDRIVE", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyA(icons, "\\E", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegDeleteKeyA(icons, "\\"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyA(icons, "E\\\\ZEVDRIVE", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyA(icons, "E\\", &key), ERROR_SUCCESS);

    // "" deletes the key itself, refused while it has subkeys.
    EXPECT_EQ(RegDeleteKeyA(key, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyA(icons, "ZEVDRIVE", &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, ""), ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(icons);
    EXPECT_FALSE(m.HasKey("HKLM\\Icons\\ZEVDRIVE"));
    EXPECT_TRUE(m.HasKey("HKLM\\Icons\\E\\ZEVDRIVE"));
}

using MoveFileExFunction = BOOL (*)(LPCSTR, LPCSTR, DWORD);

MoveFileExFunction MoveFileExFromKernel32() {
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    return reinterpret_cast<MoveFileExFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "MoveFileExA")));
}

TEST(SimulatedKernel32, OffersMoveFileExOnlyOnNtAndMovesWithinOneDrive) {
    TestMachine m;
    TestMachine::Win98(m);
    EXPECT_EQ(MoveFileExFromKernel32(), nullptr);
    EXPECT_EQ(GetProcAddress(GetModuleHandleA("kernel32.dll"), reinterpret_cast<LPCSTR>(1)),
              nullptr); // an ordinal, not a name
    TestMachine::Win2000(m, "");
    MoveFileExFunction moveFileEx = MoveFileExFromKernel32();
    ASSERT_NE(moveFileEx, nullptr);

    char temporary[MAX_PATH];
    ASSERT_NE(GetTempFileNameA("C:\\WINDOWS\\", "~wt", 0, temporary), 0u);
    EXPECT_STREQ(temporary, "C:\\WINDOWS\\~wt1.TMP");
    m.WriteFile(temporary, "new");
    m.WriteFile("C:\\WINDOWS\\a.inf", "old");
    m.files.SetAttributes("C:\\WINDOWS\\a.inf", FILE_ATTRIBUTE_HIDDEN);
    std::filesystem::path d = m.Host("C:\\D");
    std::filesystem::create_directories(d);
    m.files.MapDrive('D', d);
    EXPECT_FALSE(moveFileEx(temporary, "D:\\a.inf", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
    EXPECT_FALSE(moveFileEx(temporary, "C:\\WINDOWS\\A.INF", 0));
    EXPECT_TRUE(moveFileEx(temporary, "C:\\WINDOWS\\A.INF",
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(m.ReadFile("C:\\WINDOWS\\a.inf"), "new");
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\a.inf"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(m.Exists(temporary));
}

} // namespace
