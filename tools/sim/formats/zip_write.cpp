// The zip writer: entries made "on MS-DOS", so that the unzip tools of
// Windows 98 and 2000 take their attributes and dates as FAT keeps them.
#include "zip.h"

#include "fat.h"
#include "utf.h"
#include "zip_memory.h"

#include "platform/sim/printable.h"

// minizip's zip.h, which our own zip.h hides from a plain #include "zip.h".
#include "../../../third_party/minizip/zip.h"

#include <algorithm>

namespace simio {

namespace {

const uLong kMadeOnDos = 20; // host 0 (MS-DOS), zip 2.0
const int kLevel = 9;        // fixed, so that the bytes depend only on the entries

bool Ascii(const std::string &name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Why `entry` cannot be written, or empty.
std::string Refuse(const ZipEntry &entry) {
    std::u16string ignored;
    if (const char *why = zipdetail::BadPath(entry.name)) return why;
    if (!Utf16FromUtf8(entry.name, ignored)) return "a name that is not UTF-8";
    if (entry.name.size() >= 0xFFFF) return "a name longer than a zip can hold";
    if (entry.folder && !entry.bytes.empty()) return "a folder with bytes";
    if (entry.bytes.size() >= 0xFFFFFFFFu) return "4 GiB or more, which needs Zip64";
    return {};
}

bool WriteOne(zipFile zip, const ZipEntry &entry) {
    zip_fileinfo info{};
    std::uint16_t date, time;
    fat::detail::ToDos(entry.modified, date, time);
    info.dosDate = static_cast<uLong>(date) << 16 | time;
    info.external_fa = entry.folder ? kDirectory : kArchive;
    std::string name = entry.name + (entry.folder ? "/" : "");
    // Deflating nothing gives two bytes: folders and empty files are stored.
    bool deflate = !entry.bytes.empty();
    if (zipOpenNewFileInZip4(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                             deflate ? Z_DEFLATED : 0, deflate ? kLevel : 0, 0, -MAX_WBITS,
                             DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kMadeOnDos,
                             Ascii(name) ? 0 : 0x800) != ZIP_OK)
        return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < entry.bytes.size();) {
        unsigned take =
            static_cast<unsigned>(std::min<std::size_t>(entry.bytes.size() - done, 1u << 20));
        ok = zipWriteInFileInZip(zip, entry.bytes.data() + done, take) == ZIP_OK;
        done += take;
    }
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

} // namespace

bool WriteZip(const std::vector<ZipEntry> &entries, std::string &bytes, std::string &error) {
    for (const ZipEntry &entry : entries)
        if (std::string why = Refuse(entry); !why.empty()) {
            error = sim::Printable(entry.name) + ": " + why;
            return false;
        }
    std::string out;
    zipio::MemoryWriter memory{&out};
    zlib_filefunc64_def functions = zipio::WriteFunctions(memory);
    zipFile zip = zipOpen2_64("", APPEND_STATUS_CREATE, nullptr, &functions);
    bool ok = zip != nullptr;
    for (std::size_t i = 0; ok && i < entries.size(); ++i)
        if (!WriteOne(zip, entries[i])) {
            error = sim::Printable(entries[i].name) + ": minizip could not write it";
            ok = false;
        }
    if (zip && zipClose(zip, nullptr) != ZIP_OK && ok) {
        error = "minizip could not finish the zip";
        ok = false;
    }
    if (!zip) error = "minizip could not start a zip";
    if (ok) bytes = std::move(out);
    return ok;
}

std::vector<ZipEntry> ZipEntriesOf(const std::vector<Node> &root) {
    std::vector<ZipEntry> entries;
    // Depth first without recursion: (folder's path, its entries, the next one).
    struct Level {
        std::string path;
        const std::vector<Node> *nodes;
        std::size_t next;
    };
    std::vector<Level> stack = {{"", &root, 0}};
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next == level.nodes->size()) {
            stack.pop_back();
            continue;
        }
        const Node &node = (*level.nodes)[level.next++];
        std::string path = level.path + node.name;
        entries.push_back(
            {path, node.Folder() ? std::string() : node.bytes, node.modified, node.Folder()});
        if (node.Folder()) stack.push_back({path + "/", &node.children, 0});
    }
    return entries;
}

} // namespace simio
