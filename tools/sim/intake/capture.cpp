#include "capture.h"

#include "platform/sim/printable.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace fs = std::filesystem;

namespace simio {

namespace {

const char *const kVersion9x = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";
const char *const kVersionNt =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion";
const char *const kControlWindows =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Windows";
const char *const kDeviceTree = "HKEY_DYN_DATA\\Config Manager\\Enum";

// Calls `line` with each line's number and text, without its line break and
// trailing blanks, until it returns false. Refuses lines as long as
// machine.txt does, before anything splits them.
template <class F>
bool ForEachLine(std::string_view text, const std::string &fileName, InputError &error, F line) {
    int number = 0; // the folder's size keeps it far below INT_MAX
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view l = text.substr(start, end - start);
        while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t'))
            l.remove_suffix(1);
        start = end + 1;
        if (l.size() > kMaxLineLength) {
            error = {fileName, ++number,
                     "line longer than " + std::to_string(kMaxLineLength >> 20) + " MiB"};
            return false;
        }
        if (!line(++number, l)) return false;
    }
    return true;
}

const sim::RegValue *ValueOf(const sim::Registry &registry, const char *key, const char *name) {
    const sim::RegKey *k = registry.FindPath(key);
    if (!k) return nullptr;
    auto it = k->values.find(name);
    return it == k->values.end() ? nullptr : &it->second;
}

bool TextOf(const sim::RegValue &value, std::string &text) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return false;
    text.assign(value.data.begin(), value.data.end());
    text.resize(std::min(text.size(), text.find('\0')));
    return true;
}

// `count` decimal numbers joined by dots and nothing else: "4.10.2222".
bool DottedNumbers(std::string_view text, size_t count, DWORD *out) {
    for (size_t i = 0; i < count; ++i) {
        size_t digits = 0;
        DWORD value = 0;
        for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
            if (digits == 9) return false; // more than a DWORD may hold
            value = value * 10 + static_cast<DWORD>(text[digits] - '0');
        }
        if (!digits) return false;
        out[i] = value;
        text.remove_prefix(digits);
        if (i + 1 < count) {
            if (text.empty() || text[0] != '.') return false;
            text.remove_prefix(1);
        }
    }
    return text.empty();
}

std::string Short(const std::string &path) {
    const std::string full = "HKEY_LOCAL_MACHINE";
    return path.rfind(full, 0) == 0 ? "HKLM" + path.substr(full.size()) : path;
}

bool BadValue(InputError &error, const std::string &file, const char *key, const char *name,
              const std::string &expected) {
    error = {file, 0, std::string(name) + " under " + Short(key) + ": expected " + expected};
    return false;
}

// A string value that must be text if it is there at all.
bool OptionalText(const sim::Registry &r, const std::string &file, const char *key,
                  const char *name, std::string &text, InputError &error) {
    const sim::RegValue *value = ValueOf(r, key, name);
    text.clear();
    return !value || TextOf(*value, text) || BadValue(error, file, key, name, "text");
}

bool FromRegistry(const sim::Registry &r, const std::string &file, sim::VersionRecord &v,
                  bool &found, InputError &error) {
    DWORD n[3];
    std::string text;
    found = true;
    if (const sim::RegValue *number = ValueOf(r, kVersion9x, "VersionNumber")) {
        if (!TextOf(*number, text) || !DottedNumbers(text, 3, n))
            return BadValue(error, file, kVersion9x, "VersionNumber", "text such as \"4.10.2222\"");
        v = {VER_PLATFORM_WIN32_WINDOWS, n[0], n[1], n[2], {}};
        return OptionalText(r, file, kVersion9x, "SubVersionNumber", v.servicePack, error);
    }
    if (const sim::RegValue *current = ValueOf(r, kVersionNt, "CurrentVersion")) {
        if (!TextOf(*current, text) || !DottedNumbers(text, 2, n))
            return BadValue(error, file, kVersionNt, "CurrentVersion", "text such as \"5.0\"");
        const sim::RegValue *build = ValueOf(r, kVersionNt, "CurrentBuildNumber");
        if (!build || !TextOf(*build, text) || !DottedNumbers(text, 1, n + 2))
            return BadValue(error, file, kVersionNt, "CurrentBuildNumber", "text such as \"2195\"");
        v = {VER_PLATFORM_WIN32_NT, n[0], n[1], n[2], {}};
        return OptionalText(r, file, kVersionNt, "CSDVersion", v.servicePack, error);
    }
    found = false;
    return true;
}

