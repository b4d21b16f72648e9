#include "undo_kit.h"

#include "folder.h"
#include "undo_reg.h"

#include "platform/sim/printable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

// A path for command.com and cmd.exe: '%' would be taken for a variable, and
// blanks, '+' (copy joins files at it), ',', ';', '=', '&', '^' and the like
// split or change the command unless quoted.
std::string BatchArg(const std::string &path) {
    std::string out;
    bool quote = false;
    for (char c : path) {
        if (c == '%') out += '%';
        out += c;
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     std::strchr("\\:._-~", c);
        quote = quote || !plain;
    }
    return quote ? "\"" + out + "\"" : out;
}

const DWORD kAttribBits[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                             FILE_ATTRIBUTE_ARCHIVE};
const char kAttribLetters[] = "rhsa";

// "+a +r -h -s": all four, so the result does not depend on what the copy
// left (cmd.exe's copy passes on the source's read-only attribute, as from a
// CD), and so attrib never refuses with "Not resetting hidden file". The
// archive bit comes first: Wine's attrib drops a +r that a +a follows.
std::string AttribAll(DWORD attributes) {
    std::string out;
    for (int i : {3, 0, 1, 2})
        out += std::string(out.empty() ? "" : " ") + ((attributes & kAttribBits[i]) ? "+" : "-") +
               kAttribLetters[i];
    return out;
}

// "-r -h": what keeps copy or del from touching a file, only those set.
std::string AttribClear(DWORD attributes) {
    std::string out;
    for (int i = 0; i < 3; ++i)
        if (attributes & kAttribBits[i])
            out += std::string(out.empty() ? "" : " ") + "-" + kAttribLetters[i];
    return out;
}

