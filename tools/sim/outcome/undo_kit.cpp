#include "undo_kit.h"

#include "folder.h"
#include "undo_bat.h"
#include "undo_reg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace simio {

namespace {

std::string Crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string WindowsName(const sim::VersionRecord &v) {
    std::string name;
    if (v.platformId == VER_PLATFORM_WIN32_WINDOWS)
        name = v.minor >= 90 ? "Windows Me" : v.minor >= 10 ? "Windows 98" : "Windows 95";
    else if (v.major == 5 && v.minor == 0)
        name = "Windows 2000";
    else if (v.major == 5 && v.minor == 1)
        name = "Windows XP";
    else
        name = "Windows NT " + std::to_string(v.major) + "." + std::to_string(v.minor);
    std::string pack = v.servicePack;
    pack.erase(0, pack.find_first_not_of(' '));
    pack.erase(pack.find_last_not_of(' ') + 1);
    if (v.platformId != VER_PLATFORM_WIN32_WINDOWS && !pack.empty()) name += " " + pack;
    return name;
}

// Machine text for README.txt: control characters would start lines of
// their own there, so they are shown as \xNN.
std::string Shown(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The window the uninstaller closes; a capture cannot tell whether it was open.
const char *const kCompanionWindow = "Quorbe";

struct Builder {
    const sim::Machine &m;
    const MachineDir &info;
    const MachineState &before, &after;
    UndoKit &kit;
    UndoReg reg;
    UndoBat bat;
    std::vector<std::string> fileLines;
    std::vector<std::string> madeLines; // files and folders the run made, which the kit deletes

    void Files() {
        std::vector<BatchStep> steps;
        auto add = [&steps](BatchStep::Kind kind, const std::string &path,
                            const std::string &source = {}, DWORD attributes = 0,
                            bool known = true) {
            steps.push_back({kind, path, source, attributes, known});
        };
        for (const auto &path : before.folders)
            if (!after.folders.count(path)) add(BatchStep::MakeFolder, path);
        for (const auto &[path, was] : before.files) {
            auto now = after.files.find(path);
            bool bytes = now == after.files.end() || now->second.bytes != was.bytes;
            if (!bytes && now->second.attributes == was.attributes) continue;
            std::string words =
                info.attributesKnown ? AttributeWords(was.attributes) : "attributes unknown";
            if (bytes) {
                std::string source = "files\\" + std::to_string(steps.size() + 1);
                std::string inKit = source;
                std::replace(inKit.begin(), inKit.end(), '\\', '/');
                kit.files[inKit] = was;
                add(BatchStep::Copy, path, source, was.attributes, info.attributesKnown);
                fileLines.push_back(Shown(path) + " (" + std::to_string(was.bytes.size()) +
                                    " bytes, " + words + ")" +
                                    (now == after.files.end() ? "" : ": its earlier content"));
            } else {
                ++kit.attributes;
                add(BatchStep::Attributes, path, "", was.attributes);
                fileLines.push_back(Shown(path) + ": its attributes, " + words);
            }
        }
        for (const auto &[path, file] : after.files) {
            if (before.files.count(path)) continue;
            add(BatchStep::Delete, path);
            ++kit.removed;
            madeLines.push_back("the file " + Shown(path));
        }
        for (auto it = after.folders.rbegin(); it != after.folders.rend(); ++it) {
            if (before.folders.count(*it)) continue;
            add(BatchStep::RemoveFolder, *it);
            ++kit.removed;
            madeLines.push_back("the folder " + Shown(*it));
        }
        kit.nothing = steps.empty() && reg.keys == 0 && reg.values == 0 && reg.removed == 0 &&
                      reg.products.empty() && reg.cannot.empty();
        bat = MakeUndoBat(
            steps, WindowsName(m.version) + " (Windows directory " + m.windowsDirectory + ")",
            {reg.keys || reg.values || reg.removed, reg.proofs});
        kit.bat = bat.text;
    }

    std::string MachineLine() const {
        return WindowsName(m.version) + ", Windows directory " + m.windowsDirectory;
    }

    static std::string List(const std::vector<std::string> &lines) {
        std::string out;
        for (const auto &l : lines)
            out += "  " + l + "\n";
        return lines.empty() ? "  (none)\n" : out;
    }

    // The title, the machine, and how to use the kit.
    std::string HowToUse() const {
        const bool nt = !m.IsWin9x();
        const std::string system = WindowsName(m.version);
        std::string t = "Undo kit of the USB storage driver package uninstaller\n"
                        "======================================================\n\n"
                        "Made by uninstall-sim on a copy of this machine, before the uninstaller\n"
                        "ran on it:\n  " +
                        Shown(MachineLine()) +
                        "\nIt puts back what the uninstaller removes or changes there.\n";
        if (kit.nothing) t += "\nNote: " + std::string(kNothingToUndo) + ".\n";
        t += "\nHow to use it\n"
             "-------------\n"
             "1. Copy this whole folder to the machine, for example to C:\\UNDO.\n";
        t += nt ? "2. Log on to " + Shown(system) +
                      " as an administrator and open a Command\n"
                      "   Prompt (Start, Programs, Accessories, Command Prompt).\n"
                : "2. Open an MS-DOS Prompt (Start, Programs, MS-DOS Prompt), not MS-DOS\n"
                  "   mode: there undo.bat cannot start regedit" +
                      std::string(bat.longNames ? ", and it stops before it changes\n"
                                                  "   anything, as names longer than 8.3 "
                                                  "would be cut.\n"
                                                : ".\n");
        t += "3. Go to the kit's folder (cd C:\\UNDO) and type: undo\n"
             "   undo.bat takes the numbered steps below, imports undo.reg with regedit\n"
             "   and checks that the import took. It ends with \"Done.\" only when every\n"
             "   step and that check worked; otherwise it names each failed step and\n"
             "   says how many failed. It can be run again.\n";
        int step = 4;
        if (!bat.manual.empty())
            t += std::to_string(step++) + ". Take the steps under \"Steps left to you\" by hand.\n";
        return t + std::to_string(step) + ". Restart Windows.\n";
    }

    // What the kit puts back and deletes, and undo.bat's steps.
    std::string Restores() const {
        std::string t = "\nWhat it restores\n"
                        "----------------\n"
                        "Registry keys, with all their subkeys and values, as they were:\n" +
                        List(reg.keyLines) + "Registry values, as they were:\n" +
                        List(reg.valueLines) + "Files:\n" + List(fileLines);
        std::vector<std::string> made = reg.madeLines;
        made.insert(made.end(), madeLines.begin(), madeLines.end());
        if (!made.empty()) {
            t += "What the uninstaller made, which the kit deletes again:\n" + List(made);
            if (reg.removals && m.IsWin9x())
                t += "  Windows 98's regedit may leave registry keys and values alone that\n"
                     "  undo.reg deletes: remove those by hand in regedit there.\n";
        }
        t += "\nSteps of undo.bat\n"
             "-----------------\n" +
             List(bat.done) + RegistryStep();
        if (!bat.manual.empty())
            t += "\nSteps left to you\n"
                 "-----------------\n"
                 "undo.bat cannot take these itself; do them in Explorer or at the prompt:\n" +
                 List(bat.manual);
        return t;
    }

    // How undo.bat checks the import, and the way by hand when it says that failed.
    std::string RegistryStep() const {
        if (!(reg.keys || reg.values || reg.removed)) return {};
        std::string t =
            bat.checkKey.empty()
                ? "Then undo.bat imports undo.reg with regedit, but undo.reg holds nothing it\n"
                  "could look for afterwards, so it counts that step as failed: check the\n"
                  "entries above in regedit.\n"
                : "Then undo.bat imports undo.reg with regedit, exports this key with regedit\n"
                  "into undoreg.tmp:\n  " +
                      Shown(bat.checkKey) +
                      "\nand looks there with FIND (and reg query, where there is one) for\n  " +
                      Shown(bat.checkText) + "\nwhich is there only once the import took.\n";
        t += "If it says that the registry step failed, import undo.reg by hand: in\n"
             "Windows, double-click undo.reg and answer Yes";
        return t + (m.IsWin9x() ? ". In MS-DOS mode, where undo.bat\n"
                                  "cannot start regedit, go to the kit's folder and type:\n"
                                  "  regedit undo.reg\n"
                                : ".\n");
    }

    // The companion application Windows Installer removed, as Add/Remove Programs named it.
    std::string Products() const {
        std::string t;
        for (const auto &p : reg.products) {
            std::string name = p.substr(p.rfind('\\') + 1);
            auto values = before.keys.find(p);
            auto display = values->second.find("DisplayName");
            if (display != values->second.end() && display->second.type == REG_SZ) {
                std::string text(display->second.data.begin(), display->second.data.end());
                text = text.substr(0, text.find('\0'));
                if (!text.empty()) name = text + " (" + name + ")";
            }
            t += "- The companion application " + Shown(name) +
                 ",\n"
                 "  which the uninstaller had Windows Installer remove: reinstall it from its\n"
                 "  own setup. undo.reg leaves its entry under Add/Remove Programs out, as\n"
                 "  Windows Installer no longer knows the product.\n";
        }
        return t;
    }

    std::string CannotRestore() const {
        std::string t = Products();
        bool closed = false;
        for (const auto &title : before.windows)
            if (std::find(after.windows.begin(), after.windows.end(), title) ==
                after.windows.end()) {
                t += "- The window \"" + Shown(title) +
                     "\", which the uninstaller closed:\n"
                     "  start the program again.\n";
                closed = true;
            }
        if (!closed && info.capturedList)
            t += "- The window \"" + std::string(kCompanionWindow) +
                 "\" of the companion application, if it was open: the\n"
                 "  uninstaller closes it. Start the program again.\n";
        for (const auto &line : reg.cannot)
            t += "- " + Shown(line) + "\n";
        if (!info.attributesKnown && !kit.files.empty())
            t += "- The files' attributes: the capture has no attrib.txt, so they are\n"
                 "  unknown and undo.bat leaves them as copy makes them. Check them with\n"
                 "  attrib after the undo.\n";
        if (!bat.manual.empty())
            t += "- Some files by undo.bat itself: see \"Steps left to you\".\n";
        return "\nWhat it cannot restore\n"
               "----------------------\n" +
               (t.empty() ? "  Nothing.\n" : t);
    }

    std::string Devices() const {
        const std::string system = WindowsName(m.version);
        std::string t = "\nHow the devices come back\n"
                        "-------------------------\n";
        if (m.IsWin9x())
            return t + "On " + Shown(system) +
                   " the devices' keys under HKEY_LOCAL_MACHINE\\Enum and their\n"
                   "driver keys are back once undo.reg is imported, and the driver files once\n"
                   "undo.bat has copied them. Windows finds the devices again at the next\n"
                   "start, or at once when you click Refresh in Device Manager (Control Panel,\n"
                   "System, Device Manager).\n";
        return t + "On " + Shown(system) +
               " the restored driver, its registry settings and its INF\n"
               "file take effect at the next start of Windows.\n";
    }

    void Readme() { kit.readme = Crlf(HowToUse() + Restores() + CannotRestore() + Devices()); }
};

} // namespace

UndoKit MakeUndoKit(const sim::Machine &m, const MachineDir &info, const MachineState &before,
                    const MachineState &after) {
    UndoKit kit;
    kit.made = info.registryTime;
    Builder b{m, info, before, after, kit, {}, {}, {}, {}};
    b.reg = MakeUndoReg(before, after, !m.IsWin9x());
    kit.reg = b.reg.text;
    kit.keys = b.reg.keys;
    kit.values = b.reg.values;
    kit.removed = b.reg.removed;
    b.Files();
    b.Readme();
    return kit;
}

std::string RefuseUndoDir(const fs::path &dir, const fs::path &machineDir) {
    std::string name = dir.string();
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) return name + ": " + std::strerror(errno);
    } else if (S_ISLNK(st.st_mode)) {
        return name + " is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        return name + " is not a folder";
    } else {
        std::error_code ec;
        if (fs::directory_iterator(dir, ec) != fs::directory_iterator() || ec)
            return name + " is not empty";
    }
    std::error_code ec;
    fs::path kitPath = fs::weakly_canonical(fs::absolute(dir), ec);
    fs::path machinePath = fs::weakly_canonical(fs::absolute(machineDir), ec);
    fs::path relative = kitPath.lexically_relative(machinePath);
    if (!relative.empty() && *relative.begin() != "..")
        return name + " is inside the machine folder, which must stay as it is";
    return {};
}