// Windows 2000 keeps its service pack as a number too: 0x0400 is Service Pack 4.
bool ServicePackNumber(const sim::Registry &r, const std::string &file, std::string &servicePack,
                       InputError &error) {
    servicePack.clear();
    const sim::RegValue *value = ValueOf(r, kControlWindows, "CSDVersion");
    if (!value) return true;
    if (value->type != REG_DWORD || value->data.size() != 4)
        return BadValue(error, file, kControlWindows, "CSDVersion", "a DWORD such as 0x400");
    if (unsigned major = value->data[1]) servicePack = "Service Pack " + std::to_string(major);
    return true;
}

bool FromVer(std::string_view text, const std::string &verFile, const sim::Registry &r,
             const std::string &registryFile, sim::VersionRecord &v, InputError &error) {
    static const std::string_view kOpen = "[Version ";
    bool ok = false;
    error = {};
    ForEachLine(text, verFile, error, [&](int number, std::string_view line) {
        size_t at = line.find(kOpen);
        DWORD n[3];
        if (at == std::string_view::npos) {
            // Wine's cmd writes "Microsoft Windows 5.0.2195", without brackets.
            size_t word = line.rfind(' ') + 1;
            if (line.find("Windows ") == std::string_view::npos ||
                !DottedNumbers(line.substr(word), 3, n))
                return true;
        } else {
            size_t end = line.find(']', at);
            if (end == std::string_view::npos ||
                !DottedNumbers(line.substr(at + kOpen.size(), end - at - kOpen.size()), 3, n)) {
                error = {verFile, number, "expected [Version MAJOR.MINOR.BUILD]"};
                return false;
            }
        }
        bool nt = n[0] >= 5;
        for (const char *name : {"Windows NT", "Windows 2000", "Windows XP"})
            nt = nt || line.find(name) != std::string_view::npos;
        DWORD platform = nt ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
        // Windows 9x keeps the major and minor version in the build number's
        // high word (Wine's ver prints all of it); the build is the low word.
        if (!nt) n[2] &= 0xFFFF;
        v = {platform, n[0], n[1], n[2], {}};
        ok = true;
        return false;
    });
    if (!ok && error.message.empty())
        error = {verFile, 0, "no [Version MAJOR.MINOR.BUILD] in the output of ver"};
    if (!ok) return false;
    return v.platformId != VER_PLATFORM_WIN32_NT ||
           ServicePackNumber(r, registryFile, v.servicePack, error);
}

// Path components, as the registry splits them, without splitting a hostile
// line into millions of parts first.
bool SplitKey(std::string_view path, std::vector<std::string_view> &parts) {
    size_t count = 0;
    for (size_t i = 0; i < path.size(); ++i)
        count += path[i] != '\\' && (i == 0 || path[i - 1] == '\\');
    if (count > kMaxKeyDepth) return false;
    parts = sim::Registry::SplitPath(path);
    return true;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The text of an argument as calls.cpp quotes it. Only the quote is escaped
// unambiguously there; control characters, which no key name the program
// uses holds, stay as their escapes.
std::string Unquote(const std::string &arg) {
    if (arg.size() < 2 || arg.front() != '"' || arg.back() != '"') return {}; // NULL
    std::string out;
    for (size_t i = 1; i + 1 < arg.size(); ++i) {
        if (arg[i] == '\\' && arg[i + 1] == '"') ++i;
        out += arg[i];
    }
    return out;
}

} // namespace

