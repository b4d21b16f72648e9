#include "machine_dir.h"

#include "capture.h"

#include <cstdio>
#include <set>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace simio {

namespace {

// Never through a link, even one made after the folder was checked.
bool ReadBytes(const fs::path &path, std::string &bytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    bytes.clear();
    bytes.reserve(static_cast<size_t>(st.st_size));
    char buffer[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return n == 0;
}

// Splits a line into words; "double quotes" keep blanks inside one word.
bool Words(const std::string &line, std::vector<std::string> &out, std::string &message) {
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                message = "missing closing quote";
                return false;
            }
            out.push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = line.find_first_of(" \t", i);
            if (end == std::string::npos) end = line.size();
            out.push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool Number(const std::string &text, unsigned long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0';
}

struct AttributeName {
    const char *name;
    DWORD bit;
};
const AttributeName kAttributes[] = {
    {"readonly", FILE_ATTRIBUTE_READONLY},
    {"hidden", FILE_ATTRIBUTE_HIDDEN},
    {"system", FILE_ATTRIBUTE_SYSTEM},
    {"archive", FILE_ATTRIBUTE_ARCHIVE},
    {"normal", FILE_ATTRIBUTE_NORMAL},
    {"temporary", FILE_ATTRIBUTE_TEMPORARY},
    {"offline", FILE_ATTRIBUTE_OFFLINE},
    {"not-content-indexed", FILE_ATTRIBUTE_NOT_CONTENT_INDEXED},
};

std::string AttributeWords(DWORD attributes) {
    std::string out;
    for (const auto &a : kAttributes) {
        if (attributes & a.bit) {
            out += std::string(out.empty() ? "" : " ") + a.name;
            attributes &= ~a.bit;
        }
    }
    if (attributes) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(attributes));
        out += std::string(out.empty() ? "" : " ") + buf;
    }
    return out;
}

bool ParseTime(const std::string &text, std::time_t &out) {
    std::tm tm{};
    int n = std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    if (n != 6) return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    out = timegm(&tm);
    return true;
}

// The copy of a capture's windir/ never goes into the machine folder itself.
bool OutsideOf(const fs::path &path, const fs::path &dir) {
    std::error_code ec;
    fs::path relative = fs::absolute(path, ec).lexically_normal().lexically_relative(
        fs::absolute(dir, ec).lexically_normal());
    return !relative.empty() && *relative.begin() == "..";
}

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

} // namespace

