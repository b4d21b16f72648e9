// A machine directory, readable and editable by a person:
//   machine.txt   the version record and what the registry and files can't say
//   registry.reg  the registry, as regedit exports it
//   drive_c/      drive C:, with the Windows directory in it
// or a capture of a real machine (capture.h), which has windir/ instead.
#pragma once

#include "folder.h"
#include "machine_file.h"
#include "reg_file.h"

#include "platform/sim/machine.h"

#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace simio {

// The machine file's own facts are the base's (machine_file.h).
// A note on how the machine was read. `warning`: what the preview cannot
// know, which a reader should see first.
struct Note {
    std::string kind; // "read-from", "no-live-device-tree", "attributes-unknown",
                      // "attributes-differ"
    std::string text;
    bool warning = false;
};

struct MachineDir : MachineFile {
    std::filesystem::path dir;
    RegFileFormat registryFormat;
    // A capture's captured.txt: the keys whose state it knows. Those that
    // tried.txt names but captured.txt does not were tried and absent, and
    // are added here too.
    bool capturedList = false;
    std::vector<std::string> capturedKeys;
    std::vector<std::string> triedKeys; // tried.txt; empty in older captures
    // False for a capture without attrib.txt: every file then counts as archive only.
    bool attributesKnown = true;
    // registry.reg's last write, to the even second below (FAT's): when it was captured.
    std::time_t registryTime = 0;
    // What the report should say about how the folder was read.
    std::vector<Note> notes;
};

// Reads the machine in `dir` into `m`, with drive C: at `driveRoot` (the
// machine's drive_c or a copy of it; for a capture, a new folder outside `dir`
// that gets a copy of windir/). `entryAttributes`, from a disk image's entries,
// maps paths in the folder ("windir\inf\USBOEM01.inf") to attributes that win
// over attrib.txt and machine.txt. On a problem fills `error` and returns false.
bool LoadMachine(const std::filesystem::path &dir, const std::filesystem::path &driveRoot,
                 sim::Machine &m, MachineDir &info, InputError &error,
                 const std::map<std::string, DWORD> &entryAttributes = {});

// Sets the recorded last-write times on the files under `m`'s drives.
bool ApplyModifiedTimes(const sim::Machine &m, const MachineDir &info, InputError &error);

} // namespace simio
