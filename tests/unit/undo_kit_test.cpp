// Undo kits are proved by using them: undo.reg is read into the machine as
// it is after the run (what regedit /s does), undo.bat is carried out line by
// line as command.com and cmd.exe would, refusing what they refuse, and the
// machine must then be the one loaded from the untouched folder, to the byte.
#include "machine_dir.h"
#include "reg_file.h"
#include "undo_kit.h"
#include "undo_reg.h"
#include "undo_shell.h"

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

// A copy of an example machine to change.
fs::path CopyExample(const Scratch &scratch, const char *name) {
    fs::copy(fs::path(EXAMPLES_DIR) / name, scratch.path / name, fs::copy_options::recursive);
    return scratch.path / name;
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
    std::vector<std::string> said;   // what undo.bat said the first time
    std::string echoed, echoedAgain; // undo.bat's last words
};

using Spoil = std::function<void(const fs::path &kit)>;

// Loads `folder` twice, changes one copy with `change`, writes its kit to
// disk, spoils it, and applies the kit from there (in MS-DOS mode with `dosMode`).
Proof Prove(const fs::path &folder, const Change &change, const Spoil &spoil = nullptr,
            bool dosMode = false) {
    Scratch scratch;
    sim::Machine want, got;
    Proof proof;
    Load(folder, scratch.path / "want", want);
    Load(folder, scratch.path / "got", got);
    simio::MachineState before = simio::CaptureState(got);
    change(got);
    proof.kit = simio::MakeUndoKit(got, simio::MachineDir{}, before, simio::CaptureState(got));
    proof.before = Differences(want, got);
    std::string error;
    fs::path kit = scratch.path / "kit";
    EXPECT_TRUE(simio::WriteUndoKit(proof.kit, kit, error)) << error;
    if (spoil) spoil(kit);
    proof.said = ApplyKit(kit, got, dosMode);
    proof.echoed = proof.said.empty() ? "" : proof.said.back();
    proof.after = Differences(want, got);
    // Twice, as a person who is not sure it worked would.
    std::vector<std::string> again = ApplyKit(kit, got, dosMode);
    proof.echoedAgain = again.empty() ? "" : again.back();
    EXPECT_EQ(Differences(want, got), proof.after);
    return proof;
}

const std::vector<std::string> kUnchanged = {"nothing put back"};

// A row of the table below: `left`, what still differs without regard to case (or
// kUnchanged); `said`, among what undo.bat says, its last words last; `readme`, in README.txt.
void ProveRow(const char *what, const char *example, const Change &change, const Spoil &spoil,
              bool dosMode, const std::vector<std::string> &left,
              const std::vector<std::string> &said, const std::vector<std::string> &readme = {},
              const std::function<void(const fs::path &)> &prepare = nullptr) {
    SCOPED_TRACE(what);
    Scratch scratch;
    fs::path folder = fs::path(EXAMPLES_DIR) / example;
    if (prepare) prepare(folder = CopyExample(scratch, example));
    Proof proof = Prove(folder, change, spoil, dosMode);
    EXPECT_GT(proof.before.size(), 1u) << "the run changed nothing the kit could show";
    const auto &want = left == kUnchanged ? proof.before : left;
    EXPECT_TRUE(std::equal(proof.after.begin(), proof.after.end(), want.begin(), want.end(),
                           sim::EqualNoCase))
        << Join(proof.after);
    EXPECT_EQ(proof.echoed, said.back()) << Join(proof.said);
    EXPECT_EQ(proof.echoedAgain, said.back());
    for (const auto &line : said)
        EXPECT_TRUE(std::count(proof.said.begin(), proof.said.end(), line)) << line;
    for (const auto &text : readme)
        EXPECT_NE(proof.kit.readme.find(text), std::string::npos) << text;
    // attrib's own error: an attrib line ran on a file that is not there.
    for (const auto &line : proof.said)
        EXPECT_NE(line.rfind("File not found", 0), 0u) << line;
}

std::string F(int n) {
    return std::string(n < 10 ? "F0" : "F") + std::to_string(n) + ".TXT";
}

