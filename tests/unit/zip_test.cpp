// Zip archives: hostile ones are refused, naming the fault, before anything
// is inflated past what they declare; written ones read back the same, byte
// for byte; and Info-ZIP agrees with both directions.
#include "folder.h"
#include "kit_zip.h"
#include "zip.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

using simio::InputLimits;
using simio::Node;
using simio::ZipEntry;

const std::time_t kWhen = 981173106; // 2001-02-03 04:05:06
const std::uint32_t kWhenDos = 0x2A4320A3, kDos = 0x0014, kUnix = 0x0314;
const InputLimits kAny;

void Put16(std::string &s, std::size_t v) {
    s += {char(v & 0xFF), char((v >> 8) & 0xFF)};
}
void Put32(std::string &s, std::size_t v) {
    Put16(s, v & 0xFFFF), Put16(s, (v >> 16) & 0xFFFF);
}
unsigned Le16(const std::string &s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}
std::uint32_t Le32(const std::string &s, std::size_t at) {
    return Le16(s, at) | Le16(s, at + 2) << 16;
}

std::uint32_t Crc(const std::string &bytes) {
    std::uint32_t crc = ~0u;
    for (unsigned char c : bytes)
        for (int k = 0; k < 8; ++k, c >>= 1)
            crc = (crc >> 1) ^ (((crc ^ c) & 1) ? 0xEDB88320u : 0);
    return ~crc;
}

// An entry of a zip put together byte by byte, to say what no honest writer would.
struct Raw {
    std::string name, packed, extra;
    std::uint32_t method = 0, flag = 0, madeBy = kUnix, crc = 0, size = 0, external = 0,
                  dosDate = kWhenDos, claimPacked = 0, localMethod = ~0u;
    Raw Set(std::uint32_t Raw::*field, std::uint32_t value) const {
        Raw r = *this;
        r.*field = value;
        return r;
    }
    Raw Set(std::string Raw::*field, std::string value) const {
        Raw r = *this;
        r.*field = std::move(value);
        return r;
    }
};

std::string Zip(const std::vector<Raw> &entries, int count = -1) {
    std::string zip, central;
    for (const Raw &e : entries) {
        std::size_t at = zip.size();
        auto fields = [&e](std::string &s, bool local) {
            Put16(s, 20), Put16(s, e.flag),
                Put16(s, local && ~e.localMethod ? e.localMethod : e.method);
            Put32(s, e.dosDate), Put32(s, e.crc);
            Put32(s, e.claimPacked ? e.claimPacked : e.packed.size()), Put32(s, e.size);
            Put16(s, e.name.size()), Put16(s, e.extra.size());
        };
        Put32(zip, 0x04034B50), fields(zip, true);
        zip += e.name + e.extra + e.packed;
        Put32(central, 0x02014B50), Put16(central, e.madeBy), fields(central, false);
        Put32(central, 0), Put16(central, 0), Put32(central, e.external), Put32(central, at);
        central += e.name + e.extra;
    }
    std::size_t n = count < 0 ? entries.size() : static_cast<std::size_t>(count), cd = zip.size();
    zip += central;
    Put32(zip, 0x06054B50), Put32(zip, 0), Put16(zip, n), Put16(zip, n);
    Put32(zip, central.size()), Put32(zip, cd), Put16(zip, 0);
    return zip;
}

// Raw deflate of `bytes`, as WriteZip stores it.
std::string Pack(const std::string &bytes) {
    std::string zip, error;
    EXPECT_TRUE(simio::WriteZip({{"x", bytes, 0, false}}, zip, error)) << error;
    return zip.substr(30 + Le16(zip, 26) + Le16(zip, 28), Le32(zip, 18));
}

Raw Stored(const std::string &name, const std::string &bytes = "x") {
    Raw r;
    r.name = name, r.packed = bytes, r.crc = Crc(bytes);
    r.size = static_cast<std::uint32_t>(bytes.size());
    return r;
}
Raw Deflated(const std::string &name, const std::string &bytes) {
    return Stored(name, bytes).Set(&Raw::method, 8).Set(&Raw::packed, Pack(bytes));
}
Raw Dos(const Raw &r, std::uint32_t external) {
    return r.Set(&Raw::madeBy, kDos).Set(&Raw::external, external);
}

std::string Noise(std::size_t n) {
    std::string s;
    for (std::uint32_t x = 1; s.size() < n; x = x * 1103515245u + 12345u)
        s += static_cast<char>('a' + (x >> 16) % 26);
    return s;
}
InputLimits Limits(std::size_t entries, int depth = 511, std::uint64_t total = 1u << 30) {
    InputLimits limits;
    limits.entries = entries, limits.depth = depth, limits.totalBytes = total;
    return limits;
}

