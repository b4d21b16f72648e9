// FAT12 and FAT16 volumes as Microsoft's "FAT: General Overview of On-Disk
// Format" (fatgen103) lays them out: a reader of floppies and small volumes,
// which takes an image as untrusted input, and a writer of fresh 1.44 MB
// floppies. Bytes in, bytes out, and no call to the file system, so that
// every build of the simulator reads and writes images alike.
#pragma once

#include "tree.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace simio::fat {

using simio::kArchive;
using simio::kDirectory;
using simio::kHidden;
using simio::kReadOnly;
using simio::kSystem;
using simio::kVolumeId;
using simio::Node;

struct Volume {
    std::string label;        // the volume label, trailing blanks dropped; may be empty
    std::uint32_t serial = 0; // the boot sector's volume serial number
    std::time_t made = 0;     // the date of the label's entry (writing)
    std::vector<Node> root;
};

inline constexpr std::size_t kFloppyBytes = 1474560;
inline constexpr std::size_t kMaxImageBytes = std::size_t{32} << 20;

// Reads a FAT12 or FAT16 image without a partition table. False, with
// `error` naming the fault and where it is, for anything Windows could not
// read as it stands: bad boot-sector values, an image shorter than they say,
// a FAT chain that loops, leaves the volume or does not match a file's size,
// clusters shared by two chains, a folder inside itself, names Windows
// could not hold.
bool ReadImage(std::string_view image, Volume &volume, std::string &error);

// A new 1.44 MB floppy holding `volume`, files and folders in the order
// given, with long names where the names need them. False, with `error`
// saying by how much, when it does not fit.
bool WriteFloppy(const Volume &volume, std::string &image, std::string &error);

// Shared by the reader and the writer.
namespace detail {
// A DOS date and time (local time, even seconds) and back; a date that is
// not a real day, or one before 1980, counts as 1980-01-01 00:00:00.
std::time_t FromDos(std::uint16_t date, std::uint16_t time);
void ToDos(std::time_t t, std::uint16_t &date, std::uint16_t &time);
// The checksum of an 11-byte short name that its long-name entries carry.
std::uint8_t ShortNameSum(const std::uint8_t *name11);
} // namespace detail

} // namespace simio::fat
