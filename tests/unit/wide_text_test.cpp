#include "common/windows_directory.h"
#include "files/wide_text.h"
#include "reference_patch.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

const std::string kInf = "C:\\WINDOWS\\inf\\usbstor.inf";
const std::string &kSearch = kUsbstorSearch;
const std::string &kReplacement = kUsbstorReplacement;
const std::string kBom = "\xFF\xFE";

struct Win2000Machine : TestMachine {
    Win2000Machine() {
        Win2000(*this, "Service Pack 4");
        std::strcpy(WindowsDirectory, "C:\\WINDOWS");
    }
    DWORD Attributes(const std::string &path) const {
        sim::ResolvedPath entry;
        files.Resolve(path, entry);
        return files.AttributesOf(entry);
    }
    std::set<std::string> InfDirectory() const {
        std::set<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(Host("C:\\WINDOWS\\inf")))
            names.insert(e.path().filename().string());
        return names;
    }
};

int Patch() {
    return ReplaceWideTextInFile(kInf, kSearch, kReplacement);
}

TEST(ReplaceWideTextInFile, ReplacesTheFirstWideOccurrenceAtAnyByteOffset) {
    std::string highBytes;
    for (char c : kSearch)
        highBytes += std::string{c, '\x04'};
    const std::string wide = WideText(kSearch);
    struct Case {
        const char *what;
        std::string before, after;
    } cases[] = {
        {"byte-order mark and text around it stay", kBom + WideText("Binary=" + kSearch + "\r\n"),
         kBom + WideText("Binary=" + kReplacement + "\r\n")},
        {"odd offset", "x" + wide + WideText(";"), "x" + WideText(kReplacement) + WideText(";")},
        {"extra percent sign stays in front", WideText("%" + kSearch),
         WideText("%" + kReplacement)},
        {"last compared byte is the file's last", wide.substr(0, wide.size() - 1),
         WideText(kReplacement)},
        {"last character past the end", wide.substr(0, wide.size() - 2),
         wide.substr(0, wide.size() - 2)},
        {"last character differs", WideText(kSearch.substr(0, 18) + "X"),
         WideText(kSearch.substr(0, 18) + "X")},
        {"high bytes are not compared", highBytes, WideText(kReplacement)},
        {"only the first of two", wide + wide, WideText(kReplacement) + wide},
        {"8-bit text is no match", "[" + kSearch + "]", "[" + kSearch + "]"},
        {"empty file", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Win2000Machine m;
        m.WriteFile(kInf, c.before);
        m.files.SetAttributes(kInf, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        EXPECT_EQ(Patch(), 1);
        EXPECT_EQ(m.ReadFile(kInf), c.after);
        EXPECT_EQ(m.Attributes(kInf), FILE_ATTRIBUTE_ARCHIVE); // those of a new file
        EXPECT_EQ(m.InfDirectory(), std::set<std::string>{"usbstor.inf"});
        ASSERT_EQ(m.CallsTo("MoveFileExA").size(), 1u);
        EXPECT_NE(m.CallsTo("MoveFileExA")[0].find(", 0x9) = TRUE"), std::string::npos);
    }
}

TEST(ReplaceWideTextInFile, LeavesTheFileAsItWasWhenItCannotRewriteIt) {
    const std::string old = kBom + WideText(kSearch);
    struct Case {
        const char *what;
        void (*setup)(Win2000Machine &);
        std::string after; // what the file holds afterwards
    } cases[] = {
        {"read-only",
         [](Win2000Machine &m) {
             m.files.SetAttributes(kInf, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
         },
         old},
        {"held open by another process",
         [](Win2000Machine &m) { m.files.lockedByOthers.insert(kInf); }, old},
        {"Windows 98 has no MoveFileExA", [](Win2000Machine &m) { TestMachine::Win98(m); }, old},
        {"truncated by another process while being read",
         [](Win2000Machine &m) {
             m.calls.onBegin = [&m](const sim::CallRecord &r) {
                 if (r.name == "ReadFile") std::filesystem::resize_file(m.Host(kInf), 5);
             };
         },
         old.substr(0, 5)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Win2000Machine m;
        m.WriteFile(kInf, old);
        c.setup(m);
        DWORD attributes = m.Attributes(kInf);
        EXPECT_EQ(Patch(), 0);
        EXPECT_EQ(m.ReadFile(kInf), c.after);
        EXPECT_EQ(m.Attributes(kInf), attributes);
        EXPECT_EQ(m.CallsTo("GetTempFileNameA").size(), 0u);
        EXPECT_EQ(m.InfDirectory(), std::set<std::string>{"usbstor.inf"});
    }
}

TEST(ReplaceWideTextInFile, RefusesFilesOfFourGibibytesWithoutReadingThem) {
    Win2000Machine m;
    m.WriteFile(kInf, "");
    std::filesystem::resize_file(m.Host(kInf), std::uintmax_t{1} << 32); // sparse
    EXPECT_EQ(Patch(), 0);
    EXPECT_EQ(std::filesystem::file_size(m.Host(kInf)), std::uintmax_t{1} << 32);
    EXPECT_EQ(m.CallsTo("ReadFile").size(), 0u);
    EXPECT_EQ(m.InfDirectory(), std::set<std::string>{"usbstor.inf"});
}

TEST(ReplaceWideTextInFile, CreatesNothingWhenThereIsNoFile) {
    Win2000Machine m;
    std::filesystem::create_directories(m.Host("C:\\WINDOWS\\inf"));
    EXPECT_EQ(Patch(), 0);
    EXPECT_TRUE(m.InfDirectory().empty());
    std::filesystem::create_directories(m.Host(kInf));
    EXPECT_EQ(Patch(), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m.Host(kInf)));
    EXPECT_EQ(m.CallsTo("CreateFileA").size(), 0u);
}

TEST(ReplaceWideTextInFile, AFailureAtAnyCallLeavesEitherTheOldOrTheNewBytes) {
    const std::string old = kBom + WideText("A=" + kSearch + "\r\n");
    const std::string patched = kBom + WideText("A=" + kReplacement + "\r\n");
    std::uint64_t calls;
    {
        Win2000Machine m;
        m.WriteFile(kInf, old);
        ASSERT_EQ(Patch(), 1);
        calls = m.calls.Count();
    }
    for (std::uint64_t k = 1; k <= calls; ++k) {
        Win2000Machine m;
        m.WriteFile(kInf, old);
        sim::Fault fault;
        fault.sequence = k;
        m.calls.AddFault(fault);
        int result = Patch();
        const std::string failed = m.calls.Records().at(k - 1).name;
        SCOPED_TRACE("failing call " + std::to_string(k) + ": " + failed);
        EXPECT_EQ(m.ReadFile(kInf), result ? patched : old);
        // A handle that can't be closed keeps its file in use until the
        // program ends; every other failure leaves nothing behind.
        if (failed != "CloseHandle") {
            EXPECT_EQ(m.InfDirectory(), std::set<std::string>{"usbstor.inf"});
        }
    }
}

} // namespace