// Info-ZIP's fields: Unicode Path (version 1, the header name's CRC) and Extended Timestamp.
std::string UnicodePath(const std::string &header, const std::string &name) {
    std::string field;
    Put16(field, 0x7075), Put16(field, 5 + name.size()), field += '\1', Put32(field, Crc(header));
    return field + name;
}
std::string Timestamp(std::uint32_t when) {
    std::string field;
    Put16(field, 0x5455), Put16(field, 5), field += '\1', Put32(field, when);
    return field;
}

TEST(Zip, HostileZipsAreRefusedNamingTheFault) {
    const std::string zeros(2 << 20, '\0'), text = Noise(20000), packed = Pack(text);
    const Raw big = Stored("f").Set(&Raw::size, 1u << 30), t = Deflated("t", text);
    const Raw s = Stored("s", "hello"), folder = Stored("d/", "");
    struct Case {
        std::string zip;
        InputLimits limits;
        std::string message;
    } cases[] = {
        {Zip({big, big, big, big}), kAny,
         "the zip's entries would unpack to 4294967296 bytes: more than 1073741824"},
        {Zip({Deflated("zeros", zeros)}), Limits(9, 9, 1 << 20),
         "the zip's entries would unpack to 2097152 bytes: more than 1048576"},
        {Zip({Stored("f", text)}), Limits(9, 9, 100), "the zip is 20100 bytes: more than 100"},
        {Zip({Deflated("zeros", zeros).Set(&Raw::size, 1000)}), kAny,
         "zeros: its data inflates to more than the 1000 bytes it declares"},
        {Zip({t.Set(&Raw::size, 20001)}), kAny,
         "t: its data inflates to 20000 bytes, where it declares 20001"},
        {Zip({t.Set(&Raw::packed, packed.substr(0, packed.size() / 2))}), kAny,
         "t: its deflate stream is cut short"},
        {Zip({t.Set(&Raw::packed, "\xff\xff")}), kAny, "t: bad deflate data (invalid block type)"},
        {Zip({s.Set(&Raw::crc, 0x3610A687)}), kAny,
         "s: its bytes do not match its CRC-32 (3610A686, where the zip says 3610A687)"},
        {Zip({s.Set(&Raw::size, 4)}), kAny, "s: stored with more than the 4 bytes it declares"},
        {Zip({s, Stored("b"), Stored("c"), Stored("d")}), Limits(3),
         "the zip holds 4 entries: more than 3"},
        {Zip({Stored("a/b/c/d")}), Limits(3),
         "more than 3 files and folders, with the folders the zip's paths imply"},
        {Zip({Stored("a/b/c/f")}), Limits(9, 2), "a/b/c/f: folders more than 2 deep"},
        {Zip({Stored("a/b/c/", "")}), Limits(9, 2), "a/b/c/: folders more than 2 deep"},
        {Zip({Stored("a/../../evil")}), kAny,
         "a/../../evil: a name with a '.' or '..' folder in it"},
        {Zip({Stored("./a")}), kAny, "./a: a name with a '.' or '..' folder in it"},
        {Zip({Stored("/etc/passwd")}), kAny, "/etc/passwd: an absolute name"},
        {Zip({Stored("c:/AUTOEXEC.BAT")}), kAny, "c:/AUTOEXEC.BAT: a name with a drive letter"},
        {Zip({Stored("..\\evil")}), kAny,
         "..\\evil: a name with a backslash, which Windows would take for a folder"},
        {Zip({Stored("a//b")}), kAny, "a//b: a name with an empty folder in it ('//')"},
        {Zip({Stored("")}), kAny, ": an entry without a name"},
        {Zip({Stored(std::string("a\0b", 3))}), kAny, "a\\x00b: a name with a NUL byte in it"},
        {Zip({Stored("\xff").Set(&Raw::flag, 0x800)}), kAny,
         "ÿ: a name that says it is UTF-8 and is not"},
        {Zip({s, s}), kAny, "s: the same path twice in the zip"},
        {Zip({folder, folder}), kAny, "d/: the same path twice in the zip"},
        {Zip({Stored("d"), folder}), kAny, "d/: the same path twice in the zip"},
        {Zip({Stored("d/b"), Stored("d")}), kAny, "d: the same path twice in the zip"},
        {Zip({Stored("d"), Stored("d/b")}), kAny, "d/b: a path through d, which is a file"},
        {Zip({folder.Set(&Raw::size, 3)}), kAny, "d/: a folder entry that holds 3 bytes"},
        {Zip({s.Set(&Raw::flag, 1)}), kAny, "s: an encrypted entry"},
        {Zip({s.Set(&Raw::method, 12)}), kAny,
         "s: compressed by method 12, where only stored and deflated entries are read"},
        {Zip({s.Set(&Raw::localMethod, 8)}), kAny,
         "s: its local header is damaged or differs from the central directory"},
        {Zip({s.Set(&Raw::claimPacked, 100000)}), kAny, "s: its data runs past the end of the zip"},
        {Zip({s, Stored("b")}).substr(0, 90), kAny,
         "not a zip archive, or its end of central directory is damaged"},
        {Zip({s}, 2), kAny, "the zip's central directory is damaged at entry 2"},
    };
    for (const Case &c : cases) {
        std::vector<Node> root;
        std::string error;
        EXPECT_FALSE(simio::ReadZip(c.zip, c.limits, root, error)) << c.message;
        EXPECT_EQ(error, c.message);
        EXPECT_TRUE(root.empty()) << c.message;
    }
}

