// A tree of files and folders as a container holds it (a FAT volume, a zip
// archive), read into memory, and the bounds every input is held to before
// any of it is unpacked, whichever road it comes by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace simio {

// FAT's attribute bits; a zip made on DOS or Windows carries the same.
inline constexpr std::uint8_t kReadOnly = 0x01, kHidden = 0x02, kSystem = 0x04, kVolumeId = 0x08,
                              kDirectory = 0x10, kArchive = 0x20;

// One file or folder.
struct Node {
    std::string name;      // the long name when it has one, in UTF-8
    std::string shortName; // FAT: the 8.3 name Windows also finds it by ("REGISTRY.REG"); else empty
    // Why Windows could not take this entry by its name (a short name in an unknown code
    // page, a long name that is not UTF-16...), or empty. The reader keeps such entries:
    // only the part of a volume that is read must be sound.
    std::string fault;
    std::uint8_t attributes = 0; // read-only, hidden, system, directory, archive
    bool attributesKnown = true; // false where the container keeps none (a zip made on Unix)
    // Last write as the entry holds it: FAT keeps local time to the even
    // second, taken here as it stands (seconds since 1970, as if UTC).
    std::time_t modified = 0;
    std::string bytes;          // a file's contents
    std::vector<Node> children; // a folder's entries, in the container's order
    bool Folder() const { return (attributes & kDirectory) != 0; }
};

// The bounds of one input, far above any real machine or capture: a folder, a
// disk image and a zip are held to the same ones, before anything is copied or
// inflated.
struct InputLimits {
    std::uint64_t totalBytes = std::uint64_t{1} << 30; // every file together
    std::size_t entries = 65536;                       // files and folders in all
    int depth = 511; // folders inside folders, the input's own top folder not counted
};

} // namespace simio