bool VersionFromCapture(const sim::Registry &registry, const std::string &registryFile,
                        const std::string *verText, const std::string &verFile,
                        sim::VersionRecord &version, InputError &error) {
    bool found = false;
    if (!FromRegistry(registry, registryFile, version, found, error)) return false;
    if (found) return true;
    if (!verText) {
        error = {verFile, 0,
                 "missing: machine.txt has no version line, and the registry no VersionNumber "
                 "or CurrentVersion"};
        return false;
    }
    return FromVer(*verText, verFile, registry, registryFile, version, error);
}

std::string SystemRootFromRegistry(const sim::Registry &registry, bool nt) {
    std::string text;
    for (const char *key : {nt ? kVersionNt : kVersion9x, nt ? kVersion9x : kVersionNt}) {
        const sim::RegValue *value = ValueOf(registry, key, "SystemRoot");
        if (value && TextOf(*value, text) && !text.empty()) return text;
    }
    return {};
}

bool BelowDriveC(const std::string &windowsDirectory, fs::path &relative, std::string &message) {
    const std::string &w = windowsDirectory;
    relative.clear();
    if (w.size() < 3 || (w[0] != 'C' && w[0] != 'c') || w[1] != ':' ||
        (w[2] != '\\' && w[2] != '/')) {
        message = "the Windows directory " + w +
                  " is not on drive C:, the only drive a capture's windir/ can stand for";
        return false;
    }
    for (size_t i = 3; i < w.size();) {
        size_t end = w.find_first_of("\\/", i);
        if (end == std::string::npos) end = w.size();
        std::string part = w.substr(i, end - i);
        i = end + 1;
        if (part.empty()) continue;
        if (part == "." || part == ".." || part.find(':') != std::string::npos) {
            message = "the Windows directory " + w + " is not a plain path";
            return false;
        }
        relative /= part;
    }
    return true;
}

bool ApplyAttribFile(const std::string &text, const std::string &fileName, sim::FileSystem &files,
                     InputError &error) {
    return ForEachLine(text, fileName, error, [&](int number, std::string_view line) {
        if (line.empty()) return true;
        // The letters stand in columns before the path; where, differs
        // between Windows 98 and 2000.
        size_t path = 0;
        while (path + 2 < line.size() && !(std::isalpha(static_cast<unsigned char>(line[path])) &&
                                           line[path + 1] == ':' && line[path + 2] == '\\'))
            ++path;
        static const char kLetters[] = "ARHS";
        static const DWORD kBits[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_READONLY,
                                      FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM};
        DWORD bits = 0;
        bool ok = path + 2 < line.size();
        for (size_t i = 0; ok && i < path; ++i) {
            const char *letter = std::strchr(kLetters, line[i]);
            if (letter && *letter)
                bits |= kBits[letter - kLetters];
            else
                ok = line[i] == ' ' || line[i] == '\t';
        }
        if (!ok) {
            error = {fileName, number, "expected the letters A, R, H, S and a full path"};
            return false;
        }
        sim::ResolvedPath entry;
        if (files.Resolve(line.substr(path), entry) == ERROR_SUCCESS && entry.exists &&
            !entry.directory)
            files.SetAttributes(entry.windows, bits ? bits : FILE_ATTRIBUTE_NORMAL);
        return true;
    });
}

bool MarkAbsentDevices(sim::Machine &m) {
    const sim::RegKey *tree = m.registry.FindPath(kDeviceTree);
    if (!tree) return false;
    std::set<std::string, sim::CaseLess> present;
    std::string text;
    for (const auto &[name, node] : tree->subkeys) {
        auto it = node->values.find("HardWareKey");
        if (it != node->values.end() && TextOf(it->second, text)) present.insert(text);
    }
    const sim::RegKey *root = m.registry.FindPath("HKEY_LOCAL_MACHINE\\Enum");
    if (!root) return true;
    std::string id; // one buffer: a long device history holds many
    for (const auto &[bus, busKey] : root->subkeys)
        for (const auto &[model, modelKey] : busKey->subkeys)
            for (const auto &instance : modelKey->subkeys) {
                id.assign(bus).append(1, '\\').append(model).append(1, '\\');
                id.append(instance.first);
                if (!present.count(id)) m.absentDevices.insert(m.absentDevices.end(), id);
            }
    return true;
}

