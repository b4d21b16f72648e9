// What a run changed on the simulated machine, in words a person reads.
#pragma once

#include "platform/sim/machine.h"

#include <cstdio>
#include <map>
#include <string>

namespace simio {

struct Snapshot {
    // Key path -> value name -> value text ("" names the default value).
    std::map<std::string, std::map<std::string, std::string>> keys;
    // Windows path -> size and content digest, and attributes.
    std::map<std::string, std::string> files;
    std::map<std::string, DWORD> attributes;
};

Snapshot TakeSnapshot(const sim::Machine &m);

// Lines such as "Deleted key HKLM\Enum\USB\...", in a stable order.
std::string DescribeChanges(const sim::Machine &m, const Snapshot &before, const Snapshot &after);

} // namespace simio
