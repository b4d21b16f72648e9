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

// A copy of an example machine to change.
fs::path CopyExample(const Scratch &scratch, const char *name) {
    fs::copy(fs::path(EXAMPLES_DIR) / name, scratch.path / name, fs::copy_options::recursive);
    return scratch.path / name;
}

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
// and go.
std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) out.push_back(word);
            word.clear();
            any = false;
        } else {
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

// undo.bat carried out as command.com would, from its folder on drive K:,
// refusing what command.com and cmd.exe refuse.
struct Shell {
    explicit Shell(sim::Machine &machine) : m(machine) {}
    sim::Machine &m;
    char drive = 'K';
    std::map<char, std::string> cwd{{'K', "K:"}, {'C', "C:"}};
    std::map<std::string, std::string> env;
    int errorlevel = 0;
    std::string echoed; // the last line echoed

    std::string Full(const std::string &path) const {
        if (path.size() >= 2 && path[1] == ':') return path;
        if (!path.empty() && path[0] == '\\') return std::string(1, drive) + ":" + path;
        return cwd.at(drive) + "\\" + path;
    }
    // A path whose folder is missing names nothing, as for the shells.
    sim::ResolvedPath At(const std::string &path) const {
        sim::ResolvedPath entry;
        if (m.files.Resolve(Full(path), entry) != ERROR_SUCCESS) entry = {};
        return entry;
    }
    bool Exists(std::string path) const {
        bool folder = path.size() > 4 && path.substr(path.size() - 4) == "\\nul";
        if (folder) path.resize(path.size() - 4);
        sim::ResolvedPath entry = At(path);
        // command.com's if exist does not see hidden or system files.
        return entry.exists &&
               (folder ? entry.directory
                       : !entry.directory && !(m.files.AttributesOf(entry) &
                                               (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)));
    }
    std::string Expand(const std::string &line) const {
        std::string out;
        for (size_t i = 0; i < line.size(); ++i) {
            size_t end = line[i] == '%' ? line.find('%', i + 1) : std::string::npos;
            if (end == std::string::npos) {
                EXPECT_NE(line[i], '%') << line;
                out += line[i];
                continue;
            }
            auto it = env.find(line.substr(i + 1, end - i - 1));
            out += it == env.end() ? "" : it->second;
            i = end;
        }
        return out;
    }

    // One command; returns the label of a goto, else "".
    std::string Run(std::vector<std::string> w, const std::string &line) {
        if (w[0] == "if") {
            bool negate = w.size() > 1 && w[1] == "not";
            w.erase(w.begin(), w.begin() + (negate ? 2 : 1));
            bool holds;
            size_t rest = 2;
            if (w[0] == "exist")
                holds = Exists(w[1]);
            else if (w[0] == "errorlevel")
                holds = errorlevel >= std::stoi(w[1]);
            else {
                size_t eq = w[0].find("==");
                EXPECT_NE(eq, std::string::npos) << line;
                holds = w[0].substr(0, eq) == w[0].substr(eq + 2);
                rest = 1;
            }
            if (holds == negate) return "";
            return Run(std::vector<std::string>(w.begin() + rest, w.end()), line);
        }
        std::string lower = w[0];
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "goto") return w.at(1);
        if (lower == "echo") {
            echoed = line.substr(line.find("echo ") + 5);
            return "";
        }
        if (lower == "rem") return "";
        if (lower == "set") {
            size_t eq = w[1].find('=');
            env[w[1].substr(0, eq)] = w[1].substr(eq + 1);
            return "";
        }
        if (w.size() >= 2 && w[w.size() - 2] == ">" && w.back() == "nul") w.resize(w.size() - 2);
        if (w.size() == 1 && w[0].size() == 2 && w[0][1] == ':') {
            drive = w[0][0];
            return "";
        }
        if (lower == "cd") {
            if (w[1] == "\\") {
                cwd[drive] = std::string(1, drive) + ":";
            } else {
                EXPECT_TRUE(Exists(w[1] + "\\nul")) << line;
                cwd[drive] = Full(w[1]);
            }
            return "";
        }
        if (lower == "start") {
            EXPECT_EQ(line, "start /w regedit /s undo.reg");
            EXPECT_EQ(drive, 'K') << "regedit runs in the kit's folder";
            std::string reg = ReadAll(At("undo.reg").host);
            Lines(LowBytes(reg));
            simio::RegFileFormat format;
            simio::InputError error;
            EXPECT_TRUE(simio::ReadRegFile(reg, "undo.reg", m.registry, format, error))
                << error.Text();
            // Windows 98 reads REGEDIT4 only; Windows 2000 writes version 5 in UTF-16.
            EXPECT_EQ(format.version5, !m.IsWin9x());
            EXPECT_EQ(format.utf16, !m.IsWin9x());
            return "";
        }
        sim::ResolvedPath entry = At(w.back());
        DWORD attributes = entry.exists ? m.files.AttributesOf(entry) : 0;
        if (entry.host.empty() && lower != "attrib") {
            ADD_FAILURE() << "no folder for " << w.back();
            errorlevel = 1;
            return "";
        }
        if (lower == "md") {
            EXPECT_FALSE(entry.exists) << line;
            fs::create_directory(entry.host);
        } else if (lower == "rd") {
            EXPECT_TRUE(entry.directory && fs::is_empty(entry.host)) << "rd needs an empty folder";
            fs::remove(entry.host);
        } else if (lower == "del") {
            EXPECT_TRUE(entry.exists && !entry.directory) << line;
            EXPECT_EQ(attributes & kInTheWay, 0u) << "del refuses or skips such a file";
            fs::remove(entry.host);
            m.files.ForgetAttributes(entry.windows);
        } else if (lower == "copy") {
            EXPECT_EQ(w.size(), 4u);
            EXPECT_EQ(w[1], "/y") << "copy asks before it overwrites";
            sim::ResolvedPath from = At(w[2]);
            errorlevel = 1; // cmd.exe's copy sets it; command.com's leaves it
            if (!from.exists || (attributes & kInTheWay)) return "";
            fs::remove(entry.host);
            fs::copy_file(from.host, entry.host);
            // The worst a kit copied from a CD can leave.
            m.files.SetAttributes(entry.windows, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
            errorlevel = 0;
        } else if (lower == "attrib") {
            errorlevel = entry.exists ? 0 : 1;
            if (!entry.exists) return "";
            const std::map<char, DWORD> bits = {{'r', FILE_ATTRIBUTE_READONLY},
                                                {'h', FILE_ATTRIBUTE_HIDDEN},
                                                {'s', FILE_ATTRIBUTE_SYSTEM},
                                                {'a', FILE_ATTRIBUTE_ARCHIVE}};
            DWORD set = 0, clear = 0;
            for (size_t i = 1; i + 1 < w.size(); ++i) {
                EXPECT_TRUE(w[i].size() == 2 && bits.count(w[i][1]) &&
                            (w[i][0] == '+' || w[i][0] == '-'))
                    << line;
                (w[i][0] == '+' ? set : clear) |= bits.at(w[i][1]);
            }
            // attrib leaves a hidden or system file alone unless told what to do with that.
            for (DWORD bit : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM})
                if ((attributes & bit) && !((set | clear) & bit) && (set | clear)) return "";
            DWORD now = ((attributes & ~FILE_ATTRIBUTE_NORMAL & ~clear) | set);
            m.files.SetAttributes(entry.windows, now ? now : FILE_ATTRIBUTE_NORMAL);
        } else {
            ADD_FAILURE() << "a line the proof does not know: " << line;
        }
        return "";
    }
};

