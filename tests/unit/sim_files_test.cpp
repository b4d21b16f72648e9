// The simulated file system behaves as the clean-up code relies on Windows to.
#include "platform/win32.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const char *const kDriver = "C:\\WINDOWS\\system32\\drivers\\WDMOEM01.sys";

TEST(SimFiles, LookupIgnoresCaseAndAttributesGuardDeletion) {
    TestMachine m;
    m.WriteFile(kDriver, "MZ");
    m.files.SetAttributes(kDriver, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    const char *other = "c:\\windows\\SYSTEM32\\Drivers\\wdmoem01.SYS";
    EXPECT_EQ(GetFileAttributesA(other), static_cast<DWORD>(0x21));
    EXPECT_FALSE(DeleteFileA(other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateFileA(other, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // Only settable bits are kept: 0x11111110 leaves temporary and offline.
    EXPECT_TRUE(SetFileAttributesA(other, 0x21 & 0x11111110));
    EXPECT_EQ(GetFileAttributesA(kDriver), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(SetFileAttributesA(other, 0xFFFFFFFF & 0x11111110));
    EXPECT_EQ(GetFileAttributesA(kDriver),
              static_cast<DWORD>(FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE));
    EXPECT_TRUE(DeleteFileA(other));
    EXPECT_FALSE(m.Exists(kDriver));
    EXPECT_FALSE(DeleteFileA(kDriver));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\nowhere\\x.sys"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // A directory is not deleted as a file.
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\system32"),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\system32"));
}

TEST(SimFiles, FilesHeldOpenCannotBeOpenedOrDeleted) {
    TestMachine m;
    m.WriteFile(kDriver, "MZ");
    m.files.lockedByOthers.insert(kDriver);
    EXPECT_FALSE(DeleteFileA(kDriver));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    m.files.lockedByOthers.clear();

    HANDLE h = CreateFileA(kDriver, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA(kDriver, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileA(kDriver));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_TRUE(DeleteFileA(kDriver));
}

TEST(SimFiles, ReadWriteSeekAndCreateAlways) {
    TestMachine m;
    const char *inf = "C:\\WINDOWS\\inf\\usbstor.inf";
    m.WriteFile(inf, "0123456789");
    m.files.SetAttributes(inf, FILE_ATTRIBUTE_HIDDEN);
    HANDLE h = CreateFileA(inf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 10u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
    char buffer[16] = {};
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(h, buffer, 16, &read, nullptr));
    EXPECT_EQ(read, 10u); // a short read is still a success
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    CloseHandle(h);

    // CREATE_ALWAYS truncates, says the file existed, and gives new attributes.
    h = CreateFileA(inf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    CloseHandle(h);
    EXPECT_EQ(m.ReadFile(inf), "abc");
    EXPECT_EQ(GetFileAttributesA(inf), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

    // A handle opened for reading only cannot write.
    h = CreateFileA(inf, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    EXPECT_EQ(CreateFileA("C:\\WINDOWS\\inf\\absent.inf", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(SimFiles, FindFirstFileGivesTheLastWriteTimeThatDosDatesMayNotHold) {
    TestMachine m;
    const char *inf = "C:\\WINDOWS\\inf\\USBOEM01.inf";
    m.WriteFile(inf, "[Version]");
    struct Case {
        long long unixTime;
        bool dosDate;
    } cases[] = {
        {315532800, true},   // 1980-01-01 00:00:00
        {315532799, false},  // one second earlier
        {0, false},          // 1970
        {4354819199, true},  // 2107-12-31 23:59:59
        {4354819200, false}, // 2108
    };
    for (const Case &c : cases) {
        struct timespec times[2] = {{static_cast<time_t>(c.unixTime), 0},
                                    {static_cast<time_t>(c.unixTime), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, m.Host(inf).c_str(), times, 0), 0);
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(inf, &data);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(data.cFileName, "USBOEM01.inf");
        EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPECT_TRUE(FindClose(find));
        FILETIME local;
        EXPECT_TRUE(FileTimeToLocalFileTime(&data.ftLastWriteTime, &local));
        WORD date = 0, time = 0;
        EXPECT_EQ(FileTimeToDosDateTime(&local, &date, &time) != 0, c.dosDate) << c.unixTime;
        if (c.unixTime == 315532800) {
            EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
            EXPECT_EQ(time, 0);
        }
    }
    // The local time is what the bias makes of it: one hour east of UTC
    // brings 1979-12-31 23:30 UTC into 1980.
    m.files.timeZoneBias = -60;
    struct timespec late[2] = {{315531000, 0}, {315531000, 0}};
    ::utimensat(AT_FDCWD, m.Host(inf).c_str(), late, 0);
    WIN32_FIND_DATAA data;
    FindClose(FindFirstFileA(inf, &data));
    FILETIME local;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    WORD date, time;
    EXPECT_TRUE(FileTimeToDosDateTime(&local, &date, &time));

    EXPECT_EQ(FindFirstFileA("C:\\WINDOWS\\inf\\none.inf", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A directory is found, and says so.
    HANDLE dir = FindFirstFileA("C:\\WINDOWS\\inf", &data);
    ASSERT_NE(dir, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    FindClose(dir);
}

TEST(SimFiles, PathsCannotLeaveTheDrive) {
    TestMachine m;
    m.WriteFile("C:\\WINDOWS\\inf\\a.inf", "x");
    EXPECT_NE(GetFileAttributesA("C:\\..\\..\\WINDOWS\\inf\\a.inf"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA("\\WINDOWS\\inf\\a.inf"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA("D:\\WINDOWS\\inf\\a.inf"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\inf\\*.inf"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(SimVersionAndDirectory, TooSmallBuffersAndFailures) {
    TestMachine m;
    m.windowsDirectory = "C:\\WINNT";
    char buffer[100] = "old";
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 8), 9u); // size needed, terminator included
    EXPECT_STREQ(buffer, "old");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 9), 8u);
    EXPECT_STREQ(buffer, "C:\\WINNT");

    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&v));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    v.dwOSVersionInfoSize = sizeof v;
    m.version = {VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 3"};
    EXPECT_TRUE(GetVersionExA(&v));
    EXPECT_STREQ(v.szCSDVersion, "Service Pack 3");
    m.Fail("GetVersionExA");
    EXPECT_FALSE(GetVersionExA(&v));
}

TEST(SimDesktop, MessageBoxesWindowsAndWindowsInstaller) {
    TestMachine m;
    m.windows.push_back({"QuorbeMain", "Quorbe", true, {}});
    m.Key(std::string(sim::kUninstallKey) + "\\{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}");
    m.Key(std::string(sim::kUninstallKey) + "\\{00000000-0000-0000-0000-000000000000}");

    EXPECT_EQ(MessageBoxA(nullptr, "UnInstall finished!", " Success!", MB_OK), IDOK);
    ASSERT_EQ(m.messageBoxes.size(), 1u);
    EXPECT_EQ(m.messageBoxes[0].caption, " Success!");

    EXPECT_EQ(FindWindowA(nullptr, "Quorb"), nullptr);
    HWND w = FindWindowA(nullptr, "QUORBE"); // window titles match without regard to case
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(SendMessageA(w, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(m.windows[0].open);
    EXPECT_EQ(FindWindowA(nullptr, "Quorbe"), nullptr);

    HINSTANCE started =
        ShellExecuteA(nullptr, nullptr, "MsiExec.exe",
                      "/X {5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6} /qn", nullptr, SW_SHOW);
    EXPECT_GT(reinterpret_cast<std::uintptr_t>(started), 32u);
    EXPECT_FALSE(
        m.HasKey(std::string(sim::kUninstallKey) + "\\{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}"));
    EXPECT_TRUE(
        m.HasKey(std::string(sim::kUninstallKey) + "\\{00000000-0000-0000-0000-000000000000}"));
}

} // namespace
