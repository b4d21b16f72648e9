// Zip archives as PKWARE's APPNOTE lays them out, read and written with the
// vendored minizip over memory. A zip is untrusted input: everything it
// declares (its entries, their sizes and depth) is held to the input limits
// before any entry is inflated, and no entry is inflated past its declared
// size. Written zips depend on nothing but the entries, so that every build
// writes the same bytes.
#pragma once

#include "tree.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace simio {

// One entry to write.
struct ZipEntry {
    std::string name; // UTF-8, '/' between folders, no '/' at the end (a folder's is added)
    std::string bytes;
    std::time_t modified = 0; // written as a DOS date and time, as it stands
    bool folder = false;
};

// The files and folders of the zip `bytes`, in its order, with the folders its
// paths imply. False, with `error` naming the fault and the entry, for more
// than `limits` allow, a name that could leave the folder it is unpacked in or
// names a path twice, and data that does not match what the zip says of it.
bool ReadZip(std::string_view bytes, const InputLimits &limits, std::vector<Node> &root,
             std::string &error);

// A zip of `entries` in the order given, made "on MS-DOS": DOS dates, the
// archive or directory attribute, no extra fields. False, with `error`, for a
// name ReadZip would refuse or an entry a zip without Zip64 cannot hold.
bool WriteZip(const std::vector<ZipEntry> &entries, std::string &bytes, std::string &error);

// The tree as entries for WriteZip, each folder before what it holds.
std::vector<ZipEntry> ZipEntriesOf(const std::vector<Node> &root);

// Shared by the reader and the writer.
namespace zipdetail {
// Why `path` (no '/' at the end) may not name an entry, or nullptr.
const char *BadPath(std::string_view path);
// A name in code page 437, the zip format's own, as UTF-8.
std::string Utf8FromCp437(std::string_view raw);
// Whether "version made by" names MS-DOS or Windows (FAT, NTFS, VFAT).
bool MadeOnDos(unsigned versionMadeBy);
// The entry's name: UTF-8 when general-purpose bit 11 says so, or from a
// matching Info-ZIP Unicode Path field; else code page 437, but for a name
// made elsewhere (Unix) that is valid UTF-8, which is what Info-ZIP's zip
// writes there and its unzip takes. False when a name that says it is UTF-8
// is not.
bool DecodeName(std::string_view raw, unsigned flag, unsigned versionMadeBy, std::string_view extra,
                std::string &name);
// The Extended Timestamp's modification time when `extra` has one, else the DOS date.
std::time_t EntryTime(std::uint32_t dosDate, std::string_view extra);
} // namespace zipdetail

} // namespace simio
