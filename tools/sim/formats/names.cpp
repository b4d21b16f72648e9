#include "names.h"

#include "windows_name.h"

#include <map>

namespace simio {

bool CheckNames(const std::vector<Node> &folder, const std::string &path, std::string &error) {
    // Each name Windows finds an entry by, folded, and whose it is: long and short
    // names alike, since a lookup matches either and takes the first entry that has it.
    std::map<std::u16string, std::size_t> seen;
    auto full = [&](std::size_t i) { return path + "\\" + folder[i].name; };
    for (std::size_t i = 0; i < folder.size(); ++i) {
        const Node &node = folder[i];
        if (!node.fault.empty()) {
            error = full(i) + ": " + node.fault + ", which Windows cannot open";
            return false;
        }
        if (const char *why = NotAWindowsName(node.name)) {
            error = full(i) + ": " + why + ", which Windows cannot hold";
            return false;
        }
        for (const std::string *name : {&node.name, &node.shortName}) {
            if (name->empty()) continue;
            auto [other, fresh] = seen.emplace(FoldCase(*name), i);
            if (fresh || other->second == i) continue;
            error = full(other->second) + " and " + full(i) + ": Windows finds both by the name " +
                    *name + ", and opens only " + full(other->second);
            return false;
        }
    }
    for (std::size_t i = 0; i < folder.size(); ++i)
        if (folder[i].Folder() && !CheckNames(folder[i].children, full(i), error)) return false;
    return true;
}

} // namespace simio