bool WriteUndoKit(const UndoKit &kit, const fs::path &dir, std::string &error) {
    auto fill = [&kit](const fs::path &into, std::string &message) {
        std::error_code ec;
        bool ok = true;
        for (const auto &[name, bytes] :
             {std::pair{"undo.reg", &kit.reg}, std::pair{"undo.bat", &kit.bat},
              std::pair{"README.txt", &kit.readme}})
            ok = ok && WriteNewFile(into / name, *bytes, message) &&
                 (!kit.made || SetModified(into / name, kit.made, message));
        for (auto it = kit.files.begin(); ok && it != kit.files.end(); ++it) {
            fs::path path = into / it->first;
            fs::create_directories(path.parent_path(), ec);
            // copy keeps a file's date: the kit's copies carry the earlier ones.
            ok = WriteNewFile(path, it->second.bytes, message) &&
                 (!it->second.modified || SetModified(path, it->second.modified, message));
        }
        return ok &&
               (kit.files.empty() || !kit.made || SetModified(into / "files", kit.made, message));
    };
    return BuildFolder(dir, {"kit", false, "cannot make a folder", "cannot put the kit there"},
                       fill, error);
}

KitSummary SummarizeUndoKit(const UndoKit &kit, const std::string &where, KitSummary::Form form) {
    KitSummary s;
    s.where = where;
    s.form = form;
    s.keys = kit.keys;
    s.values = kit.values;
    s.files = kit.files.size();
    s.attributes = kit.attributes;
    s.removed = kit.removed;
    s.nothing = kit.nothing;
    return s;
}

} // namespace simio