bool ReadMachineFile(const std::string &text, const std::string &fileName, sim::Machine &m,
                     MachineDir &info, InputError &error) {
    std::string line;
    int number = 0;
    bool leading = true;
    auto fail = [&](const std::string &message) {
        error = {fileName, number, message};
        return false;
    };
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t length = end - start;
        if (length && text[end - 1] == '\r') --length;
        ++number;
        // Measured before the line is copied, so that a hostile one never is.
        if (length > kMaxLineLength)
            return fail("line longer than " + std::to_string(kMaxLineLength >> 20) + " MiB");
        line.assign(text, start, length);
        start = end + 1;
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        if (line[first] == '#') {
            if (leading) info.comments.push_back(line);
            continue;
        }
        leading = false;
        std::vector<std::string> w;
        std::string message;
        if (!Words(line, w, message)) return fail(message);
        const std::string &key = w[0];
        auto need = [&](size_t least, size_t most, const char *form) {
            if (w.size() - 1 < least || w.size() - 1 > most) {
                error = {fileName, number, "expected: " + std::string(form)};
                return false;
            }
            return true;
        };
        if (key == "version") {
            if (!need(3, 4, "version PLATFORM MAJOR.MINOR BUILD [\"SERVICE PACK\"]")) return false;
            unsigned long platform, build;
            unsigned major = 0, minor = 0;
            if (!Number(w[1], platform) || !Number(w[3], build) ||
                std::sscanf(w[2].c_str(), "%u.%u", &major, &minor) != 2)
                return fail("version PLATFORM MAJOR.MINOR BUILD: numbers expected");
            m.version = {static_cast<DWORD>(platform), major, minor, static_cast<DWORD>(build),
                         w.size() > 4 ? w[4] : ""};
            info.versionGiven = true;
        } else if (key == "windows-directory") {
            if (!need(1, 1, "windows-directory \"C:\\WINDOWS\"")) return false;
            m.windowsDirectory = w[1];
            info.windowsDirectoryLine = number;
        } else if (key == "time-zone-bias") {
            if (!need(1, 1, "time-zone-bias MINUTES")) return false;
            char *end = nullptr;
            long bias = std::strtol(w[1].c_str(), &end, 10);
            if (*end) return fail("time-zone-bias: a number of minutes expected");
            m.files.timeZoneBias = bias;
        } else if (key == "attributes") {
            if (!need(2, 9, "attributes \"PATH\" readonly|hidden|system|archive|...")) return false;
            DWORD bits = 0;
            for (size_t i = 2; i < w.size(); ++i) {
                DWORD bit = 0;
                for (const auto &a : kAttributes)
                    if (w[i] == a.name) bit = a.bit;
                unsigned long n;
                if (!bit && Number(w[i], n)) bit = static_cast<DWORD>(n);
                if (!bit) return fail("unknown attribute \"" + w[i] + "\"");
                bits |= bit;
            }
            m.files.SetAttributes(w[1], bits);
        } else if (key == "locked") {
            if (!need(1, 1, "locked \"PATH\"")) return false;
            m.files.lockedByOthers.insert(w[1]);
        } else if (key == "modified") {
            if (!need(2, 2, "modified \"PATH\" YYYY-MM-DDTHH:MM:SS")) return false;
            std::time_t t;
            if (!ParseTime(w[2], t)) return fail("modified: time as YYYY-MM-DDTHH:MM:SS expected");
            info.modified.emplace_back(w[1], w[2]);
        } else if (key == "window") {
            if (!(w.size() == 2 || (w.size() == 4 && w[2] == "class")))
                return fail("expected: window \"TITLE\" [class \"CLASS\"]");
            m.windows.push_back({w.size() == 4 ? w[3] : "", w[1], true, {}});
        } else if (key == "absent-device") {
            if (!need(1, 1, "absent-device \"INSTANCE ID\"")) return false;
            m.absentDevices.insert(w[1]);
        } else if (key == "fail") {
            // fail FUNCTION [error N] [occurrence N] [args "TEXT"]
            sim::Fault fault;
            if (w.size() < 2 || w.size() % 2)
                return fail("expected: fail FUNCTION [error N] [occurrence N] [args \"TEXT\"]");
            fault.name = w[1];
            for (size_t i = 2; i + 1 < w.size(); i += 2) {
                unsigned long n = 0;
                if (w[i] == "error" && Number(w[i + 1], n))
                    fault.error = static_cast<DWORD>(n);
                else if (w[i] == "occurrence" && Number(w[i + 1], n))
                    fault.occurrence = static_cast<unsigned>(n);
                else if (w[i] == "args")
                    fault.argContains = w[i + 1];
                else
                    return fail("fail: unknown option \"" + w[i] + "\"");
            }
            m.calls.AddFault(fault);
            info.faults.push_back(line.substr(first));
        } else {
            return fail("unknown key \"" + key + "\"");
        }
    }
    return true;
}

