#include "changes.h"

#include <algorithm>
#include <cstdlib>

namespace simio {

namespace {

std::string Short(const std::string &path) {
    const std::string full = "HKEY_LOCAL_MACHINE";
    return path.rfind(full, 0) == 0 ? "HKLM" + path.substr(full.size()) : path;
}

std::string Parent(const std::string &path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
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
    return static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

// A snapshot's "N bytes, digest D" -> N.
std::uint64_t Size(const std::string &digest) {
    return std::strtoull(digest.c_str(), nullptr, 10);
}

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

// The first lines that differ, when a file kept its number of lines.
std::vector<ChangedLine> ChangedLines(const std::string &was, const std::string &now) {
    std::vector<std::string> a = TextLines(was), b = TextLines(now);
    std::vector<ChangedLine> out;
    if (a.size() != b.size()) return out;
    for (size_t i = 0; i < a.size() && out.size() < 3; ++i)
        if (a[i] != b[i]) out.push_back({i + 1, a[i], b[i]});
    return out;
}

struct Lister {
    const sim::Machine &m;
    const Snapshot &before, &after;
    const MachineState *stateBefore, *stateAfter;
    std::vector<Change> out;

    Change &Add(Change::Kind kind) {
        out.emplace_back();
        out.back().kind = kind;
        return out.back();
    }

    // Only the top of each tree that went: the rest went with it.
    void KeysGone() {
        const std::string enumRoot = m.EnumRoot();
        for (const auto &[path, values] : before.keys) {
            if (after.keys.count(path)) continue;
            std::string parent = Parent(path);
            if (before.keys.count(parent) && !after.keys.count(parent)) continue;
            size_t below = 0;
            for (auto it = before.keys.upper_bound(path);
                 it != before.keys.end() && it->first.rfind(path + "\\", 0) == 0; ++it)
                ++below;
            Change *c;
            if (sim::EqualNoCase(parent, sim::kUninstallKey)) {
                c = &Add(Change::RemovedProduct);
                c->product = path.substr(parent.size() + 1);
                c->description = Get(values, "DisplayName");
            } else if (path.rfind(enumRoot + "\\", 0) == 0 && Depth(path) == Depth(enumRoot) + 3 &&
                       !Get(values, "ClassGUID").empty()) {
                c = &Add(Change::RemovedDevice);
                c->device = path.substr(enumRoot.size() + 1);
                c->description = Get(values, "DeviceDesc");
            } else {
                c = &Add(Change::DeletedKey);
            }
            c->key = Short(path);
            c->keysBelow = below;
        }
    }

    void Value(Change::Kind kind, const std::string &path, const std::string &name) {
        Change &c = Add(kind);
        c.key = Short(path);
        c.valueName = name;
    }

    void KeysAndValuesMade() {
        for (const auto &[path, values] : after.keys) {
            auto old = before.keys.find(path);
            if (old == before.keys.end()) Add(Change::CreatedKey).key = Short(path);
            for (const auto &[name, text] : values) {
                const std::string *was = nullptr;
                if (old != before.keys.end() && old->second.count(name))
                    was = &old->second.at(name);
                if (was && *was == text) continue;
                Value(Change::SetValue, path, name);
                out.back().valueAfter = text;
                if (was) out.back().valueBefore = *was;
            }
            if (old == before.keys.end()) continue;
            for (const auto &[name, text] : old->second)
                if (!values.count(name)) {
                    Value(Change::DeletedValue, path, name);
                    out.back().valueBefore = text;
                }
        }
    }

    void Files() {
        for (const auto &[path, digest] : before.files) {
            auto now = after.files.find(path);
            if (now != after.files.end() && now->second == digest) continue;
            Change &c = Add(now == after.files.end() ? Change::DeletedFile : Change::ChangedFile);
            c.path = path;
            c.sizeBefore = Size(digest);
            if (now == after.files.end()) continue;
            c.sizeAfter = Size(now->second);
            if (stateBefore && stateAfter && stateBefore->files.count(path) &&
                stateAfter->files.count(path))
                c.lines = ChangedLines(stateBefore->files.at(path).bytes,
                                       stateAfter->files.at(path).bytes);
        }
        for (const auto &[path, digest] : after.files)
            if (!before.files.count(path)) {
                Change &c = Add(Change::CreatedFile);
                c.path = path;
                c.sizeAfter = Size(digest);
            }
        for (const auto &[path, attributes] : after.attributes) {
            auto was = before.attributes.find(path);
            if (was == before.attributes.end() || was->second == attributes) continue;
            Change &c = Add(Change::Attributes);
            c.path = path;
            c.attributesBefore = was->second;
            c.attributesAfter = attributes;
        }
    }
};

} // namespace

const char *KindName(Change::Kind kind) {
    static const char *const names[] = {
        "message-box",  "started",    "removed-product", "removed-device", "deleted-key",
        "created-key",  "set-value",  "deleted-value",   "deleted-file",   "changed-file",
        "created-file", "attributes", "closed-window"};
    return names[kind];
}

std::vector<Change> ListChanges(const sim::Machine &m, const Snapshot &before,
                                const Snapshot &after, const MachineState *stateBefore,
                                const MachineState *stateAfter) {
    Lister l{m, before, after, stateBefore, stateAfter, {}};
    for (const auto &box : m.messageBoxes) {
        Change &c = l.Add(Change::MessageBox);
        c.caption = box.caption;
        c.text = box.text;
    }
    for (const auto &p : m.processes) {
        Change &c = l.Add(Change::Started);
        c.path = p.file;
        c.parameters = p.parameters;
    }
    l.KeysGone();
    l.KeysAndValuesMade();
    l.Files();
    for (const auto &w : m.windows)
        for (UINT message : w.received)
            if (message == WM_CLOSE) l.Add(Change::ClosedWindow).title = w.title;
    return l.out;
}

} // namespace simio
