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
// `error` naming the fault and where it is, for a structure Windows could not
// read: bad boot-sector values, an image shorter than they say, a FAT chain
// that loops, leaves the volume, runs into a free or bad cluster or does not
// match a file's size, clusters shared by two chains, a folder inside
// itself, more entries or deeper folders than InputLimits allows. Names never
// refuse an image: each node carries its short name and, where Windows could
// not take its name, a fault (see CheckNames in names.h for the part read).
bool ReadImage(std::string_view image, Volume &volume, std::string &error);

// A new 1.44 MB floppy holding `volume`, files and folders in the order
// given, with long names where the names need them. False, with `error`
// saying why, for names Windows could not hold or tell apart, more entries
// or deeper folders than ReadImage takes, or by how much it does not fit.
bool WriteFloppy(const Volume &volume, std::string &image, std::string &error);

// Where the fields lie, named as fatgen103 names them: in the boot sector
// (BS_, BPB_), in a directory entry (DIR_) and in a long-name entry (LDIR_).
namespace layout {
struct Field {
    std::size_t at;
    std::size_t size; // bytes
};
inline constexpr Field BS_jmpBoot{0, 3}, BS_OEMName{3, 8}, BPB_BytsPerSec{11, 2},
    BPB_SecPerClus{13, 1}, BPB_RsvdSecCnt{14, 2}, BPB_NumFATs{16, 1}, BPB_RootEntCnt{17, 2},
    BPB_TotSec16{19, 2}, BPB_Media{21, 1}, BPB_FATSz16{22, 2}, BPB_SecPerTrk{24, 2},
    BPB_NumHeads{26, 2}, BPB_TotSec32{32, 4}, BS_BootSig{38, 1}, BS_VolID{39, 4}, BS_VolLab{43, 11},
    BS_FilSysType{54, 8}, Signature_word{510, 2};
inline constexpr Field DIR_Name{0, 11}, DIR_Attr{11, 1}, DIR_NTRes{12, 1}, DIR_CrtTime{14, 2},
    DIR_CrtDate{16, 2}, DIR_LstAccDate{18, 2}, DIR_WrtTime{22, 2}, DIR_WrtDate{24, 2},
    DIR_FstClusLO{26, 2}, DIR_FileSize{28, 4};
inline constexpr Field LDIR_Ord{0, 1}, LDIR_Name1{1, 10}, LDIR_Attr{11, 1}, LDIR_Chksum{13, 1},
    LDIR_Name2{14, 12}, LDIR_Name3{28, 4};

inline constexpr std::size_t kEntryBytes = 32, kBootBytes = 512;
inline constexpr std::uint8_t kBootSig = 0x29;       // BS_BootSig: BS_VolID and BS_VolLab follow
inline constexpr std::uint16_t kSignature = 0xAA55;  // Signature_word
inline constexpr std::uint8_t kEndOfFolder = 0x00;   // DIR_Name[0]: no entry from here on
inline constexpr std::uint8_t kFreeEntry = 0xE5;     // DIR_Name[0]: deleted
inline constexpr std::uint8_t kE5 = 0x05;            // DIR_Name[0]: stands for a first byte E5
inline constexpr std::uint8_t kLongName = 0x0F;      // DIR_Attr of a long-name entry
inline constexpr std::uint8_t kAttrMask = 0x3F;      // DIR_Attr's defined bits
inline constexpr std::uint8_t kLastLongEntry = 0x40; // LDIR_Ord of the name's last part
inline constexpr std::uint8_t kOrdMask = 0x1F;       // LDIR_Ord's sequence number
inline constexpr std::uint8_t kLowerBase = 0x08, kLowerExt = 0x10; // DIR_NTRes: NT's lower case
inline constexpr std::size_t kUnitsPerLongEntry = 13;

// Where the k-th of an entry's 13 UTF-16 units lies: five in LDIR_Name1, six in
// LDIR_Name2, two in LDIR_Name3.
constexpr std::size_t LongNameUnit(std::size_t k) {
    return k < 5    ? LDIR_Name1.at + 2 * k
           : k < 11 ? LDIR_Name2.at + 2 * (k - 5)
                    : LDIR_Name3.at + 2 * (k - 11);
}
} // namespace layout

// Shared by the reader and the writer.
namespace detail {
// Little-endian fields of a boot sector or a directory entry.
std::uint32_t Get(std::string_view bytes, layout::Field field);
std::uint32_t Get(std::string_view bytes, std::size_t at, std::size_t size);
void Put(std::string &bytes, layout::Field field, std::uint32_t value);
void Put(std::string &bytes, std::size_t at, std::size_t size, std::uint32_t value);
// A DOS date and time (local time, even seconds) and back; a date that is
// not a real day, or one before 1980, counts as 1980-01-01 00:00:00.
std::time_t FromDos(std::uint16_t date, std::uint16_t time);
void ToDos(std::time_t t, std::uint16_t &date, std::uint16_t &time);
// The checksum of an 11-byte short name that its long-name entries carry.
std::uint8_t ShortNameSum(const std::uint8_t *name11);
} // namespace detail

} // namespace simio::fat
