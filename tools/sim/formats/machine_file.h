// machine.txt: one line per fact about a machine that its registry and files
// can't hold (the version record, attributes, locks, open windows, faults to
// inject...). Text in, machine facts out.
#pragma once

#include "reg_file.h"

#include "platform/sim/machine.h"

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace simio {

// What a machine file says beyond the machine itself, kept so that a save
// writes it back as it was.
struct MachineFile {
    std::vector<std::string> comments; // the machine file's leading comment lines
    std::vector<std::string> faults;   // its "fail" lines, kept as written
    // Last-write times that git cannot keep: Windows path -> "YYYY-MM-DDTHH:MM:SS" (UTC).
    std::vector<std::pair<std::string, std::string>> modified;
    bool versionGiven = false;    // machine.txt has a version line
    int windowsDirectoryLine = 0; // its windows-directory line; 0 when it has none
};

// Parses one machine file's text into `m` (no file system needed).
bool ReadMachineFile(const std::string &text, const std::string &fileName, sim::Machine &m,
                     MachineFile &facts, InputError &error);

std::string WriteMachineFile(const sim::Machine &m, const MachineFile &facts);

// A "modified" line's time, YYYY-MM-DDTHH:MM:SS in UTC, as seconds since 1970.
bool ParseMachineTime(const std::string &text, std::time_t &out);

} // namespace simio