bool LoadMachine(const fs::path &dir, const fs::path &driveRoot, sim::Machine &m, MachineDir &info,
                 InputError &error, const std::map<std::string, DWORD> &entryAttributes) {
    info = MachineDir{};
    info.dir = dir;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = {dir.string(), 0, "no such machine directory"};
        return false;
    }
    std::string text;
    fs::path machineFile = EntryNoCase(dir, "machine.txt");
    if (!ReadBytes(machineFile, text)) {
        error = {machineFile.string(), 0, "missing machine file"};
        return false;
    }
    if (!ReadMachineFile(text, machineFile.string(), m, info, error)) return false;
    fs::path registryFile = EntryNoCase(dir, "registry.reg");
    if (!ReadBytes(registryFile, text)) {
        error = {registryFile.string(), 0, "missing registry file"};
        return false;
    }
    if (!ReadRegFile(text, registryFile.string(), m.registry, info.registryFormat, error))
        return false;
    struct stat st {};
    if (::stat(registryFile.c_str(), &st) == 0) info.registryTime = st.st_mtime & ~std::time_t{1};
    // A capture's machine.txt has no version line: the version, and the
    // Windows directory unless it names one, come from the rest of the folder.
    if (!info.versionGiven) {
        fs::path verFile = EntryNoCase(dir, "ver.txt");
        bool ver = ReadBytes(verFile, text);
        if (!VersionFromCapture(m.registry, registryFile.string(), ver ? &text : nullptr,
                                verFile.string(), m.version, error))
            return false;
        if (!info.windowsDirectoryLine) {
            m.windowsDirectory = SystemRootFromRegistry(m.registry, !m.IsWin9x());
            if (m.windowsDirectory.empty()) {
                error = {machineFile.string(), 0,
                         "no windows-directory line, and no SystemRoot in the registry"};
                return false;
            }
        }
    }
    // A capture has the Windows directory's files in windir/ and no drive_c/:
    // they go to their place on a new drive C:. A save then writes drive_c/.
    fs::path windir = EntryNoCase(dir, "windir");
    bool fromWindir = !fs::exists(EntryNoCase(dir, "drive_c"), ec) &&
                      fs::is_directory(windir, ec) && !fs::exists(driveRoot, ec) &&
                      OutsideOf(driveRoot, dir);
    if (fromWindir) {
        fs::path below;
        std::string message;
        if (!BelowDriveC(m.windowsDirectory, below, message)) {
            error = {info.windowsDirectoryLine ? machineFile.string() : registryFile.string(),
                     info.windowsDirectoryLine, message};
            return false;
        }
        fs::path target = below.empty() ? driveRoot : driveRoot / below;
        fs::create_directories(target.parent_path(), ec);
        if (!CopyTree(windir, target, false, message)) {
            error = {windir.string(), 0, message};
            return false;
        }
    }
    if (!fs::is_directory(driveRoot, ec)) {
        error = {(dir / "drive_c").string(), 0,
                 "missing folder for drive C: (drive_c, or a capture's windir)"};
        return false;
    }
    m.files.MapDrive('C', driveRoot);
    // Paths the machine file names must name entries on the drive; they are
    // kept in the case found on disk.
    auto recorded = m.files.RecordedAttributes();
    for (const auto &[path, bits] : recorded) {
        sim::ResolvedPath entry;
        if (m.files.Resolve(path, entry) || !entry.exists) {
            error = {machineFile.string(), 0, "attributes: no file " + path};
            return false;
        }
        m.files.ForgetAttributes(path);
        m.files.SetAttributes(entry.windows, bits);
    }
    // Only beside windir/: once saved, machine.txt holds the attributes as a
    // run left them.
    fs::path attribFile = EntryNoCase(dir, "attrib.txt");
    bool attrib = fromWindir && ReadBytes(attribFile, text);
    if (attrib && !ApplyAttribFile(text, attribFile.string(), m.files, error)) return false;
    for (const auto &[path, bits] : entryAttributes) {
        size_t slash = path.find('\\');
        std::string top = path.substr(0, slash),
                    rest = slash == std::string::npos ? "" : path.substr(slash);
        sim::ResolvedPath entry;
        std::string windows = sim::EqualNoCase(top, "windir")    ? m.windowsDirectory + rest
                              : sim::EqualNoCase(top, "drive_c") ? "C:" + rest
                                                                 : "";
        if (!windows.empty() && !rest.empty() && m.files.Resolve(windows, entry) == 0 &&
            entry.exists)
            m.files.SetAttributes(entry.windows, bits ? bits : FILE_ATTRIBUTE_NORMAL);
    }
    if (fromWindir && !attrib && entryAttributes.empty()) {
        info.attributesKnown = false;
        info.notes.push_back("No attrib.txt: the files' attributes are unknown, so the preview "
                             "takes each file as archive only");
    }
    sim::ResolvedPath windows;
    if (m.files.Resolve(m.windowsDirectory, windows) || !windows.directory) {
        error = {machineFile.string(), 0,
                 "the Windows directory " + m.windowsDirectory + " is not a folder under drive_c"};
        return false;
    }
    fs::path capturedFile = EntryNoCase(dir, "captured.txt");
    info.capturedList = ReadBytes(capturedFile, text);
    if (info.capturedList &&
        !ReadCapturedKeys(text, capturedFile.string(), info.capturedKeys, error))
        return false;
    // A key tried and not exported is one the machine does not have: known too.
    fs::path triedFile = EntryNoCase(dir, "tried.txt");
    if (info.capturedList && ReadBytes(triedFile, text)) {
        if (!ReadCapturedKeys(text, triedFile.string(), info.triedKeys, error)) return false;
        std::set<std::string, sim::CaseLess> exported(info.capturedKeys.begin(),
                                                      info.capturedKeys.end());
        for (const std::string &key : info.triedKeys)
            if (exported.insert(key).second) info.capturedKeys.push_back(key);
    }
    if (m.IsWin9x() && !MarkAbsentDevices(m) && info.capturedList)
        info.notes.push_back("Every device under HKLM\\Enum counts as present: the capture has "
                             "no HKEY_DYN_DATA\\Config Manager\\Enum");
    return true;
}

