// One intake for every road a machine comes by: a machine folder or a capture
// as a folder, a FAT12/16 disk image or a zip archive holding one. Whatever
// the road, the same machine comes out, checked against the same limits
// before anything of it is copied or inflated.
#pragma once

#include "tree.h"

#include "platform/sim/win32_types.h"

#include <filesystem>
#include <map>
#include <string>

namespace simio {

enum class InputKind { Folder, Image, Zip };

struct OpenedMachine {
    InputKind kind = InputKind::Folder;
    // The machine folder to load: the input itself, or where a container's
    // machine was unpacked.
    std::filesystem::path dir;
    std::string folder; // a container's folder that holds the machine; empty for its root
    std::string label;  // a disk image's volume label
    // Path in the machine folder ("windir\inf\USBOEM01.inf") -> the attributes
    // its container entry holds, for the entries that hold any.
    std::map<std::string, DWORD> entryAttributes;
    // "Read from the folder CAPTURE of the disk image labelled UNINSTALL"; empty for a folder.
    std::string where;
};

// Opens `input`. A container is unpacked into the new folder `scratch`/machine,
// each file with its entry's date. False, with `error` naming the fault and
// where it is, when the input is refused: a folder's faults name their paths,
// a container's are for the caller to put after the container's name, and
// those found in the unpacked copy name their paths in `scratch`/machine.
bool OpenMachine(const std::filesystem::path &input, const std::filesystem::path &scratch,
                 const InputLimits &limits, OpenedMachine &opened, std::string &error);

// True when `path` is a file, which is read as a disk image or a zip archive.
bool IsContainer(const std::filesystem::path &path);

} // namespace simio
