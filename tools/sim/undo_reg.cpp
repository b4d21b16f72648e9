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

std::string Crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Drops the "[key]" sections WriteRegFile writes for the existing keys above
// each restored one: importing them would do nothing, and a person reading
// undo.reg would take them for keys it restores.
std::string DropScaffolding(const std::string &reg,
                            const std::set<std::string, sim::CaseLess> &written) {
    const std::string gap = "\r\n\r\n";
    std::string out;
    size_t start = 0;
    while (start < reg.size()) {
        size_t end = reg.find(gap, start);
        end = end == std::string::npos ? reg.size() : end + gap.size();
        std::string block = reg.substr(start, end - start);
        bool bareKey = block.front() == '[' && block.find("\r\n") + gap.size() == block.size();
        if (!bareKey || written.count(block.substr(1, block.size() - 2 - gap.size()))) out += block;
        start = end;
    }
    return out;
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

        sim::Registry restore;
        std::set<std::string, sim::CaseLess> written;
        std::string removals;
        for (const auto &[path, values] : before.keys) {
            if (IsProduct(path)) continue;
            auto now = after.keys.find(path);
            if (now == after.keys.end()) {
                sim::RegKey &key = restore.CreatePath(path);
                for (const auto &[name, value] : values)
                    key.values[name] = value;
                written.insert(path);
                ++out.keys;
                if (after.keys.count(Parent(path))) out.keyLines.push_back(path + TailBelow(path));
                continue;
            }
            std::string gone;
            for (const auto &[name, value] : values) {
                auto was = now->second.find(name);
                bool same = was != now->second.end() && was->second.type == value.type &&
                            was->second.data == value.data;
                if (same) continue;
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
                gone += QuotedValueName(name) + "=-\n";
                ++out.values;
                out.valueLines.push_back(path + ", value " + (name.empty() ? "(default)" : name) +
                                         ": removed (the uninstaller made it)");
            }
            if (!gone.empty()) removals += "[" + path + "]\n" + gone + "\n";
        }
        for (const auto &[path, values] : after.keys) {
            if (before.keys.count(path) || !before.keys.count(Parent(path))) continue;
            removals += "[-" + path + "]\n\n";
            ++out.removed;
            out.madeLines.push_back("the registry key " + path);
        }
        out.removals = !removals.empty();
        out.text =
            DropScaffolding(WriteRegFile(restore, RegFileFormat{}), written) + Crlf(removals);
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
