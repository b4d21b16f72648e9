// Undo kits are proved by using them: undo.reg is read into the machine as
// it is after the run (what regedit /s does), undo.bat is carried out line by
// line as command.com and cmd.exe would, refusing what they refuse, and the
// machine must then be the one loaded from the untouched folder, to the byte.
#include "machine_dir.h"
#include "reg_file.h"
#include "undo_kit.h"
#include "undo_reg.h"

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>

namespace fs = std::filesystem;

namespace {

const std::string kProduct =
    std::string(sim::kUninstallKey) + "\\{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}";

struct Scratch {
    fs::path path;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "undo-kit-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Load(const fs::path &folder, const fs::path &drive, sim::Machine &m) {
    fs::copy(folder / "drive_c", drive, fs::copy_options::recursive);
    simio::MachineDir info;
    simio::InputError error;
    ASSERT_TRUE(simio::LoadMachine(folder, drive, m, info, error)) << error.Text();
}

// Every difference of `got` from `want`, as a line; keys and value names
// must keep their case too, as regedit shows them.
void CompareKeys(const sim::RegKey &want, const sim::RegKey *got, std::vector<std::string> &out) {
    std::string path = want.Path();
    if (!got) {
        out.push_back("missing key " + path);
        return;
    }
    if (got->name != want.name || got->ntName != want.ntName)
        out.push_back("key named " + got->Path() + ", not " + path);
    for (const auto &[name, value] : want.values) {
        auto it = got->values.find(name);
        if (it == got->values.end())
            out.push_back("missing value " + path + "\\" + name);
        else if (it->second.name != value.name || it->second.type != value.type ||
                 it->second.data != value.data || it->second.ntName != value.ntName ||
                 it->second.ntData != value.ntData)
            out.push_back("value " + path + "\\" + name + " is " + sim::ValueText(it->second) +
                          ", not " + sim::ValueText(value));
    }
    for (const auto &[name, value] : got->values)
        if (!want.values.count(name)) out.push_back("extra value " + path + "\\" + name);
    for (const auto &[name, key] : want.subkeys)
        CompareKeys(*key, got->Child(name), out);
    for (const auto &[name, key] : got->subkeys)
        if (!want.Child(name)) out.push_back("extra key " + key->Path());
}

// Windows path -> bytes and attributes, folders with an empty entry.
std::map<std::string, std::string> Drive(const sim::Machine &m) {
    std::map<std::string, std::string> out;
    const fs::path &root = m.files.Drives().at('C');
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        std::string path = "C:\\" + fs::relative(entry.path(), root).string();
        std::replace(path.begin(), path.end(), '/', '\\');
        sim::ResolvedPath resolved;
        m.files.Resolve(path, resolved);
        out[path] = entry.is_directory() ? "folder"
                                         : std::to_string(m.files.AttributesOf(resolved)) + " " +
                                               ReadAll(entry.path());
    }
    return out;
}

std::vector<std::string> Differences(const sim::Machine &want, const sim::Machine &got) {
    std::vector<std::string> out;
    for (size_t i = 0; i < want.registry.Roots().size(); ++i)
        CompareKeys(*want.registry.Roots()[i], got.registry.Roots()[i].get(), out);
    auto a = Drive(want), b = Drive(got);
    for (const auto &[path, text] : a)
        if (!b.count(path))
            out.push_back("missing " + path);
        else if (b[path] != text)
            out.push_back("different " + path);
    for (const auto &[path, text] : b)
        if (!a.count(path)) out.push_back("extra " + path);
    return out;
}

std::string Join(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines)
        out += l + "\n";
    return out;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "the last line lacks its CRLF";
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "a line break without CR: " << line;
        out.push_back(line);
        start = end + 2;
    }
    return out;
}

// A batch line's words, as command.com splits them: quotes keep blanks in
// and go, "%%" is one '%'.
std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, any = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) out.push_back(word);
            word.clear();
            any = false;
        } else {
            EXPECT_FALSE(c == '%' && (i + 1 == line.size() || line[++i] != '%')) << line;
            word += c;
            any = true;
        }
    }
    if (any) out.push_back(word);
    return out;
}

