// Saving a machine as a run left it: the folder it was read from, replaced
// in one step, or a new folder beside it.
#pragma once

#include "folder.h"

#include <filesystem>
#include <string>

namespace sim {
class Machine;
}

namespace simio {

struct MachineDir;

// Replaces the machine folder, in one step, with one whose registry.reg and
// machine.txt are `m`'s and whose drive_c is a copy of `driveRoot`.
bool SaveMachine(const sim::Machine &m, const MachineDir &info,
                 const std::filesystem::path &driveRoot, std::string &error,
                 const SaveObserver &observe = {});

// Writes `m` as a new machine folder `dir` (a new or empty folder), with
// drive_c a copy of `driveRoot`; the folder `m` was read from stays as it is.
bool SaveMachineAs(const sim::Machine &m, const MachineDir &info,
                   const std::filesystem::path &driveRoot, const std::filesystem::path &dir,
                   std::string &error);

} // namespace simio