bool ApplyModifiedTimes(const sim::Machine &m, const MachineDir &info, InputError &error) {
    for (const auto &[path, when] : info.modified) {
        sim::ResolvedPath entry;
        std::time_t t = 0;
        ParseTime(when, t);
        if (m.files.Resolve(path, entry) || !entry.exists) {
            error = {EntryNoCase(info.dir, "machine.txt").string(), 0, "modified: no file " + path};
            return false;
        }
        std::string why;
        if (!SetModified(entry.host, t, why)) {
            error = {EntryNoCase(info.dir, "machine.txt").string(), 0,
                     "modified: cannot set the time of " + path};
            return false;
        }
    }
    return true;
}

std::string WriteMachineFile(const sim::Machine &m, const MachineDir &info) {
    std::string out;
    for (const auto &c : info.comments)
        out += c + "\n";
    const sim::VersionRecord &v = m.version;
    out += "version " + std::to_string(v.platformId) + " " + std::to_string(v.major) + "." +
           std::to_string(v.minor) + " " + std::to_string(v.build) + " " + Quoted(v.servicePack) +
           "\n";
    out += "windows-directory " + Quoted(m.windowsDirectory) + "\n";
    if (m.files.timeZoneBias)
        out += "time-zone-bias " + std::to_string(m.files.timeZoneBias) + "\n";
    for (const auto &[path, attributes] : m.files.RecordedAttributes()) {
        sim::ResolvedPath entry;
        if (m.files.Resolve(path, entry) == ERROR_SUCCESS && entry.exists)
            out += "attributes " + Quoted(entry.windows) + " " + AttributeWords(attributes) + "\n";
    }
    for (const auto &path : m.files.lockedByOthers)
        out += "locked " + Quoted(path) + "\n";
    for (const auto &[path, when] : info.modified) {
        sim::ResolvedPath entry;
        std::time_t t = 0;
        ParseTime(when, t);
        struct stat st {};
        if (m.files.Resolve(path, entry) == ERROR_SUCCESS && entry.exists &&
            ::stat(entry.host.c_str(), &st) == 0 && st.st_mtime == t)
            out += "modified " + Quoted(path) + " " + when + "\n";
    }
    for (const auto &w : m.windows)
        if (w.open)
            out += "window " + Quoted(w.title) +
                   (w.className.empty() ? "" : " class " + Quoted(w.className)) + "\n";
    for (const auto &id : m.absentDevices)
        out += "absent-device " + Quoted(id) + "\n";
    for (const auto &f : info.faults)
        out += f + "\n";
    return out;
}

bool SaveMachine(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
                 std::string &error, const SaveObserver &observe) {
    // Anything else a person keeps in the folder stays.
    auto keep = [](const std::string &name) {
        return !sim::EqualNoCase(name, "drive_c") && !sim::EqualNoCase(name, "registry.reg") &&
               !sim::EqualNoCase(name, "machine.txt");
    };
    auto fill = [&](const fs::path &into, std::string &message) {
        return CopyTree(driveRoot, into / "drive_c", true, message, observe) &&
               WriteNewFile(into / "registry.reg", WriteRegFile(m.registry, info.registryFormat),
                            message, observe) &&
               WriteNewFile(into / "machine.txt", WriteMachineFile(m, info), message, observe);
    };
    return ReplaceFolder(info.dir, keep, fill, error, observe);
}

} // namespace simio

namespace simio {

bool SaveMachineAs(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
                   const fs::path &dir, std::string &error) {
    std::error_code ec;
    fs::path target = fs::absolute(dir, ec).lexically_normal();
    if (!target.has_filename()) target = target.parent_path();
    fs::create_directories(target.parent_path(), ec);
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".saving-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        error = target.parent_path().string() + ": cannot make a folder";
        return false;
    }
    fs::path fresh = pattern;
    ::chmod(fresh.c_str(), 0755);
    bool ok = CopyTree(driveRoot, fresh / "drive_c", true, error) &&
              WriteNewFile(fresh / "registry.reg", WriteRegFile(m.registry, info.registryFormat),
                           error) &&
              WriteNewFile(fresh / "machine.txt", WriteMachineFile(m, info), error);
    // rename() replaces an empty folder and nothing else.
    if (ok && ::rename(fresh.c_str(), target.c_str()) != 0) {
        error = target.string() + ": cannot put the machine there";
        ok = false;
    }
    if (!ok) fs::remove_all(fresh, ec);
    return ok;
}

} // namespace simio
