// A capture floppy is often one the customer reused: names Windows could not
// take elsewhere on it must not refuse it, while inside the capture every
// entry must be one Windows opens by its own name, and no two by one name.
#include "fat.h"
#include "folder.h"
#include "names.h"
#include "windows_name.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace simio::fat::layout;
using simio::Node;

// A change to the directory entry whose DIR_Name is `entry` (blank-padded 8.3).
struct Patch {
    enum { kRename, kAttrOr, kFirstUnit } what;
    std::string entry, name; // kRename: the new DIR_Name
    std::uint32_t value = 0; // kAttrOr: bits; kFirstUnit: the long name's first unit
};

struct Case {
    const char *title;
    const char *folder; // where the entries go: CAPTURE is the part read
    std::vector<std::string> names;
    std::vector<Patch> patches;
    std::vector<std::string> mentions; // in the refusal; none: accepted
};

// A file, or a folder when `name` ends in a backslash.
Node Entry(std::string name) {
    Node node;
    bool folder = name.back() == '\\';
    if (folder) name.pop_back();
    node.name = name;
    node.attributes = folder ? simio::kDirectory : simio::kArchive;
    node.bytes = folder ? "" : "x";
    return node;
}

// The offset of the directory entry named `name11` below the root folder.
std::size_t EntryAt(const std::string &image, const std::string &name11) {
    for (std::size_t at = 19 * 512; at + kEntryBytes <= image.size(); at += kEntryBytes)
        if (image.compare(at + DIR_Name.at, DIR_Name.size, name11) == 0 &&
            image[at + DIR_Attr.at] != kLongName)
            return at;
    ADD_FAILURE() << "no entry " << name11;
    return 0;
}

void Apply(const Patch &patch, std::string &image) {
    std::size_t at = EntryAt(image, patch.entry);
    if (patch.what == Patch::kAttrOr) image[at + DIR_Attr.at] |= static_cast<char>(patch.value);
    if (patch.what == Patch::kFirstUnit)
        simio::fat::detail::Put(image, at - kEntryBytes + LongNameUnit(0), 2, patch.value);
    if (patch.what != Patch::kRename) return;
    image.replace(at + DIR_Name.at, DIR_Name.size, patch.name);
    // Its long name stays its own: the checksum follows the new short name.
    auto sum = simio::fat::detail::ShortNameSum(
        reinterpret_cast<const std::uint8_t *>(image.data() + at + DIR_Name.at));
    for (std::size_t e = at - kEntryBytes; image[e + LDIR_Attr.at] == kLongName; e -= kEntryBytes)
        image[e + LDIR_Chksum.at] = static_cast<char>(sum);
}

const std::string kE = "\xC3\xA9"; // é

const Case kCases[] = {
    {"an OEM short name outside the capture",
     "OTHER",
     {"OEM.TXT"},
     {{Patch::kRename, "OEM     TXT", "OEM\x82    TXT"}},
     {}},
    {"an OEM short name inside it",
     "CAPTURE",
     {"OEM.TXT"},
     {{Patch::kRename, "OEM     TXT", "OEM\x82    TXT"}},
     {"\\CAPTURE\\OEM<82>.TXT: a short name with characters of the OEM code page"}},
    {"a long name of 200 e-acutes",
     "CAPTURE",
     {[] {
         std::string s;
         for (int i = 0; i < 200; ++i)
             s += kE;
         return s;
     }()},
     {},
     {}},
    {"a long name that is another entry's short name",
     "CAPTURE",
     {"decoy.reg", "registry.reg"},
     {{Patch::kRename, "REGISTRYREG", "REGIST~1REG"},
      {Patch::kRename, "DECOY   REG", "REGISTRYREG"}},
     {"\\CAPTURE\\decoy.reg and \\CAPTURE\\registry.reg", "opens only \\CAPTURE\\decoy.reg"}},
    {"two entries of one short name",
     "CAPTURE",
     {"first file.txt", "second file.txt"},
     {{Patch::kRename, "SECOND~1TXT", "FIRSTF~1TXT"}},
     {"\\CAPTURE\\first file.txt and \\CAPTURE\\second file.txt", "FIRSTF~1.TXT"}},
    {"names equal but for non-ASCII case",
     "CAPTURE",
     {kE + ".txt", "x.txt"},
     {{Patch::kFirstUnit, "X       TXT", "", 0xC9}},
     {"\\CAPTURE\\" + kE + ".txt and \\CAPTURE\\\xC3\x89.txt"}},
    {"a blank short name",
     "CAPTURE",
     {"BLANK.TXT"},
     {{Patch::kRename, "BLANK   TXT", "        TXT"}},
     {"\\CAPTURE\\<20>.TXT: a short name that is blank"}},
    {"a folder that is also the label, outside",
     "OTHER",
     {"SUB\\"},
     {{Patch::kAttrOr, "SUB        ", "", simio::kVolumeId}},
     {}},
    {"a folder that is also the label, inside",
     "CAPTURE",
     {"SUB\\"},
     {{Patch::kAttrOr, "SUB        ", "", simio::kVolumeId}},
     {"\\CAPTURE\\SUB: an entry marked both a folder and the volume label"}},
    {"a lone surrogate outside",
     "OTHER",
     {"sur.txt"},
     {{Patch::kFirstUnit, "SUR     TXT", "", 0xD800}},
     {}},
    {"a lone surrogate inside",
     "CAPTURE",
     {"sur.txt"},
     {{Patch::kFirstUnit, "SUR     TXT", "", 0xD800}},
     {"\\CAPTURE\\SUR.TXT: a long name that is not UTF-16"}},
};