// The text of a UTF-16LE file with its byte-order mark, a byte a unit, for
// checks of its lines; other text as it is.
std::string LowBytes(const std::string &bytes) {
    if (bytes.rfind("\xFF\xFE", 0) != 0) return bytes;
    std::string out;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        out += bytes[i + 1] ? '?' : bytes[i];
    return out;
}

constexpr DWORD kInTheWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Runs the kit in `kit` on `m`, as undo.bat does it from the kit's folder.
void ApplyKit(const fs::path &kit, sim::Machine &m) {
    std::vector<std::string> lines = Lines(ReadAll(kit / "undo.bat"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "@echo off");
    for (const std::string &line : lines) {
        SCOPED_TRACE(line);
        std::string lower = line;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // What command.com lacks.
        for (const char *missing : {"setlocal", "%~", "for /", "!", "&&", "||", "2>"})
            EXPECT_EQ(lower.find(missing), std::string::npos);
        if (lower.rfind("rem ", 0) == 0 || lower.rfind("echo ", 0) == 0 || lower == "@echo off")
            continue;
        if (lower == "if not exist undo.reg goto elsewhere") {
            ASSERT_TRUE(fs::exists(kit / "undo.reg"));
            continue;
        }
        if (lower.rfind("goto ", 0) == 0) break; // past the work, to the end
        std::vector<std::string> w = Words(line);
        ASSERT_GE(w.size(), 2u);
        const std::string &target = w.back();
        sim::ResolvedPath entry;
        ASSERT_EQ(m.files.Resolve(target, entry), static_cast<DWORD>(ERROR_SUCCESS))
            << "no folder for " << target;
        DWORD attributes = entry.exists ? m.files.AttributesOf(entry) : 0;
        if (w[0] == "start") {
            ASSERT_EQ(lower, "start /w regedit /s undo.reg");
            std::string reg = ReadAll(kit / "undo.reg");
            Lines(LowBytes(reg));
            simio::RegFileFormat format;
            simio::InputError error;
            ASSERT_TRUE(simio::ReadRegFile(reg, "undo.reg", m.registry, format, error))
                << error.Text();
            // Windows 98 reads REGEDIT4 only; Windows 2000 writes version 5 in UTF-16.
            EXPECT_EQ(format.version5, !m.IsWin9x());
            EXPECT_EQ(format.utf16, !m.IsWin9x());
        } else if (w[0] == "md") {
            ASSERT_FALSE(entry.exists);
            fs::create_directory(entry.host);
        } else if (w[0] == "rd") {
            ASSERT_TRUE(entry.directory && fs::is_empty(entry.host)) << "rd needs an empty folder";
            fs::remove(entry.host);
        } else if (w[0] == "del") {
            ASSERT_TRUE(entry.exists && !entry.directory);
            ASSERT_EQ(attributes & kInTheWay, 0u) << "del refuses or skips such a file";
            fs::remove(entry.host);
            m.files.ForgetAttributes(entry.windows);
        } else if (w[0] == "copy") {
            ASSERT_EQ(w.size(), 4u);
            ASSERT_EQ(w[1], "/y") << "copy asks before it overwrites";
            std::string from = w[2];
            std::replace(from.begin(), from.end(), '\\', '/');
            ASSERT_TRUE(fs::is_regular_file(kit / from)) << from;
            ASSERT_EQ(attributes & kInTheWay, 0u) << "copy cannot overwrite such a file";
            fs::remove(entry.host);
            fs::copy_file(kit / from, entry.host);
            // The worst a kit copied from a CD can leave.
            m.files.SetAttributes(entry.windows, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
        } else if (w[0] == "attrib") {
            ASSERT_TRUE(entry.exists);
            const std::map<char, DWORD> bits = {{'r', FILE_ATTRIBUTE_READONLY},
                                                {'h', FILE_ATTRIBUTE_HIDDEN},
                                                {'s', FILE_ATTRIBUTE_SYSTEM},
                                                {'a', FILE_ATTRIBUTE_ARCHIVE}};
            DWORD set = 0, clear = 0;
            for (size_t i = 1; i + 1 < w.size(); ++i) {
                ASSERT_TRUE(w[i].size() == 2 && bits.count(w[i][1]) &&
                            (w[i][0] == '+' || w[i][0] == '-'));
                (w[i][0] == '+' ? set : clear) |= bits.at(w[i][1]);
            }
            // attrib leaves a hidden or system file alone unless told what to do with that.
            for (DWORD bit : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM})
                ASSERT_TRUE(!(attributes & bit) || ((set | clear) & bit)) << "Not resetting";
            DWORD now = ((attributes & ~FILE_ATTRIBUTE_NORMAL & ~clear) | set);
            m.files.SetAttributes(entry.windows, now ? now : FILE_ATTRIBUTE_NORMAL);
        } else {
            FAIL() << "a line the proof does not know";
        }
    }
}

using Change = std::function<void(sim::Machine &m)>;

void RunUninstaller(sim::Machine &m) {
    sim::Install(&m);
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0);
    m.CloseAll();
    sim::Install(nullptr);
}

