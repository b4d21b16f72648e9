#include "undo_reg.h"

#include "reg_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace simio {

namespace {

std::string Parent(const std::string &path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool Within(const std::string &path, const std::string &top) {
    return sim::EqualNoCase(path, top) ||
           (path.size() > top.size() && path[top.size()] == '\\' &&
            sim::EqualNoCase(std::string_view(path).substr(0, top.size()), top));
}

// A name regedit cannot read back would make another key or value.
const char *CannotReadBack(const std::u16string &widePath) {
    std::u16string_view rest(widePath);
    while (!rest.empty()) {
        size_t slash = rest.find(u'\\');
        if (const char *why = RegeditCannotName(rest.substr(0, slash), true)) return why;
        rest = slash == rest.npos ? std::u16string_view() : rest.substr(slash + 1);
    }
    return nullptr;
}

std::string Shown(std::string text) {
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return text;
}

using Values = MachineState::Values;

// Proofs undo.bat may choose from: each one's export is written out here to be sure of it.
const size_t kMaxProofs = 16;

std::string Upper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A string value as regedit exports it between quotes, or "" when it is not
// written so, or not the same there and in reg query's words (escapes, NT's own text).
std::string PlainText(const sim::RegValue &value) {
    const auto &d = value.data;
    if (value.type != REG_SZ || d.empty() || d.back() != 0 || !value.ntData.empty() ||
        !value.ntName.empty())
        return {};
    std::string text(d.begin(), d.end() - 1);
    return text.find_first_of(std::string("\\\"\0", 3)) == text.npos ? text : std::string();
}

// A DWORD as regedit exports it, "dword:00000003", of a fixed length, so that it is no
// part of another; "" for other values. (Other types are hex over lines of their own.)
std::string DwordText(const sim::RegValue &value) {
    if (value.type != REG_DWORD || value.data.size() != 4) return {};
    char text[16];
    std::snprintf(text, sizeof text, "dword:%02x%02x%02x%02x", value.data[3], value.data[2],
                  value.data[1], value.data[0]);
    return text;
}

// The run left a value as it was: undo.reg need not set it.
bool Same(const sim::RegValue &was, const sim::RegValue &now) {
    return was.type == now.type && was.data == now.data && was.ntData == now.ntData;
}

// The run left the key's values as they were: none set, deleted or made.
bool Same(const Values &was, const Values &now) {
    if (was.size() != now.size()) return false;
    for (const auto &[name, value] : was) {
        auto it = now.find(name);
        if (it == now.end() || !Same(value, it->second)) return false;
    }
    return true;
}

struct Builder {
    const MachineState &before, &after;
    bool nt;
    UndoReg &out;
    const RegFileFormat format{nt, nt};
    sim::Registry restore = {};
    std::set<std::string, sim::CaseLess> written = {};
    std::u16string removals = {};       // [-key] and "name"=- lines, after the rest
    std::vector<std::string> tops = {}; // deleted keys whose parent the run left
    std::vector<std::pair<std::string, std::string>> strings = {}; // key, value name set back

    bool IsProduct(const std::string &path) const {
        for (const auto &p : out.products)
            if (Within(path, p)) return true;
        return false;
    }

    std::u16string Wide(const MachineState &state, const std::string &path) const {
        auto it = state.widePaths.find(path);
        return nt && it != state.widePaths.end() ? it->second : sim::WidenAnsi(path);
    }

    // False, with the line for README.txt, when regedit could not read the value back.
    bool Readable(const std::string &path, const std::string &name, const sim::RegValue &value,
                  const char *byHand) {
        const char *why = RegeditCannotName(value.WideName(), false);
        if (why)
            out.cannot.push_back(Shown(path) + ", value \"" + Shown(name) + "\": " + why +
                                 ", which regedit cannot read back; " + byHand + " it by hand");
        return !why;
    }

    void Registry() {
        // A removed product's Add/Remove Programs entry is Windows Installer's,
        // and Windows Installer no longer knows the product: written back, it
        // would offer a removal that fails. The README sends the person to
        // the product's own setup instead.
        for (const auto &[path, values] : before.keys)
            if (!after.keys.count(path) && sim::EqualNoCase(Parent(path), sim::kUninstallKey))
                out.products.push_back(path);
        for (const auto &[path, values] : before.keys) {
            if (IsProduct(path)) continue;
            auto now = after.keys.find(path);
            if (now != after.keys.end() && Same(values, now->second)) continue;
            if (const char *why = CannotReadBack(Wide(before, path))) {
                out.cannot.push_back(Shown(path) + ": " + why +
                                     ", which regedit cannot read back; set it by hand");
                continue;
            }
            if (now == after.keys.end())
                DeletedKey(path, values);
            else
                ChangedKey(path, values, now->second);
        }
        MadeKeys();
        Proofs();
        out.removals = !removals.empty();
        if (nt) NtNames();
        out.text =
            EncodeRegText(WriteRegText(restore, format, {true, &written}) + removals, format);
    }

    // A key the run deleted comes back whole.
    void DeletedKey(const std::string &path, const Values &values) {
        sim::RegKey &key = restore.CreatePath(path);
        for (const auto &[name, value] : values)
            if (Readable(path, name, value, "set")) key.values[name] = value;
        written.insert(path);
        ++out.keys;
        if (!after.keys.count(Parent(path))) return;
        out.keyLines.push_back(path + TailBelow(path));
        tops.push_back(path);
    }

    // Of a key the run kept, the values it changed or deleted are set back
    // and those it made are removed.
    void ChangedKey(const std::string &path, const Values &values, const Values &now) {
        std::u16string gone;
        for (const auto &[name, value] : values) {
            auto was = now.find(name);
            bool same = was != now.end() && Same(value, was->second);
            if (same || !Readable(path, name, value, "set")) continue;
            restore.CreatePath(path).values[name] = value;
            strings.emplace_back(path, name);
            written.insert(path);
            ++out.values;
            out.valueLines.push_back(
                path + ", value " + (name.empty() ? "(default)" : name) + ": back to " +
                sim::ValueText(value) +
                (was == now.end() ? " (the uninstaller deleted it)"
                                  : " (the uninstaller set " + sim::ValueText(was->second) + ")"));
        }
        for (const auto &[name, value] : now) {
            if (values.count(name) || !Readable(path, name, value, "delete")) continue;
            gone += RegValueName(value, format, {true, nullptr}) + u"=-\r\n";
            ++out.values;
            out.valueLines.push_back(path + ", value " + (name.empty() ? "(default)" : name) +
                                     ": removed (the uninstaller made it)");
        }
        if (!gone.empty()) removals += u"[" + Wide(before, path) + u"]\r\n" + gone + u"\r\n";
    }

    // Keys the run made below keys it found are deleted.
    void MadeKeys() {
        for (const auto &[path, values] : after.keys) {
            if (before.keys.count(path) || !before.keys.count(Parent(path))) continue;
            if (const char *why = CannotReadBack(Wide(after, path))) {
                out.cannot.push_back(Shown(path) + ": " + why +
                                     ", which regedit cannot read back; delete it by hand");
                continue;
            }
            removals += u"[-" + Wide(after, path) + u"]\r\n\r\n";
            ++out.removed;
            out.madeLines.push_back("the registry key " + path);
        }
    }

    // The run's export of `key` as FIND reads it, in upper case, and what a shell may put
    // into FIND's pipe instead: a text found in none of it shows that the import took.
    std::string AfterExport(const std::string &key) const {
        sim::Registry reg;
        std::set<std::string, sim::CaseLess> keys;
        for (const auto &[path, values] : after.keys)
            if (Within(path, key)) {
                reg.CreatePath(path).values = values;
                keys.insert(path);
            }
        std::u16string text = WriteRegText(reg, RegFileFormat{}, {true, &keys});
        return Upper(std::string(text.begin(), text.end())) +
               "\nBAD COMMAND OR FILE NAME\nFILE NOT FOUND - UNDOREG.TMP\n(DEFAULT) REG_SZ\n";
    }

    // A deleted key comes back below a key the run left, and a string value gets its
    // text back. The nearest key the run left is exported if its line fits, else one a
    // level or two above it: the capture holds less of the machine's keys further up.
    void Proofs() {
        std::vector<std::pair<std::pair<size_t, size_t>, RegistryProof>> found;
        auto offer = [&](std::string from, size_t levels, const std::string &key,
                         const std::vector<std::string> &texts, const std::string *name) {
            for (size_t level = 0; level < levels && found.size() < kMaxProofs; ++level) {
                if (Parent(from).empty() || !after.keys.count(from) || after.widePaths.count(from))
                    return;
                const std::string run = AfterExport(from);
                RegistryProof proof{from, {}, key, name != nullptr, name ? *name : ""};
                for (const auto &text : texts)
                    if (run.find(Upper(text)) == run.npos) proof.texts.push_back(text);
                if (!proof.texts.empty()) found.push_back({{level, run.size()}, proof});
                from = Parent(from);
            }
        };
        for (const auto &key : tops) {
            if (before.widePaths.count(key)) continue;
            std::vector<std::string> texts; // the whole path first, then ever shorter ends
            for (size_t at = 0; at != key.npos; at = key.find('\\', at + 1))
                texts.push_back(key.substr(at ? at + 1 : 0));
            offer(Parent(key), 2, key, texts, nullptr);
        }
        for (const auto &[key, name] : strings) {
            const sim::RegValue &value = before.keys.at(key).at(name);
            // reg query shows a DWORD otherwise: only regedit's export is looked at.
            if (std::string text = PlainText(value); !text.empty())
                offer(key, 3, key, {text}, &name);
            else if (std::string dword = DwordText(value); !dword.empty())
                offer(key, 3, "", {dword}, &name);
        }
        std::stable_sort(found.begin(), found.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (auto &f : found)
            out.proofs.push_back(std::move(f.second));
    }

    // The names of restored keys as NT held them.
    void NtNames() {
        for (const auto &[path, widePath] : before.widePaths) {
            sim::RegKey *key = restore.FindPath(path);
            for (size_t end = widePath.size(); key && key->parent; key = key->parent) {
                size_t slash = widePath.rfind(u'\\', end - 1);
                std::u16string name = widePath.substr(slash + 1, end - slash - 1);
                if (name != sim::WidenAnsi(key->name)) key->ntName = name;
                end = slash;
            }
        }
    }

    std::string TailBelow(const std::string &path) const {
        size_t below = 0;
        for (auto it = before.keys.upper_bound(path);
             it != before.keys.end() && Within(it->first, path); ++it)
            ++below;
        return below == 0   ? ""
               : below == 1 ? " (and 1 key below it)"
                            : " (and " + std::to_string(below) + " keys below it)";
    }
};

} // namespace

UndoReg MakeUndoReg(const MachineState &before, const MachineState &after, bool nt) {
    UndoReg out;
    Builder{before, after, nt, out}.Registry();
    return out;
}

} // namespace simio