// Each example's run undone, and each way the shell or the kit falls short: undo.bat puts
// back what it can, ends with "Done." only when all of it is back, and else says what not.
TEST(UndoKit, PutsTheMachineBackOrSaysWhatIsNot) {
    const std::string hdc = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\HDC",
                      all = "Not everything is back: see README.txt for the failed steps.",
                      reg = "The registry step failed: regedit did not import undo.reg. See "
                            "README.txt.",
                      one = "1 step failed.", product = "missing key " + kProduct;
    Change short83 = [&](sim::Machine &m) { // a key and a file of 8.3 names
        ASSERT_TRUE(m.registry.DeletePath(hdc + "\\0001"));
        fs::remove(m.files.Drives().at('C') / "WINDOWS/inf/other/USBOEM01.inf");
    };
    auto lose = [](int from, int to) {
        return [=](const fs::path &kit) {
            for (int n = from; n <= to; ++n)
                fs::remove(kit / "files" / std::to_string(n));
        };
    };
    std::vector<std::string> twelve;
    for (int n = 1; n <= 12; ++n)
        twelve.push_back("missing C:\\DATA\\" + F(n));
    auto sixty = [](const fs::path &folder) {
        fs::create_directories(folder / "drive_c/DATA");
        for (int n = 1; n <= 60; ++n)
            std::ofstream(folder / "drive_c/DATA" / F(n)) << n;
    };
    ProveRow("no START in MS-DOS mode", "win98", short83, nullptr, true,
             {"missing key " + hdc + "\\0001"}, {"Bad command or file name", reg, one, all},
             {"  regedit undo.reg"});
    ProveRow("regedit refuses undo.reg", "win98", short83,
             [](const fs::path &kit) { std::ofstream(kit / "undo.reg") << "REGEDIT?\r\n"; }, false,
             {"missing key " + hdc + "\\0001"}, {reg, one, all}, {"double-click undo.reg"});
    ProveRow("a file of the kit missing", "win98", RunUninstaller, lose(2, 2), false,
             {product, "missing C:\\WINDOWS\\inf\\other\\USBOEM01.inf"},
             {"Step 2 failed: see README.txt.", one, all});
    ProveRow("long names cut in MS-DOS mode", "win98", RunUninstaller, nullptr, true, kUnchanged,
             {"can write to."}, {"names longer than 8.3 would be cut"});
    ProveRow(
        "60 steps, 12 failed", "win98",
        [](sim::Machine &m) {
            for (int n = 1; n <= 60; ++n)
                fs::remove(m.files.Drives().at('C') / "DATA" / F(n));
        },
        lose(1, 12), false, twelve, {"12 steps failed.", all}, {}, sixty);
    for (const char *example : {"win98", "win2000-sp4", "win2000-sp3", "winxp"})
        ProveRow(example, example, RunUninstaller, nullptr, false, {product},
                 {"Done. Restart Windows now."}, {"Quorbe ({5B0E7A13", "The window \"Quorbe\""});
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
    fs::path folder = CopyExample(scratch, "win98");
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
    fs::path folder = CopyExample(scratch, "win2000-sp4");
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
    // '%' would be taken for a variable: that file is left to the person.
    EXPECT_EQ(proof.after, std::vector<std::string>{"missing C:\\OEM DATA\\sub\\100% a+b.txt"});
    const std::string readme = proof.kit.readme;
    size_t byHand = readme.find("By hand: copy the kit's file files\\");
    EXPECT_NE(byHand, std::string::npos) << readme;
    std::string line = readme.substr(byHand, readme.find('\n', byHand) - byHand);
    EXPECT_NE(line.find(" to C:\\OEM DATA\\sub\\100% a+b.txt and"), std::string::npos) << line;
    EXPECT_EQ(proof.echoed, "Done. README.txt lists the steps left to do by hand.");
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
        fs::path folder = CopyExample(scratch, "win2000-sp4");
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
        fs::path folder = CopyExample(scratch, "win98");
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
    kit.files["files/1"].bytes = "a";
    std::string error;
    EXPECT_FALSE(simio::WriteUndoKit(kit, scratch.path / "full", error));
    EXPECT_NE(error.find("full"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path), {}), 1);
    EXPECT_TRUE(fs::is_empty(scratch.path / "full/x"));
}

} // namespace