struct Proof {
    simio::UndoKit kit;
    std::vector<std::string> before; // what the change made differ
    std::vector<std::string> after;  // what still differs once the kit is applied
};

// Loads `folder` twice, changes one copy with `change`, writes its kit to
// disk and applies the kit from there.
Proof Prove(const fs::path &folder, const Change &change) {
    Scratch scratch;
    sim::Machine want, got;
    Proof proof;
    Load(folder, scratch.path / "want", want);
    Load(folder, scratch.path / "got", got);
    simio::MachineState before = simio::CaptureState(got);
    change(got);
    proof.kit = simio::MakeUndoKit(got, before, simio::CaptureState(got));
    proof.before = Differences(want, got);
    std::string error;
    fs::path kit = scratch.path / "kit";
    EXPECT_TRUE(simio::WriteUndoKit(proof.kit, kit, error)) << error;
    ApplyKit(kit, got);
    proof.after = Differences(want, got);
    return proof;
}

TEST(UndoKit, PutsEachExampleMachineBackButTheProduct) {
    for (const char *example : {"win98", "win2000-sp4", "win2000-sp3", "winxp"}) {
        SCOPED_TRACE(example);
        Proof proof = Prove(fs::path(EXAMPLES_DIR) / example, RunUninstaller);
        EXPECT_GT(proof.before.size(), 1u) << "the run changed nothing the kit could show";
        // Windows Installer's own entry: see README.txt of the kit.
        ASSERT_EQ(proof.after.size(), 1u) << Join(proof.after);
        EXPECT_TRUE(sim::EqualNoCase(proof.after[0], "missing key " + kProduct)) << proof.after[0];
        EXPECT_NE(proof.kit.readme.find("Quorbe ({5B0E7A13"), std::string::npos);
        EXPECT_NE(proof.kit.readme.find("The window \"Quorbe\""), std::string::npos);
    }
}

std::string HexBytes(size_t n) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned>(i & 0xFF));
        out += std::string(i ? "," : "") + b;
    }
    return out;
}