// Runs the kit in `kit` on `m`, from the kit's own folder on drive K:, and
// returns the last line it echoed.
std::string ApplyKit(const fs::path &kit, sim::Machine &m) {
    std::vector<std::string> lines = Lines(ReadAll(kit / "undo.bat"));
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "@echo off");
    m.files.MapDrive('K', kit);
    Shell shell{m};
    for (size_t i = 1, steps = 0; i < lines.size() && steps < 10000; ++i, ++steps) {
        const std::string &line = lines[i];
        SCOPED_TRACE(line);
        EXPECT_LE(line.size(), 127u) << "command.com cuts the line there";
        std::string lower = line;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // What command.com lacks.
        for (const char *missing : {"setlocal", "%~", "for /", "!", "&", "||", "2>", "pushd"})
            EXPECT_EQ(lower.find(missing), std::string::npos);
        if (line.empty() || line[0] == ':' || lower.rfind("rem ", 0) == 0) continue;
        std::string label = shell.Run(Words(shell.Expand(line)), shell.Expand(line));
        if (label.empty()) continue;
        auto at = std::find(lines.begin(), lines.end(), ":" + label);
        EXPECT_NE(at, lines.end()) << "no label " << label;
        if (at == lines.end()) break;
        i = static_cast<size_t>(at - lines.begin());
    }
    return shell.echoed;
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
    std::string echoed, echoedAgain; // undo.bat's last words
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
    proof.kit = simio::MakeUndoKit(got, simio::MachineDir{}, before, simio::CaptureState(got));
    proof.before = Differences(want, got);
    std::string error;
    fs::path kit = scratch.path / "kit";
    EXPECT_TRUE(simio::WriteUndoKit(proof.kit, kit, error)) << error;
    proof.echoed = ApplyKit(kit, got);
    proof.after = Differences(want, got);
    // Twice, as a person who is not sure it worked would.
    proof.echoedAgain = ApplyKit(kit, got);
    EXPECT_EQ(Differences(want, got), proof.after);
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
        EXPECT_EQ(proof.echoed, "Done. Restart Windows now.");
        EXPECT_EQ(proof.echoedAgain, "Done. Restart Windows now.");
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
