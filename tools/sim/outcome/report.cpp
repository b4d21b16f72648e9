#include "report.h"

#include "platform/sim/printable.h"
#include "platform/sim/registry.h"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>
#include <functional>
#include <vector>

namespace fs = std::filesystem;

namespace simio {

namespace {

void AddKeys(const sim::RegKey &key, MachineState &s) {
    s.keys[key.Path()] = MachineState::Values(key.values.begin(), key.values.end());
    if (key.PathLost()) s.widePaths[key.Path()] = key.WidePath();
    for (const auto &entry : key.subkeys)
        AddKeys(*entry.second, s);
}

void AddFiles(const sim::Machine &m, const fs::path &host, const std::string &windows,
              MachineState &s) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(host, ec)) {
        std::string path = windows + "\\" + entry.path().filename().string();
        if (entry.is_directory()) {
            s.folders.insert(path);
            AddFiles(m, entry.path(), path, s);
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        FileState &file = s.files[path];
        file.bytes.assign(std::istreambuf_iterator<char>(in), {});
        sim::ResolvedPath resolved;
        m.files.Resolve(path, resolved);
        file.attributes = m.files.AttributesOf(resolved);
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0) file.modified = st.st_mtime;
    }
}

std::string Short(const std::string &path) {
    const std::string full = "HKEY_LOCAL_MACHINE";
    return path.rfind(full, 0) == 0 ? "HKLM" + path.substr(full.size()) : path;
}

std::string Parent(const std::string &path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Named(const std::string &valueName) {
    return valueName.empty() ? "(default)" : valueName;
}

// A string value's text without its type: REG_SZ "x" -> x.
std::string Get(const std::map<std::string, std::string> &values, const char *name) {
    auto it = values.find(name);
    if (it == values.end()) return {};
    const std::string &text = it->second;
    size_t quote = text.find('"');
    return quote == std::string::npos ? text : text.substr(quote + 1, text.size() - quote - 2);
}

size_t Depth(const std::string &path) {
    size_t n = 0;
    for (char c : path)
        n += c == '\\';
    return n;
}

} // namespace

MachineState CaptureState(const sim::Machine &m) {
    MachineState s;
    for (const auto &root : m.registry.Roots())
        AddKeys(*root, s);
    for (const auto &[letter, host] : m.files.Drives())
        AddFiles(m, host, std::string(1, letter) + ":", s);
    for (const auto &w : m.windows)
        if (w.open) s.windows.push_back(w.title);
    return s;
}

Snapshot TakeSnapshot(const MachineState &state) {
    Snapshot s;
    for (const auto &[path, values] : state.keys) {
        if (path.find('\\') == std::string::npos) continue; // a root key
        auto &texts = s.keys[path];
        for (const auto &entry : values)
            texts[entry.second.name] = sim::ValueText(entry.second);
    }
    for (const auto &[path, file] : state.files) {
        s.files[path] = std::to_string(file.bytes.size()) + " bytes, digest " +
                        std::to_string(std::hash<std::string>{}(file.bytes));
        s.attributes[path] = file.attributes;
    }
    return s;
}

Snapshot TakeSnapshot(const sim::Machine &m) {
    return TakeSnapshot(CaptureState(m));
}

namespace {

// A text file's lines, UTF-16 (with its byte-order mark) narrowed as the report shows text.
std::vector<std::string> TextLines(const std::string &bytes) {
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            unsigned unit = static_cast<unsigned char>(bytes[i]) |
                            static_cast<unsigned char>(bytes[i + 1]) << 8;
            text += unit < 0x100 ? static_cast<char>(unit) : '?';
        }
    } else {
        text = bytes;
    }
    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        start = end + 1;
    }
    return lines;
}

// "  line N was: ..." and "  line N now: ..." for the first lines that differ, when a
// file kept its number of lines (as a patched line does).
void DescribeChangedLines(const std::string &was, const std::string &now,
                          std::vector<std::string> &lines) {
    std::vector<std::string> a = TextLines(was), b = TextLines(now);
    if (a.size() != b.size()) return;
    int shown = 0;
    for (size_t i = 0; i < a.size() && shown < 3; ++i)
        if (a[i] != b[i]) {
            lines.push_back("  line " + std::to_string(i + 1) + " was: " + a[i]);
            lines.push_back("  line " + std::to_string(i + 1) + " now: " + b[i]);
            ++shown;
        }
}

} // namespace