std::string AttributeWords(DWORD attributes) {
    static const char *const names[] = {"read-only", "hidden", "system", "archive"};
    std::string out;
    for (int i = 0; i < 4; ++i)
        if (attributes & kAttribBits[i]) out += std::string(out.empty() ? "" : ", ") + names[i];
    return out.empty() ? "no attributes" : out;
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

struct Builder {
    Builder(const sim::Machine &machine, const MachineState &was, const MachineState &now,
            UndoKit &out)
        : m(machine), before(was), after(now), kit(out) {}

    const sim::Machine &m;
    const MachineState &before, &after;
    UndoKit &kit;
    UndoReg reg;
    std::vector<std::string> fileLines;
    std::vector<std::string> madeLines; // files and folders the run made, which the kit deletes
    std::string bat;                    // the commands, without the header

    void Files() {
        for (const auto &path : before.folders)
            if (!after.folders.count(path)) bat += "md " + BatchArg(path) + "\n";
        for (const auto &[path, was] : before.files) {
            auto now = after.files.find(path);
            bool bytes = now == after.files.end() || now->second.bytes != was.bytes;
            if (!bytes && now->second.attributes == was.attributes) continue;
            std::string words = AttributeWords(was.attributes);
            if (bytes) {
                std::string rest = path.substr(path.find(':') + 1);
                std::string inKit = "files\\" + path.substr(0, path.find(':')) + rest;
                std::string slashed = inKit;
                std::replace(slashed.begin(), slashed.end(), '\\', '/');
                kit.files[slashed] = was.bytes;
                if (now != after.files.end() && !AttribClear(now->second.attributes).empty())
                    bat += "attrib " + AttribClear(now->second.attributes) + " " + BatchArg(path) +
                           "\n";
                bat += "copy /y " + BatchArg(inKit) + " " + BatchArg(path) + "\n";
                fileLines.push_back(path + " (" + std::to_string(was.bytes.size()) + " bytes, " +
                                    words + ")" +
                                    (now == after.files.end() ? "" : ": its earlier content"));
            } else {
                ++kit.attributes;
                fileLines.push_back(path + ": its attributes, " + words);
            }
            bat += "attrib " + AttribAll(was.attributes) + " " + BatchArg(path) + "\n";
        }
        for (const auto &[path, file] : after.files) {
            if (before.files.count(path)) continue;
            if (!AttribClear(file.attributes).empty())
                bat += "attrib " + AttribClear(file.attributes) + " " + BatchArg(path) + "\n";
            bat += "del " + BatchArg(path) + "\n";
            ++kit.removed;
            madeLines.push_back("the file " + path);
        }
        for (auto it = after.folders.rbegin(); it != after.folders.rend(); ++it) {
            if (before.folders.count(*it)) continue;
            bat += "rd " + BatchArg(*it) + "\n";
            ++kit.removed;
            madeLines.push_back("the folder " + *it);
        }
    }

    std::string MachineLine() const {
        return WindowsName(m.version) + ", Windows directory " + m.windowsDirectory;
    }

    void Batch() {
        std::string head = "@echo off\n"
                           "rem Undo kit of the USB storage driver package uninstaller for\n"
                           "rem " +
                           MachineLine() +
                           ".\n"
                           "rem Puts back the files and registry entries the uninstaller\n"
                           "rem removed or changed; README.txt lists them.\n"
                           "rem Run it from the kit's own folder: open an MS-DOS Prompt\n"
                           "rem (Windows 98) or, as an administrator, a Command Prompt\n"
                           "rem (Windows 2000), go to the folder (for example: cd C:\\UNDO)\n"
                           "rem and type: undo\n"
                           "rem Then restart Windows.\n";
        std::string body = "if not exist undo.reg goto elsewhere\n"
                           "echo Putting back the files...\n" +
                           bat +
                           "echo Putting back the registry entries...\n"
                           // command.com goes on at once after starting a Windows
                           // program unless told to wait.
                           "start /w regedit /s undo.reg\n"
                           "echo Done. Restart Windows now.\n"
                           "goto end\n"
                           ":elsewhere\n"
                           "echo Run undo.bat from its own folder: go there with cd first.\n"
                           ":end\n";
        kit.bat = Crlf(head + body);
    }

    size_t LongestBatchLine() const {
        size_t longest = 0, start = 0;
        while (start < kit.bat.size()) {
            size_t end = kit.bat.find("\r\n", start);
            longest = std::max(longest, end - start);
            start = end + 2;
        }
        return longest;
    }

    void Readme() {
        auto list = [](const std::vector<std::string> &lines) {
            std::string out;
            for (const auto &l : lines)
                out += "  " + l + "\n";
            return lines.empty() ? "  (none)\n" : out;
        };
        std::string t = "Undo kit of the USB storage driver package uninstaller\n"
                        "======================================================\n\n"
                        "Made by uninstall-sim on a copy of this machine, before the uninstaller\n"
                        "ran on it:\n  " +
                        MachineLine() +
                        "\nIt puts back what the uninstaller removes or changes there.\n\n"
                        "How to use it\n"
                        "-------------\n"
                        "1. Copy this whole folder to the machine, for example to C:\\UNDO.\n"
                        "2. On Windows 98 open an MS-DOS Prompt; on Windows 2000 log on as an\n"
                        "   administrator and open a Command Prompt.\n"
                        "3. Go to the kit's folder (cd C:\\UNDO) and type: undo\n"
                        "   undo.bat copies the files back from the folder \"files\", sets their\n"
                        "   attributes and imports undo.reg with regedit.\n"
                        "4. Restart Windows.\n";
        if (LongestBatchLine() > 127)
            t += "\nSome lines of undo.bat are longer than 127 characters, which Windows 98's\n"
                 "command.com cuts short: on Windows 98 type those lines by hand in a prompt\n"
                 "started with \"command /u:250\", or copy those files in Explorer.\n";
        t += "\nWhat it restores\n"
             "----------------\n"
             "Registry keys, with all their subkeys and values, as they were:\n" +
             list(reg.keyLines) + "Registry values, as they were:\n" + list(reg.valueLines) +
             "Files, with their attributes:\n" + list(fileLines);
        std::vector<std::string> made = reg.madeLines;
        made.insert(made.end(), madeLines.begin(), madeLines.end());
        if (!made.empty()) {
            t += "What the uninstaller made, which the kit deletes again:\n" + list(made);
            if (reg.removals)
                t += "  Windows 98's regedit may leave registry keys and values alone that\n"
                     "  undo.reg deletes: remove those by hand in regedit there.\n";
        }
        t += "\nWhat it cannot restore\n"
             "----------------------\n";
        for (const auto &p : reg.products) {
            std::string name = p.substr(p.rfind('\\') + 1);
            auto values = before.keys.find(p);
            auto display = values->second.find("DisplayName");
            if (display != values->second.end() && display->second.type == REG_SZ) {
                std::string text(display->second.data.begin(), display->second.data.end());
                text = text.substr(0, text.find('\0'));
                if (!text.empty()) name = text + " (" + name + ")";
            }
            t += "- The companion application " + name +
                 ",\n"
                 "  which the uninstaller had Windows Installer remove: reinstall it from its\n"
                 "  own setup. undo.reg leaves its entry under Add/Remove Programs out, as\n"
                 "  Windows Installer no longer knows the product.\n";
        }
        for (const auto &title : before.windows)
            if (std::find(after.windows.begin(), after.windows.end(), title) == after.windows.end())
                t += "- The window \"" + title +
                     "\", which the uninstaller closed:\n"
                     "  start the program again.\n";
        if (reg.products.empty() && before.windows.size() <= after.windows.size())
            t += "  Nothing.\n";
        t += "\nHow the devices come back\n"
             "-------------------------\n";
        if (m.IsWin9x())
            t += "On Windows 98 the devices' keys under HKEY_LOCAL_MACHINE\\Enum and their\n"
                 "driver keys are back once undo.reg is imported, and the driver files once\n"
                 "undo.bat has copied them. Windows finds the devices again at the next\n"
                 "start, or at once when you click Refresh in Device Manager (Control Panel,\n"
                 "System, Device Manager).\n";
        else
            t += "On Windows 2000 the restored driver, its registry settings and its INF\n"
                 "file take effect at the next start of Windows.\n";
        kit.readme = Crlf(t);
    }
};

} // namespace