TEST(Zip, NamesDatesAndAttributesAreReadAsTheirMakerMeantThem) {
    const Raw dos = Dos(Stored("Gr\x94\xE1"), 0);
    struct Case {
        Raw entry;
        std::string name;
        std::time_t modified;
        std::uint8_t attributes;
        bool known;
    } cases[] = {
        {Dos(Stored("\x80\x81\xE1.TXT"), 0x21), "Çüß.TXT", kWhen, 0x21, true}, // code page 437
        {Dos(Stored("Größe"), 0x20).Set(&Raw::flag, 0x800), "Größe", kWhen, 0x20, true},
        {dos.Set(&Raw::extra, UnicodePath(dos.name, "Grüß")), "Grüß", kWhen, 0, true},
        {dos.Set(&Raw::extra, UnicodePath("Gr", "Grüß")), "Größ", kWhen, 0, true}, // CRC differs
        {Stored("naïve"), "naïve", kWhen, 0, false},    // UTF-8 made on Unix
        {Stored("na\x8Bve"), "naïve", kWhen, 0, false}, // not UTF-8: code page 437
        {Stored("t").Set(&Raw::extra, Timestamp(kWhen + 1)), "t", kWhen + 1, 0, false},
        {Stored("t").Set(&Raw::dosDate, 0), "t", 315532800, 0, false},
        {Stored("n").Set(&Raw::madeBy, 0x0B14).Set(&Raw::external, 7), "n", kWhen, 7, true}, // NTFS
        {Stored("v").Set(&Raw::madeBy, 0x0E14).Set(&Raw::external, 1), "v", kWhen, 1, true}, // VFAT
        {Dos(Stored("b"), 0xFF), "b", kWhen, 0x27, true}, // a file's bits only
        {Dos(Stored("d/", ""), 0x12), "d", kWhen, 0x12, true},
        {Stored("d/", "").Set(&Raw::external, 0x41ED0010), "d", kWhen, 0x10, false},
        {Stored("u").Set(&Raw::external, 0x81A40021), "u", kWhen, 0, false},
    };
    for (const Case &c : cases) {
        std::vector<Node> root;
        std::string error;
        ASSERT_TRUE(simio::ReadZip(Zip({c.entry}), kAny, root, error)) << c.name << ": " << error;
        ASSERT_EQ(root.size(), 1u) << c.name;
        EXPECT_EQ(root[0].name, c.name);
        EXPECT_EQ(root[0].modified, c.modified) << c.name;
        EXPECT_EQ(root[0].attributes, c.attributes) << c.name;
        EXPECT_EQ(root[0].attributesKnown, c.known) << c.name;
    }
}

TEST(Zip, FoldersArePlacedAsThePathsSayWhateverTheirOrder) {
    std::vector<Node> root;
    std::string error;
    ASSERT_TRUE(simio::ReadZip(
        Zip({Stored("a/b/c", "C"), Dos(Stored("a/", ""), 0x12), Stored("a/d", "D"), Stored("e")}),
        kAny, root, error))
        << error;
    ASSERT_EQ(root.size(), 2u);
    EXPECT_EQ(root[0].name + root[1].name, "ae");
    EXPECT_EQ(root[0].attributes, 0x12); // its own entry, though it came after its contents
    ASSERT_EQ(root[0].children.size(), 2u);
    const Node &b = root[0].children[0];
    EXPECT_EQ(b.name + root[0].children[1].name + root[0].children[1].bytes, "bdD");
    EXPECT_TRUE(b.Folder() && !b.attributesKnown && b.modified == 315532800);
    ASSERT_EQ(b.children.size(), 1u);
    EXPECT_EQ(b.children[0].name + b.children[0].bytes, "cC");
}