std::string DescribeChanges(const sim::Machine &m, const Snapshot &before, const Snapshot &after,
                            const MachineState *stateBefore, const MachineState *stateAfter) {
    std::vector<std::string> lines;
    for (const auto &box : m.messageBoxes)
        lines.push_back("Message box \"" + box.caption + "\": \"" + box.text + "\"");
    for (const auto &p : m.processes)
        lines.push_back("Started " + p.file + (p.parameters.empty() ? "" : " " + p.parameters));

    const std::string enumRoot = m.EnumRoot();
    const std::string uninstall = sim::kUninstallKey;
    for (const auto &[path, values] : before.keys) {
        if (after.keys.count(path)) continue;
        std::string parent = Parent(path);
        if (before.keys.count(parent) && !after.keys.count(parent))
            continue; // went with its parent
        size_t below = 0;
        for (auto it = before.keys.upper_bound(path);
             it != before.keys.end() && it->first.rfind(path + "\\", 0) == 0; ++it)
            ++below;
        std::string tail = below == 0   ? ""
                           : below == 1 ? " (and 1 key below it)"
                                        : " (and " + std::to_string(below) + " keys below it)";
        if (sim::EqualNoCase(parent, uninstall)) {
            std::string name = Get(values, "DisplayName");
            lines.push_back("Removed product " + path.substr(parent.size() + 1) +
                            (name.empty() ? "" : " (" + name + ")"));
        } else if (path.rfind(enumRoot + "\\", 0) == 0 && Depth(path) == Depth(enumRoot) + 3 &&
                   !Get(values, "ClassGUID").empty()) {
            std::string desc = Get(values, "DeviceDesc");
            lines.push_back("Removed device " + path.substr(enumRoot.size() + 1) +
                            (desc.empty() ? "" : " (" + desc + ")") + tail);
        } else {
            lines.push_back("Deleted key " + Short(path) + tail);
        }
    }
    for (const auto &[path, values] : after.keys) {
        auto old = before.keys.find(path);
        if (old == before.keys.end()) {
            lines.push_back("Created key " + Short(path));
            for (const auto &[name, text] : values)
                lines.push_back("Set value " + Short(path) + "\\" + Named(name) + " = " + text);
            continue;
        }
        for (const auto &[name, text] : values) {
            auto was = old->second.find(name);
            if (was == old->second.end())
                lines.push_back("Set value " + Short(path) + "\\" + Named(name) + " = " + text);
            else if (was->second != text)
                lines.push_back("Set value " + Short(path) + "\\" + Named(name) + " = " + text +
                                " (was " + was->second + ")");
        }
        for (const auto &[name, text] : old->second)
            if (!values.count(name))
                lines.push_back("Deleted value " + Short(path) + "\\" + Named(name));
    }

    for (const auto &[path, digest] : before.files) {
        auto now = after.files.find(path);
        if (now == after.files.end())
            lines.push_back("Deleted file " + path);
        else if (now->second != digest) {
            lines.push_back("Changed file " + path + " (" + digest.substr(0, digest.find(',')) +
                            " -> " + now->second.substr(0, now->second.find(',')) + ")");
            if (stateBefore && stateAfter && stateBefore->files.count(path) &&
                stateAfter->files.count(path))
                DescribeChangedLines(stateBefore->files.at(path).bytes,
                                     stateAfter->files.at(path).bytes, lines);
        }
    }
    for (const auto &[path, digest] : after.files)
        if (!before.files.count(path))
            lines.push_back("Created file " + path + " (" + digest.substr(0, digest.find(',')) +
                            ")");
    for (const auto &[path, attributes] : after.attributes) {
        auto was = before.attributes.find(path);
        if (was != before.attributes.end() && was->second != attributes) {
            char buf[64];
            std::snprintf(buf, sizeof buf, " 0x%x -> 0x%x", static_cast<unsigned>(was->second),
                          static_cast<unsigned>(attributes));
            lines.push_back("Attributes of " + path + buf);
        }
    }

    for (const auto &w : m.windows)
        for (UINT message : w.received)
            if (message == WM_CLOSE) lines.push_back("Closed window \"" + w.title + "\"");

    std::string out;
    for (const auto &l : lines)
        out += sim::Printable(l) + "\n";
    return out;
}

} // namespace simio