bool ReadCapturedKeys(const std::string &text, const std::string &fileName,
                      std::vector<std::string> &keys, InputError &error) {
    sim::Registry roots;
    keys.clear();
    return ForEachLine(text, fileName, error, [&](int number, std::string_view line) {
        while (!line.empty() && (line[0] == ' ' || line[0] == '\t'))
            line.remove_prefix(1);
        // capture.bat echoes the key as it names it, quotes and all.
        if (line.size() >= 2 && line.front() == '"' && line.back() == '"')
            line = line.substr(1, line.size() - 2);
        if (line.empty()) return true;
        std::vector<std::string_view> parts;
        if (!SplitKey(line, parts)) {
            error = {fileName, number,
                     "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels"};
            return false;
        }
        if (parts.empty() || !roots.RootByName(parts[0])) {
            error = {fileName, number, "unknown root key in " + std::string(line)};
            return false;
        }
        keys.emplace_back(line);
        return true;
    });
}

CaptureReads::CaptureReads(const std::vector<std::string> &captured, const std::string &enumRoot)
    : enumRoot_(enumRoot) {
    std::string key;
    for (const std::string &path : captured) {
        if (!Canonical(path, key)) continue;
        captured_.insert(key);
        for (size_t slash = key.find('\\'); slash != std::string::npos;
             slash = key.find('\\', slash + 1))
            above_.insert(key.substr(0, slash));
    }
}

bool CaptureReads::Canonical(const std::string &path, std::string &out) const {
    std::vector<std::string_view> parts;
    if (!SplitKey(path, parts) || parts.empty()) return false;
    const sim::RegKey *root = roots_.RootByName(parts[0]);
    if (!root) return false; // a handle that names no key
    out = root->name;
    for (size_t i = 1; i < parts.size(); ++i)
        out += "\\" + Upper(parts[i]);
    return true;
}

// `whole`: the call depends on the key's values or everything below it, not
// only on the names of its subkeys.
void CaptureReads::Read(const std::string &path, bool whole) {
    std::string key;
    if (!Canonical(path, key)) return;
    for (size_t end = key.find('\\'); end != std::string::npos; end = key.find('\\', end + 1))
        if (captured_.count(key.substr(0, end))) return;
    if (captured_.count(key) || (!whole && above_.count(key))) return;
    if (!reported_.insert(key).second) return;
    std::vector<std::string_view> parts = sim::Registry::SplitPath(path);
    std::string shown(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i)
        shown += "\\" + std::string(parts[i]);
    keys_.push_back(Short(shown));
}

void CaptureReads::Observe(const sim::CallRecord &call) {
    const std::vector<std::string> &args = call.args;
    if (args.empty()) return;
    // A handle's text is its key's path. That of a deleted key or an invalid
    // handle names no key, and such a call reads nothing.
    const std::string &key = args[0];
    const std::string &name = call.name;
    if ((name == "RegOpenKeyA" || name == "RegDeleteKeyA") && args.size() > 1)
        Read(key + "\\" + Unquote(args[1]), name == "RegDeleteKeyA");
    else if (name == "RegEnumKeyA" || name == "RegEnumKeyExA")
        Read(key, false);
    else if (name == "RegQueryValueExA")
        Read(key, true);
    else if (name == "SetupDiGetClassDevsA" && args.size() > 1)
        Read(enumRoot_ + "\\" + Unquote(args[1]), true); // every device's key and values
}

} // namespace simio
