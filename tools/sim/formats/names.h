// Whether Windows could take every name in the part of a volume or an archive
// that is read: each entry by its own name, and no two by one name.
#pragma once

#include "tree.h"

#include <string>
#include <vector>

namespace simio {

// False, with `error` naming the entry by its path inside the container
// (`path` + "\" + its name, e.g. \CAPTURE\windir\INF\x.inf), for the first
// entry in `folder` or below that has a fault, whose name Windows could not
// hold (NotAWindowsName), or that Windows would find by the same name as
// another entry of its folder, both named: equal names as Windows folds case,
// equal short names, or a name that is another entry's short name (Windows
// then opens the first of the two in the folder). Short names are compared
// only where they are set (FAT, not zip).
bool CheckNames(const std::vector<Node> &folder, const std::string &path, std::string &error);

} // namespace simio
