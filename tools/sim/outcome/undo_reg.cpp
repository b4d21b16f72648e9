#include "undo_reg.h"

#include "reg_file.h"

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

struct Builder {
    const MachineState &before, &after;
    bool nt;
    UndoReg &out;

    bool IsProduct(const std::string &path) const {
        for (const auto &p : out.products)
            if (Within(path, p)) return true;
        return false;
    }

    void Registry() {
        // A removed product's Add/Remove Programs entry is Windows Installer's,
        // and Windows Installer no longer knows the product: written back, it
        // would offer a removal that fails. The README sends the person to
        // the product's own setup instead.
        for (const auto &[path, values] : before.keys)
            if (!after.keys.count(path) && sim::EqualNoCase(Parent(path), sim::kUninstallKey))
                out.products.push_back(path);

        const RegFileFormat format{nt, nt};
        auto wide = [&](const MachineState &state, const std::string &path) {
            auto it = state.widePaths.find(path);
            return nt && it != state.widePaths.end() ? it->second : sim::WidenAnsi(path);
        };
        // A name regedit cannot read back would make another key or value.
        auto cannot = [&](const std::u16string &widePath) -> const char * {
            std::u16string_view rest(widePath);
            while (!rest.empty()) {
                size_t slash = rest.find(u'\\');
                if (const char *why = RegeditCannotName(rest.substr(0, slash), true)) return why;
                rest = slash == rest.npos ? std::u16string_view() : rest.substr(slash + 1);
            }
            return nullptr;
        };
        auto shown = [](std::string text) {
            for (char &c : text)
                if (static_cast<unsigned char>(c) < 0x20) c = '?';
            return text;
        };
        sim::Registry restore;
        std::set<std::string, sim::CaseLess> written;
        std::u16string removals;
        for (const auto &[path, values] : before.keys) {
            if (IsProduct(path)) continue;
            auto now = after.keys.find(path);
            if (const char *why = cannot(wide(before, path))) {
                out.cannot.push_back(shown(path) + ": " + why +
                                     ", which regedit cannot read back; set it by hand");
                continue;
            }
            if (now == after.keys.end()) {
                sim::RegKey &key = restore.CreatePath(path);
                for (const auto &[name, value] : values) {
                    if (const char *why = RegeditCannotName(value.WideName(), false)) {
                        out.cannot.push_back(shown(path) + ", value \"" + shown(name) +
                                             "\": " + why +
                                             ", which regedit cannot read back; set it by hand");
                        continue;
                    }
                    key.values[name] = value;
                }
                written.insert(path);
                ++out.keys;
                if (after.keys.count(Parent(path))) out.keyLines.push_back(path + TailBelow(path));
                continue;
            }
            std::u16string gone;
            for (const auto &[name, value] : values) {
                auto was = now->second.find(name);
                bool same = was != now->second.end() && was->second.type == value.type &&
                            was->second.data == value.data;
                same = same && was->second.ntData == value.ntData;
                if (same) continue;
                if (const char *why = RegeditCannotName(value.WideName(), false)) {
                    out.cannot.push_back(shown(path) + ", value \"" + shown(name) + "\": " + why +
                                         ", which regedit cannot read back; set it by hand");
                    continue;
                }
                restore.CreatePath(path).values[name] = value;
                written.insert(path);
                ++out.values;
                out.valueLines.push_back(
                    path + ", value " + (name.empty() ? "(default)" : name) + ": back to " +
                    sim::ValueText(value) +
                    (was == now->second.end()
                         ? " (the uninstaller deleted it)"
                         : " (the uninstaller set " + sim::ValueText(was->second) + ")"));
            }
            for (const auto &[name, value] : now->second) {
                if (values.count(name)) continue;
                if (const char *why = RegeditCannotName(value.WideName(), false)) {
                    out.cannot.push_back(shown(path) + ", value \"" + shown(name) + "\": " + why +
                                         ", which regedit cannot read back; delete it by hand");
                    continue;
                }
                gone += RegValueName(value, format, {true, nullptr}) + u"=-\r\n";
                ++out.values;
                out.valueLines.push_back(path + ", value " + (name.empty() ? "(default)" : name) +
                                         ": removed (the uninstaller made it)");
            }
            if (!gone.empty()) removals += u"[" + wide(before, path) + u"]\r\n" + gone + u"\r\n";
        }
        for (const auto &[path, values] : after.keys) {
            if (before.keys.count(path) || !before.keys.count(Parent(path))) continue;
            if (const char *why = cannot(wide(after, path))) {
                out.cannot.push_back(shown(path) + ": " + why +
                                     ", which regedit cannot read back; delete it by hand");
                continue;
            }
            removals += u"[-" + wide(after, path) + u"]\r\n\r\n";
            ++out.removed;
            out.madeLines.push_back("the registry key " + path);
        }
        out.removals = !removals.empty();
        // The names of restored keys as NT held them.
        if (nt)
            for (const auto &[path, widePath] : before.widePaths) {
                sim::RegKey *key = restore.FindPath(path);
                for (size_t end = widePath.size(); key && key->parent; key = key->parent) {
                    size_t slash = widePath.rfind(u'\\', end - 1);
                    std::u16string name = widePath.substr(slash + 1, end - slash - 1);
                    if (name != sim::WidenAnsi(key->name)) key->ntName = name;
                    end = slash;
                }
            }
        out.text =
            EncodeRegText(WriteRegText(restore, format, {true, &written}) + removals, format);
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