TEST(UndoKit, KeepsEveryValueTypeAndFileAttribute) {
    Scratch scratch;
    fs::path folder = scratch.path / "win98";
    fs::copy(fs::path(EXAMPLES_DIR) / "win98", folder, fs::copy_options::recursive);
    // Under a device key the run deletes, in a subkey of it.
    const std::string key =
        "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\5&1A2B3C&0&1\\LogConf";
    std::ofstream(folder / "registry.reg", std::ios::app)
        << key << "]\r\n"
        << "@=\"default \\\"text\\\" C:\\\\x\"\r\n"
           "\"Empty\"=\"\"\r\n"
           "\"EmptyBinary\"=hex:\r\n"
           "\"NoData\"=hex(1):\r\n"
           "\"Expand\"=hex(2):25,53,79,73,25,00\r\n"
           "\"Multi\"=hex(7):61,00,62,00,00\r\n"
           "\"Dword\"=dword:fffffffe\r\n"
           "\"ShortDword\"=hex(4):01,02\r\n"
           "\"Long\"=hex:"
        << HexBytes(300)
        << "\r\n"
           "\"None\"=hex(0):ff\r\n"
           "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"
           "\"Unterminated\"=hex(1):41,42\r\n"
           "\"Embedded\"=hex(1):41,00,42,00\r\n"
           "\"LineBreak\"=hex(1):41,0d,0a,42,00\r\n"
           "\"Name \\\"with\\\" \\\\ in it\"=\"a\\\\b\"\r\n"
        << key << "\\Empty\\Deeper]\r\n";
    std::ofstream(folder / "machine.txt", std::ios::app)
        << "attributes \"C:\\WINDOWS\\system32\\drivers\\WDMOEM01.sys\" readonly hidden system\r\n"
           "attributes \"C:\\WINDOWS\\inf\\MSZEVUmss.PNF\" normal\r\n"
           "attributes \"C:\\WINDOWS\\inf\\other\\USBOEM01.inf\" hidden\r\n";

    Proof proof = Prove(folder, RunUninstaller);
    ASSERT_EQ(proof.after.size(), 1u) << Join(proof.after);
    EXPECT_TRUE(sim::EqualNoCase(proof.after[0], "missing key " + kProduct)) << proof.after[0];
    for (const char *gone :
         {"missing key HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\5&1A2B3C&0&1",
          "missing C:\\WINDOWS\\system32\\drivers\\WDMOEM01.sys"})
        EXPECT_NE(std::find(proof.before.begin(), proof.before.end(), gone), proof.before.end())
            << gone;
    // Long hex data goes on in lines of at most 80 characters, as regedit
    // writes them itself.
    for (const std::string &line : Lines(LowBytes(proof.kit.reg)))
        if (line[0] != '[') {
            EXPECT_LE(line.size(), 80u) << line;
        }
    EXPECT_NE(proof.kit.reg.find("\"Unterminated\"=hex(1):41,42\r\n"), std::string::npos);
}

