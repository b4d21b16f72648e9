// Disk images for the machines that take files on floppies: a machine folder
// or a capture read off a FAT image, and the undo kit written as a new
// 1.44 MB floppy image. The image file read is never written.
#pragma once

#include "platform/sim/win32_types.h"

#include <filesystem>
#include <map>
#include <string>

namespace simio {

// True when `path` is a file: an image to read, where a machine is a folder.
bool IsDiskImage(const std::filesystem::path &path);

struct ImageMachine {
    std::string folder; // the image's folder that holds the machine; empty for its root
    std::string label;  // the volume label
    // Path in the machine folder ("windir\inf\USBOEM01.inf") -> its entry's attributes.
    std::map<std::string, DWORD> attributes;
};

// Reads the FAT image `image`, finds the machine folder or capture on it (at
// the root, or in the one folder of the root that holds one) and writes it
// into the new folder `into`, each file with its entry's date. On a fault
// fills `error`, naming it, and returns false.
bool UnpackImage(const std::filesystem::path &image, const std::filesystem::path &into,
                 ImageMachine &machine, std::string &error);

} // namespace simio