UndoKit MakeUndoKit(const sim::Machine &m, const MachineState &before, const MachineState &after) {
    UndoKit kit;
    Builder b(m, before, after, kit);
    b.reg = MakeUndoReg(before, after, !m.IsWin9x());
    kit.reg = b.reg.text;
    kit.keys = b.reg.keys;
    kit.values = b.reg.values;
    kit.removed = b.reg.removed;
    b.Files();
    b.Batch();
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
    std::error_code ec;
    fs::path target = fs::absolute(dir, ec).lexically_normal();
    if (!target.has_filename()) target = target.parent_path();
    fs::path parent = target.parent_path();
    fs::create_directories(parent, ec);
    std::string pattern = (parent / ("." + target.filename().string() + ".kit-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        error = parent.string() + ": cannot make a folder: " + std::strerror(errno);
        return false;
    }
    fs::path fresh = pattern;
    ::chmod(fresh.c_str(), 0755);
    bool ok = WriteNewFile(fresh / "undo.reg", kit.reg, error) &&
              WriteNewFile(fresh / "undo.bat", kit.bat, error) &&
              WriteNewFile(fresh / "README.txt", kit.readme, error);
    for (auto it = kit.files.begin(); ok && it != kit.files.end(); ++it) {
        fs::path path = fresh / it->first;
        fs::create_directories(path.parent_path(), ec);
        ok = WriteNewFile(path, it->second, error);
    }
    // rename() replaces an empty folder and nothing else, so a folder that
    // filled up, or became a link, since it was checked is still refused.
    if (ok && ::rename(fresh.c_str(), target.c_str()) != 0) {
        error = target.string() + ": cannot put the kit there: " + std::strerror(errno);
        ok = false;
    }
    if (!ok) fs::remove_all(fresh, ec);
    return ok;
}

std::string DescribeUndoKit(const UndoKit &kit, const fs::path &dir) {
    auto count = [](size_t n, const char *one, const char *many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string line = "Undo kit written to " + sim::Printable(dir.string()) +
                       ": undo.reg puts back " + count(kit.keys, "key", "keys") + " and " +
                       count(kit.values, "value", "values") + ", undo.bat copies back " +
                       count(kit.files.size(), "file", "files") + " from files\\";
    if (kit.attributes)
        line += ", sets the attributes of " + count(kit.attributes, "more file", "more files");
    if (kit.removed) line += ", deletes " + count(kit.removed, "thing", "things") + " the run made";
    return line + "; README.txt tells what and how\n";
}

} // namespace simio
