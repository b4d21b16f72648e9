#include "common/windows_directory.h"
#include "files/driver_files.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utime.h>

namespace {

const std::string kWdm = "C:\\WINDOWS\\system32\\drivers\\WDMOEM01.sys";
const std::string kPdr = "C:\\WINDOWS\\system\\iosubsys\\PDROEM01.pdr";
const std::string kInfOther = "C:\\WINDOWS\\inf\\other\\USBOEM01.inf";
const std::string kInf = "C:\\WINDOWS\\inf\\USBOEM01.inf";
const std::string kPnf = "C:\\WINDOWS\\inf\\MSZEVUmss.PNF";

struct Win98Machine : TestMachine {
    Win98Machine() {
        Win98(*this);
        std::strcpy(WindowsDirectory, "C:\\WINDOWS");
    }
};

void SetModified(TestMachine &m, const std::string &path, time_t when) {
    utimbuf times{when, when};
    ASSERT_EQ(::utime(m.Host(path).c_str(), &times), 0);
}

TEST(ForceDeleteFile, ClearsTheBlockingAttributesWithTheMaskAndTriesOnceMore) {
    // Read-only, hidden, system and archive go; temporary and offline stay.
    Win98Machine m;
    m.WriteFile(kWdm, "driver");
    m.files.SetAttributes(kWdm, 0x1127);
    ForceDeleteFile(kWdm);
    EXPECT_FALSE(m.Exists(kWdm));
    EXPECT_EQ(m.CallsTo("SetFileAttributesA")
                  .at(0)
                  .rfind("SetFileAttributesA(\"" + kWdm + "\", 0x1100)", 0),
              0u);
    EXPECT_EQ(m.CallsTo("DeleteFileA").size(), 2u);

    // Missing: the failed attribute query is masked as it is, nothing else.
    Win98Machine missing;
    ForceDeleteFile(kWdm);
    EXPECT_EQ(missing.CallsTo("SetFileAttributesA")
                  .at(0)
                  .rfind("SetFileAttributesA(\"" + kWdm + "\", 0x11111110)", 0),
              0u);
    EXPECT_EQ(missing.CallsTo("DeleteFileA").size(), 2u);
}

TEST(FileIsPresent, CountsDirectoriesAndFilesWithoutADosTimeAsAbsent) {
    Win98Machine m;
    m.WriteFile(kInf, "inf");
    EXPECT_TRUE(FileIsPresent(kInf));
    EXPECT_FALSE(FileIsPresent(kInfOther));
    std::filesystem::create_directories(m.Host(kInfOther));
    EXPECT_FALSE(FileIsPresent(kInfOther));
    SetModified(m, kInf, 157766400); // 1975-01-01
    EXPECT_FALSE(FileIsPresent(kInf));
    SetModified(m, kInf, 315964800); // 1980-01-06
    EXPECT_TRUE(FileIsPresent(kInf));
    EXPECT_EQ(m.CallsTo("FindFirstFileA").size(), m.CallsTo("FindClose").size() + 1);
}

TEST(DeleteDriverFiles, DeletesEachKindsFilesAndReturnsItsFixedStatus) {
    Win98Machine m;
    for (const std::string &path : {kWdm, kPdr, kInfOther, kInf, kPnf})
        m.WriteFile(path, "x");
    m.files.SetAttributes(kWdm, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    m.files.SetAttributes(kInf, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    m.files.SetAttributes(kPnf, FILE_ATTRIBUTE_READONLY); // no attribute reset for it

    EXPECT_EQ(DeleteDriverFiles(1), 20);
    EXPECT_FALSE(m.Exists(kWdm));
    EXPECT_EQ(DeleteDriverFiles(2), 25);
    EXPECT_FALSE(m.Exists(kPdr));
    m.calls.Clear();
    EXPECT_EQ(DeleteDriverFiles(3), 25);
    EXPECT_FALSE(m.Exists(kInfOther));
    EXPECT_FALSE(m.Exists(kInf));
    EXPECT_TRUE(m.Exists(kPnf));
    auto deletes = m.CallsTo("DeleteFileA");
    ASSERT_EQ(deletes.size(), 4u); // inf\other, inf twice (read-only), PNF once
    EXPECT_NE(deletes[0].find(kInfOther), std::string::npos);
    EXPECT_NE(deletes[3].find(kPnf), std::string::npos);

    // Nothing left: kind 3 tries only the precompiled INF, and still says 25.
    m.calls.Clear();
    EXPECT_EQ(DeleteDriverFiles(3), 25);
    EXPECT_EQ(m.CallsTo("DeleteFileA").size(), 1u);

    m.calls.Clear();
    EXPECT_EQ(DeleteDriverFiles(4), 25);
    EXPECT_EQ(DeleteDriverFiles(0), 0);
    EXPECT_EQ(DeleteDriverFiles(5), 0);
    EXPECT_EQ(m.calls.Count(), 0u);
}

TEST(DeleteDriverFiles, LeavesDirectoriesAndOldFilesOfTheInfNameAlone) {
    Win98Machine m;
    std::filesystem::create_directories(m.Host(kInfOther));
    m.WriteFile(kInf, "inf");
    SetModified(m, kInf, 157766400);
    DeleteDriverFiles(3);
    EXPECT_TRUE(std::filesystem::is_directory(m.Host(kInfOther)));
    EXPECT_TRUE(m.Exists(kInf));
    EXPECT_EQ(m.CallsTo("DeleteFileA").size(), 1u);
}

TEST(DeleteDriverFiles, FormsNoPathWithoutAWindowsDirectory) {
    Win98Machine m;
    m.WriteFile("C:\\system32\\drivers\\WDMOEM01.sys", "someone else's");
    WindowsDirectory[0] = '\0';
    for (int kind = 1; kind <= 3; ++kind)
        DeleteDriverFiles(kind);
    EXPECT_EQ(m.calls.Count(), 0u);
    EXPECT_TRUE(m.Exists("C:\\system32\\drivers\\WDMOEM01.sys"));
}

} // namespace