// Entries and the date each reads back with: DOS keeps even seconds from 1980 on.
const std::vector<std::pair<ZipEntry, std::time_t>> kEntries = {
    {{"undo.bat", "@echo off\r\n", kWhen, false}, kWhen},
    {{"files", "", kWhen + 1, true}, kWhen},
    {{"files/1", Noise(100000), 4102444800, false}, 4102444800},
    {{"files/Grüße", "", 0, true}, 315532800},
    {{"files/Grüße/naïve.txt", std::string(300, '\xFF'), kWhen + 3, false}, kWhen + 2},
    {{"empty", "", kWhen, false}, kWhen},
};

std::vector<ZipEntry> Entries() {
    std::vector<ZipEntry> entries;
    for (const auto &[entry, read] : kEntries)
        entries.push_back(entry);
    return entries;
}

TEST(Zip, WrittenZipsReadBackTheSameAndAreWrittenAlike) {
    std::string once, twice, again, error;
    ASSERT_TRUE(simio::WriteZip(Entries(), once, error)) << error;
    ASSERT_TRUE(simio::WriteZip(Entries(), twice, error)) << error;
    EXPECT_EQ(once, twice);
    std::vector<Node> root;
    ASSERT_TRUE(simio::ReadZip(once, {}, root, error)) << error;
    std::vector<ZipEntry> read = simio::ZipEntriesOf(root);
    ASSERT_EQ(read.size(), kEntries.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        const ZipEntry &want = kEntries[i].first;
        EXPECT_EQ(read[i].name, want.name);
        EXPECT_EQ(read[i].bytes, want.bytes) << want.name;
        EXPECT_EQ(read[i].folder, want.folder) << want.name;
        EXPECT_EQ(read[i].modified, kEntries[i].second) << want.name;
    }
    ASSERT_TRUE(simio::WriteZip(read, again, error)) << error;
    EXPECT_EQ(again, once);
    // An empty zip is its end record alone, which minizip does not look for at offset 0.
    ASSERT_TRUE(simio::WriteZip({}, again, error) && again.size() == 22) << error;
    EXPECT_TRUE(simio::ReadZip(again, {}, root, error) && root.empty()) << error;
}