TEST(FatNames, OnlyThePartReadMustHoldNamesWindowsTakes) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.title);
        simio::fat::Volume volume;
        for (const char *folder : {"OTHER", "CAPTURE"}) {
            volume.root.push_back(Entry(std::string(folder) + "\\"));
            if (c.folder == std::string(folder))
                for (const std::string &name : c.names)
                    volume.root.back().children.push_back(Entry(name));
        }
        std::string image, error;
        ASSERT_TRUE(simio::fat::WriteFloppy(volume, image, error)) << error;
        for (const Patch &patch : c.patches)
            Apply(patch, image);
        ASSERT_TRUE(simio::fat::ReadImage(image, volume, error)) << error;
        ASSERT_EQ(volume.root.size(), 2u);
        ASSERT_EQ(volume.root[1].name, "CAPTURE");
        bool ok = simio::CheckNames(volume.root[1].children, "\\CAPTURE", error);
        EXPECT_EQ(ok, c.mentions.empty()) << error;
        for (const std::string &mention : c.mentions)
            EXPECT_NE(error.find(mention), std::string::npos) << error;
    }
}

// Windows' case fold, and lengths in UTF-16 units.
TEST(FatNames, NamesAreComparedAndCountedAsWindowsDoes) {
    const struct {
        std::string a, b;
        bool same;
    } folds[] = {
        {"readme.txt", "README.TXT", true},
        {"\xC3\xBF", "\xC5\xB8", true}, // ÿ Ÿ
        {"\xC4\xB3", "\xC4\xB2", true},
        {"\xC7\x85", "\xC7\x84", true}, // ĳ Ĳ, ǅ Ǆ
        {"\xCF\x82", "\xCE\xA3", true},
        {"\xD1\x8F", "\xD0\xAF", true}, // ς Σ, я Я
        {"\xD5\xA1", "\xD4\xB1", true},
        {"\xE1\xB8\x81", "\xE1\xB8\x80", true}, // ա Ա, ḁ Ḁ
        {"\xEF\xBD\x81", "\xEF\xBC\xA1", true}, // ａ Ａ
        {"\xC4\xB1", "I", false},
        {"\xC5\xBF", "S", false}, // ı, ſ
        {"\xC2\xB5", "\xCE\x9C", false},
        {"\xC3\xB7", "\xC3\x97", false}, // µ Μ, ÷ ×
        {"stra\xC3\x9F"
         "e",
         "STRASSE", false},
        {"\x82", "\xC2\x82", false},
    };
    for (const auto &f : folds)
        EXPECT_EQ(simio::SameWindowsName(f.a, f.b), f.same) << f.a << " " << f.b;
    const struct {
        std::string unit;
        int count;
        bool held;
    } lengths[] = {{"a", 255, true},
                   {"a", 256, false},
                   {kE, 255, true},
                   {kE, 256, false},
                   {"\xF0\x9F\x98\x80", 127, true},
                   {"\xF0\x9F\x98\x80", 128, false}};
    for (const auto &l : lengths) {
        std::string name;
        for (int i = 0; i < l.count; ++i)
            name += l.unit;
        EXPECT_EQ(simio::NotAWindowsName(name) == nullptr, l.held) << l.count << " x " << l.unit;
    }
}

// What the writer writes, its reader reads: 511 folders deep, and no deeper.
TEST(FatNames, TheWriterKeepsToTheReadersDepth) {
    for (int depth : {511, 512}) {
        simio::fat::Volume volume, again;
        Node *folder = nullptr;
        for (int i = 0; i < depth; ++i) {
            std::vector<Node> &into = folder ? folder->children : volume.root;
            into.push_back(Entry("D\\"));
            folder = &into.back();
        }
        std::string image, error;
        bool written = simio::fat::WriteFloppy(volume, image, error);
        EXPECT_EQ(written, depth <= simio::InputLimits{}.depth) << error;
        if (!written) {
            EXPECT_NE(error.find("folders more than 511 deep"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(simio::fat::ReadImage(image, again, error)) << error;
        int read = 0;
        for (const std::vector<Node> *level = &again.root; !level->empty(); ++read)
            level = &level->front().children;
        EXPECT_EQ(read, depth);
    }
}

// A machine folder's names must differ in more than case as Windows folds it, and
// its files are found whatever their case.
TEST(FatNames, AMachineFolderFoldsCaseAsWindows) {
    const struct {
        std::string a, b;
        bool same;
    } pairs[] = {{kE + ".txt", "\xC3\x89.TXT", true},
                 {"a.txt", "A.TXT", true},
                 {kE + ".txt", "e.txt", false}};
    for (const auto &p : pairs) {
        std::filesystem::path dir = testing::TempDir() + "fat_names_machine";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "drive_c");
        std::ofstream(dir / "drive_c" / p.a) << "a";
        EXPECT_EQ(simio::EntryNoCase(dir / "drive_c", p.b).filename() == p.a, p.same) << p.b;
        std::ofstream(dir / "drive_c" / p.b) << "b";
        simio::InputError error;
        EXPECT_EQ(simio::CheckMachineFolder(dir, error), !p.same) << p.a << " " << p.b;
        std::filesystem::remove_all(dir);
    }
}

} // namespace