// Not the uninstaller: every kind of change a later version of it could
// make, so that the kit is right whatever calls were made.
TEST(UndoKit, UndoesChangesOfEveryKind) {
    Scratch scratch;
    fs::path folder = scratch.path / "sp4";
    fs::copy(fs::path(EXAMPLES_DIR) / "win2000-sp4", folder, fs::copy_options::recursive);
    fs::create_directories(folder / "drive_c/OEM DATA/sub");
    std::ofstream(folder / "drive_c/OEM DATA/sub/100% a+b.txt") << "kept";
    std::ofstream(folder / "drive_c/OEM DATA/flags.txt") << "flags";
    const std::string services = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\USBSTOR";

    Proof proof = Prove(folder, [&](sim::Machine &m) {
        sim::RegKey *usbstor = m.registry.FindPath(services);
        ASSERT_TRUE(usbstor);
        usbstor->values["Made"] = sim::MakeDword("Made", 1);
        usbstor->values[""] = sim::MakeString("", "made default");
        usbstor->values["ImagePath"].type = REG_SZ; // same bytes, another type
        usbstor->values.erase("Start");
        m.registry.CreatePath(services + "\\Made\\Below").values["x"] = sim::MakeString("x", "y");
        const fs::path &c = m.files.Drives().at('C');
        fs::remove_all(c / "OEM DATA/sub");
        m.files.SetAttributes("C:\\OEM DATA\\flags.txt", FILE_ATTRIBUTE_HIDDEN);
        std::ofstream(c / "WINNT/inf/usbstor.inf", std::ios::app) << "changed";
        m.files.SetAttributes("C:\\WINNT\\inf\\usbstor.inf",
                              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        fs::create_directories(c / "NEW/DEEP");
        std::ofstream(c / "NEW/DEEP/made.txt") << "made";
        m.files.SetAttributes("C:\\NEW\\DEEP\\made.txt", FILE_ATTRIBUTE_READONLY);
    });
    EXPECT_GE(proof.before.size(), 10u);
    EXPECT_EQ(proof.after, std::vector<std::string>{}) << Join(proof.after);
    EXPECT_EQ(proof.kit.values, 4u);
    EXPECT_EQ(proof.kit.files.size(), 2u);
    EXPECT_EQ(proof.kit.attributes, 1u);
    EXPECT_EQ(proof.kit.removed, 4u); // a key, a file, two folders
}

std::string Utf16(std::u16string_view text) {
    std::string out;
    for (char16_t u : text) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

// Windows 2000 holds UTF-16: the kit gives back what the ANSI view lost.
TEST(UndoKit, PutsBackTheExactUtf16OfWindows2000) {
    const std::u16string icons =
        u"HKEY_LOCAL_"
        u"MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\X";
    struct Case {
        const char *what;
        std::u16string lines; // below [icons]
        std::u16string wantKey, wantName;
        std::vector<BYTE> wantData;
    } cases[] = {
        {"Cyrillic and the euro sign",
         u"[" + icons + u"\\DefaultLabel]\r\n@=\"Quorbe \u0414\u0438\u0441\u043a \u20ac\"\r\n",
         icons + u"\\DefaultLabel",
         u"",
         {}},
        {"outside the BMP",
         u"[" + icons + u"\\DefaultLabel]\r\n\"\U0001F4BE\"=\"\U0001F4BE\"\r\n",
         icons + u"\\DefaultLabel",
         u"\U0001F4BE",
         {}},
        {"an expand string",
         u"[" + icons + u"\\DefaultIcon]\r\n@=hex(2):25,00,41,00,25,00,1e,20,00,00\r\n",
         icons + u"\\DefaultIcon",
         u"",
         {0x25, 0, 0x41, 0, 0x25, 0, 0x1e, 0x20, 0, 0}},
        {"a key name below the deleted key",
         u"[" + icons + u"\\\u041a\u043b\u044e\u0447]\r\n\"a\"=\"b\"\r\n",
         icons + u"\\\u041a\u043b\u044e\u0447",
         u"a",
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        fs::path folder = scratch.path / "sp4";
        fs::copy(fs::path(EXAMPLES_DIR) / "win2000-sp4", folder, fs::copy_options::recursive);
        std::ofstream(folder / "registry.reg", std::ios::app | std::ios::binary)
            << "\xFF\xFE"
            << Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[" + icons + u"]\r\n" + c.lines +
                     u"\r\n");
        Proof proof = Prove(folder, [](sim::Machine &m) {
            ASSERT_TRUE(m.registry.DeletePath(
                "HKEY_LOCAL_"
                "MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\X"));
        });
        EXPECT_EQ(proof.after, std::vector<std::string>{}) << Join(proof.after);
        EXPECT_EQ(
            proof.kit.reg.rfind("\xFF\xFE" + Utf16(u"Windows Registry Editor Version 5.00\r\n"), 0),
            0u);
        std::string line = Utf16(u"[" + c.wantKey + u"]\r\n");
        EXPECT_NE(proof.kit.reg.find(line), std::string::npos);
        if (!c.wantName.empty()) {
            EXPECT_NE(proof.kit.reg.find(Utf16(u"\"" + c.wantName + u"\"=")), std::string::npos);
        }
        // Read back, the kit holds exactly the UTF-16 of the capture.
        sim::Registry back;
        simio::RegFileFormat format;
        simio::InputError error;
        ASSERT_TRUE(simio::ReadRegFile(proof.kit.reg, "undo.reg", back, format, error))
            << error.Text();
        sim::RegKey *parent = back.FindPath("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                                            "CurrentVersion\\Explorer\\DriveIcons\\X");
        ASSERT_TRUE(parent);
        const sim::RegKey *key = nullptr;
        for (const auto &[n, child] : parent->subkeys)
            if (child->WidePath() == c.wantKey) key = child.get();
        ASSERT_TRUE(key);
        const sim::RegValue *value = nullptr;
        for (const auto &[n, v] : key->values)
            if (v.WideName() == c.wantName) value = &v;
        ASSERT_TRUE(value);
        std::vector<BYTE> label = {'Q',  0, 'u',  0, 'o',  0, 'r',  0, 'b', 0, 'e',  0,    ' ', 0,
                                   0x14, 4, 0x38, 4, 0x41, 4, 0x3a, 4, ' ', 0, 0xac, 0x20, 0,   0};
        if (!c.wantData.empty()) {
            EXPECT_EQ(value->ntData, c.wantData);
        } else if (c.wantName.empty()) {
            EXPECT_EQ(value->ntData, label);
        }
    }
}

// Nothing from the machine adds a line, a key or a value to undo.reg: a
// name regedit cannot read back is left out and listed instead.
TEST(UndoKit, HostileNamesNeitherBreakNorAddLines) {
    const std::string top = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Hostile";
    struct Case {
        const char *what;
        std::string lines;  // registry.reg lines below [top]
        const char *cannot; // what the README line names, or null
    } cases[] = {
        {"characters of batch and regedit in names and data",
         "[" + top + "\\a=b%c&d|e<f>g^h\"i]\r\n\"[x]=%y%&|<>^\\\"z\"=\"]\\r\\n\\\"=[-k]\"\r\n",
         nullptr},
        {"a line feed in a value name", "[" + top + "]\r\n\"A\\nB\"=\"x\"\r\n", "value \"A?B\""},
        {"a carriage return in a value name", "[" + top + "]\r\n\"A\\rB\"=\"x\"\r\n",
         "value \"A?B\""},
        {"a line break in data",
         "[" + top + "]\r\n\"v\"=\"1\\r\\n[HKEY_LOCAL_MACHINE\\\\Evil]\"\r\n", nullptr},
        {"a bracket in a key name", "[" + top + "\\a]b]\r\n", "Hostile\\a]b"},
        {"a carriage return in a key name", "[" + top + "\\a\rb]\r\n", "Hostile\\a?b"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        fs::path folder = scratch.path / "win98";
        fs::copy(fs::path(EXAMPLES_DIR) / "win98", folder, fs::copy_options::recursive);
        std::ofstream(folder / "registry.reg", std::ios::app | std::ios::binary)
            << "[" << top << "]\r\n"
            << c.lines;
        sim::Machine m;
        Load(folder, scratch.path / "c", m);
        simio::MachineState before = simio::CaptureState(m);
        ASSERT_TRUE(m.registry.DeletePath(top));
        simio::UndoReg reg = simio::MakeUndoReg(before, simio::CaptureState(m), false);
        std::vector<std::string> lines = Lines(reg.text);
        for (size_t i = 0; i < lines.size(); ++i) {
            std::string line = lines[i];
            while (!line.empty() && line.back() == '\\' && i + 1 < lines.size())
                line = line.substr(0, line.size() - 1) + lines[++i];
            if (line.empty() || line == "REGEDIT4") continue;
            if (line[0] == '[') {
                EXPECT_EQ(line.back(), ']') << line;
                EXPECT_TRUE(before.keys.count(line.substr(1, line.size() - 2))) << line;
                continue;
            }
            // A value line of a value the key held, read on its own.
            sim::Registry one;
            simio::RegFileFormat format;
            simio::InputError error;
            ASSERT_TRUE(simio::ReadRegFile("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n" + line, "l",
                                           one, format, error))
                << line;
            const auto &values = one.FindPath("HKEY_LOCAL_MACHINE\\K")->values;
            ASSERT_EQ(values.size(), 1u) << line;
            bool known = false;
            for (const auto &[path, held] : before.keys) {
                auto v = held.find(values.begin()->first);
                known = known || (v != held.end() && v->second.data == values.begin()->second.data);
            }
            EXPECT_TRUE(known) << line;
        }
        bool listed = false;
        for (const auto &l : reg.cannot)
            listed = listed || (c.cannot && l.find(c.cannot) != std::string::npos);
        EXPECT_EQ(listed, c.cannot != nullptr) << Join(reg.cannot);
        EXPECT_EQ(reg.cannot.size(), c.cannot ? 1u : 0u) << Join(reg.cannot);
    }
}

// The command-line test covers the places refused before the run; this is
// a folder that filled up between that check and the write.
TEST(UndoKit, WriteRefusesAFolderThatFilledUpAndLeavesNothing) {
    Scratch scratch;
    fs::create_directories(scratch.path / "full/x");
    simio::UndoKit kit;
    kit.reg = "REGEDIT4\r\n\r\n";
    kit.files["files/C/a.txt"] = "a";
    std::string error;
    EXPECT_FALSE(simio::WriteUndoKit(kit, scratch.path / "full", error));
    EXPECT_NE(error.find("full"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path), {}), 1);
    EXPECT_TRUE(fs::is_empty(scratch.path / "full/x"));
}

} // namespace