TEST(Zip, WrittenEntriesAreMadeOnDosWithNothingButTheEntry) {
    std::string zip, error;
    ASSERT_TRUE(simio::WriteZip(Entries(), zip, error)) << error;
    std::size_t at = zip.find("PK\1\2");
    for (const auto &[entry, read] : kEntries) {
        ASSERT_NE(at, std::string::npos) << entry.name;
        bool ascii = std::all_of(entry.name.begin(), entry.name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        EXPECT_EQ(Le16(zip, at + 4), 20u) << entry.name; // MS-DOS, zip 2.0
        EXPECT_EQ((Le16(zip, at + 8) & 0x800) != 0, !ascii) << entry.name;
        EXPECT_EQ(Le16(zip, at + 10), entry.bytes.empty() ? 0u : 8u) << entry.name;
        EXPECT_EQ(Le16(zip, at + 30) + Le16(zip, at + 32), 0u)
            << entry.name;                                               // no extra, no comment
        EXPECT_EQ(Le16(zip, Le32(zip, at + 42) + 28), 0u) << entry.name; // nor a local extra
        EXPECT_EQ(Le32(zip, at + 38), entry.folder ? 0x10u : 0x20u) << entry.name;
        at = zip.find("PK\1\2", at + 46);
    }
    for (const auto &[entry, message] : std::initializer_list<std::pair<ZipEntry, std::string>>{
             {{"../x", "", kWhen, false}, "../x: a name with a '.' or '..' folder in it"},
             {{"\xFF", "", kWhen, false}, "ÿ: a name that is not UTF-8"},
             {{std::string(0xFFFF, 'n'), "", kWhen, false}, "a name longer than a zip can hold"},
             {{"d", "bytes", kWhen, true}, "d: a folder with bytes"}}) {
        EXPECT_FALSE(simio::WriteZip({entry}, zip, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    EXPECT_EQ(error, "d: a folder with bytes");
}

struct Scratch {
    fs::path path;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "zip-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// What `command` printed, and whether it exited 0.
bool Shell(const std::string &command, std::string &out) {
    out.clear();
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) return false;
    for (char buf[4096]; std::size_t n = std::fread(buf, 1, sizeof buf, pipe);)
        out.append(buf, n);
    return ::pclose(pipe) == 0;
}

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Zip, InfoZipUnpacksTheKitWithItsNamesBytesAndDates) {
    std::string out, error;
    if (!Shell("unzip -v 2>&1", out)) GTEST_SKIP() << "Info-ZIP's unzip is not installed";
    simio::UndoKit kit;
    kit.bat = "@echo off\r\n", kit.reg = "REGEDIT4\r\n", kit.readme = "What the kit does\r\n";
    kit.made = kWhen;
    kit.files["files/2"] = {"two", 0, kWhen + 4};
    kit.files["files/10"] = {Noise(5000), 0, kWhen + 6};
    kit.files["files/1"] = {"", 0, kWhen + 2};
    Scratch scratch;
    fs::path zip = scratch.path / "kit.ZIP";
    ASSERT_TRUE(simio::IsZipName(zip.string()) && !simio::IsZipName("kit.img"));
    ASSERT_TRUE(simio::WriteUndoKitZip(kit, zip, error)) << error;
    EXPECT_FALSE(simio::WriteUndoKitZip(kit, zip, error));
    EXPECT_EQ(error, zip.string() + " exists; give the name of a new zip");
    ASSERT_TRUE(Shell("TZ=UTC unzip -Z -T '" + zip.string() + "'", out)) << out;
    // zlib marks text as text; Info-ZIP shows a .bat as one to run.
    EXPECT_NE(out.find("-rwxa--     2.0 fat       11 t- defX 20010203.040506 undo.bat\n"
                       "-rw-a--     2.0 fat       10 t- defX 20010203.040506 undo.reg\n"
                       "-rw-a--     2.0 fat       19 t- defX 20010203.040506 README.txt\n"
                       "drwx---     2.0 fat        0 b- stor 20010203.040506 files/\n"
                       "-rw-a--     2.0 fat        0 b- stor 20010203.040508 files/1\n"
                       "-rw-a--     2.0 fat        3 t- defX 20010203.040510 files/2\n"
                       "-rw-a--     2.0 fat     5000 t- defX 20010203.040512 files/10\n"),
              std::string::npos)
        << out;
    fs::path into = scratch.path / "unpacked";
    ASSERT_TRUE(Shell("TZ=UTC unzip -q '" + zip.string() + "' -d '" + into.string() + "'", out))
        << out;
    const std::pair<const char *, simio::FileState> files[] = {
        {"undo.bat", {kit.bat, 0, kWhen}},      {"undo.reg", {kit.reg, 0, kWhen}},
        {"README.txt", {kit.readme, 0, kWhen}}, {"files/1", kit.files["files/1"]},
        {"files/2", kit.files["files/2"]},      {"files/10", kit.files["files/10"]}};
    for (const auto &[name, state] : files) {
        struct stat st {};
        ASSERT_EQ(::stat((into / name).c_str(), &st), 0) << name;
        EXPECT_EQ(ReadAll(into / name), state.bytes) << name;
        EXPECT_EQ(st.st_mtime, state.modified) << name;
    }
}

TEST(Zip, ReadsWhatInfoZipMakesWithItsUtf8NamesAndExactDates) {
    std::string out, error;
    if (!Shell("zip -v 2>&1", out)) GTEST_SKIP() << "Info-ZIP's zip is not installed";
    Scratch scratch;
    fs::path in = scratch.path / "in";
    fs::create_directories(in / "sub");
    ASSERT_TRUE(simio::WriteNewFile(in / "Grüße.txt", "hi", error) &&
                simio::WriteNewFile(in / "sub" / "naïve.txt", "x", error))
        << error;
    for (const fs::path &path : {in / "Grüße.txt", in / "sub" / "naïve.txt", in / "sub"})
        ASSERT_TRUE(simio::SetModified(path, kWhen + 1, error)) << error; // odd: DOS cannot say it
    ASSERT_TRUE(Shell(
        "cd '" + in.string() + "' && LC_ALL=C.UTF-8 zip -q -r ../made.zip Grüße.txt sub 2>&1", out))
        << out;
    std::vector<Node> root;
    ASSERT_TRUE(simio::ReadZip(ReadAll(scratch.path / "made.zip"), {}, root, error)) << error;
    std::vector<ZipEntry> read = simio::ZipEntriesOf(root);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].name + "|" + read[1].name + "|" + read[2].name,
              "Grüße.txt|sub|sub/naïve.txt");
    EXPECT_EQ(read[0].bytes + read[2].bytes, "hix");
    for (const ZipEntry &entry : read)
        EXPECT_EQ(entry.modified, kWhen + 1) << entry.name;
    EXPECT_FALSE(root[0].attributesKnown); // made on Unix
}

} // namespace
