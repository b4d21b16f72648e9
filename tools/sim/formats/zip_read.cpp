// The zip reader: the central directory is read and checked whole (sizes,
// names, depth, the tree they make) before any entry is inflated.
#include "zip.h"

#include "zip_memory.h"

#include "platform/sim/printable.h"

#include "unzip.h"

#include <algorithm>
#include <map>
#include <utility>

namespace simio {

namespace {

using zipdetail::BadPath;

// One record of the central directory, as it is before anything is inflated.
struct Record {
    std::string name; // UTF-8, no '/' at the end
    bool folder = false;
    unz64_file_pos at{};
    unz_file_info64 info{};
    Node node; // attributes and date; the bytes come later
};

// A node of the tree being built; children are indices, so that the arena may grow.
struct Slot {
    Node node;
    std::vector<std::size_t> kids;
    bool implied = true;
    bool file = false;
};

const std::time_t kDosEpoch = 315532800; // 1980-01-01 00:00:00, the first DOS date

std::string Number(std::uint64_t n) {
    return std::to_string(n);
}

std::string Hex(std::uint64_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "00000000";
    for (std::size_t i = 8; i-- > 0; n >>= 4)
        text[i] = digits[n & 15];
    return text;
}

// Only an end of central directory and its comment: minizip never looks for one at offset 0.
bool EmptyZip(std::string_view bytes) {
    const std::string_view empty("PK\5\6\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
    if (bytes.size() < 22 || bytes.substr(0, 20) != empty) return false;
    std::size_t comment = static_cast<unsigned char>(bytes[20]) |
                          static_cast<std::size_t>(static_cast<unsigned char>(bytes[21])) << 8;
    return comment == bytes.size() - 22;
}

class ZipReader {
  public:
    ZipReader(std::string_view bytes, const InputLimits &limits, std::string &error)
        : bytes_(bytes), limits_(limits), error_(error) {}
    ~ZipReader() {
        if (zip_) unzClose(zip_);
    }

    bool Read(std::vector<Node> &root);

  private:
    bool Fail(std::string text) {
        error_ = std::move(text);
        return false;
    }
    bool FailAt(const std::string &name, const std::string &text) {
        return Fail(sim::Printable(name) + ": " + text);
    }

    bool Open() {
        if (bytes_.size() > limits_.totalBytes)
            return Fail("the zip is " + Number(bytes_.size()) + " bytes: more than " +
                        Number(limits_.totalBytes));
        functions_ = zipio::ReadFunctions(memory_);
        zip_ = unzOpen2_64("", &functions_);
        if (!zip_ && EmptyZip(bytes_))
            return true; // what Windows makes for a new compressed folder
        if (!zip_) return Fail("not a zip archive, or its end of central directory is damaged");
        unz_global_info64 global{};
        if (unzGetGlobalInfo64(zip_, &global) != UNZ_OK)
            return Fail("not a zip archive: its end of central directory is damaged");
        if (global.number_entry > limits_.entries)
            return Fail("the zip holds " + Number(global.number_entry) + " entries: more than " +
                        Number(limits_.entries));
        count_ = static_cast<std::size_t>(global.number_entry);
        return true;
    }

    bool Catalogue() {
        std::uint64_t total = 0;
        records_.resize(count_);
        std::string raw, extra;
        for (std::size_t i = 0; i < count_; ++i) {
            Record &r = records_[i];
            if ((i > 0 && unzGoToNextFile(zip_) != UNZ_OK) ||
                unzGetCurrentFileInfo64(zip_, &r.info, nullptr, 0, nullptr, 0, nullptr, 0) !=
                    UNZ_OK)
                return Fail("the zip's central directory is damaged at entry " + Number(i + 1));
            raw.assign(r.info.size_filename, '\0');
            extra.assign(r.info.size_file_extra, '\0');
            if (unzGetCurrentFileInfo64(zip_, &r.info, raw.data(), raw.size(), extra.data(),
                                        extra.size(), nullptr, 0) != UNZ_OK ||
                unzGetFilePos64(zip_, &r.at) != UNZ_OK)
                return Fail("the zip's central directory is damaged at entry " + Number(i + 1));
            if (!Describe(r, raw, extra)) return false;
            std::uint64_t size = r.info.uncompressed_size, most = ~std::uint64_t{0};
            total = size > most - total ? most : total + size; // Zip64 sizes may reach 2^64
        }
        if (total > limits_.totalBytes)
            return Fail("the zip's entries would unpack to " + Number(total) +
                        " bytes: more than " + Number(limits_.totalBytes));
        return true;
    }

    // Name, kind, date and attributes of one record, and what makes it unreadable.
    bool Describe(Record &r, const std::string &raw, const std::string &extra) {
        unsigned madeBy = static_cast<unsigned>(r.info.version);
        if (!zipdetail::DecodeName(raw, static_cast<unsigned>(r.info.flag), madeBy, extra, r.name))
            return FailAt(raw, "a name that says it is UTF-8 and is not");
        r.folder = !r.name.empty() && r.name.back() == '/';
        std::string shown = r.name;
        if (r.folder) r.name.pop_back();
        if (const char *why = BadPath(r.name)) return FailAt(shown, why);
        std::size_t folders = static_cast<std::size_t>(
            std::count(r.name.begin(), r.name.end(), '/') + (r.folder ? 1 : 0));
        if (folders > static_cast<std::size_t>(std::max(limits_.depth, 0)))
            return FailAt(shown, "folders more than " + Number(limits_.depth) + " deep");
        if (r.info.flag & 1) return FailAt(shown, "an encrypted entry");
        if (r.info.compression_method != 0 && r.info.compression_method != Z_DEFLATED)
            return FailAt(shown, "compressed by method " + Number(r.info.compression_method) +
                                     ", where only stored and deflated entries are read");
        if (r.folder && r.info.uncompressed_size != 0)
            return FailAt(shown, "a folder entry that holds " + Number(r.info.uncompressed_size) +
                                     " bytes");
        // MS-DOS and Windows keep FAT's attribute bits in the low byte.
        r.node.attributesKnown = zipdetail::MadeOnDos(madeBy);
        std::uint8_t fat = static_cast<std::uint8_t>(r.info.external_fa & 0xFF);
        r.node.attributes = static_cast<std::uint8_t>(
            (r.node.attributesKnown ? fat & (kReadOnly | kHidden | kSystem | kArchive) : 0) |
            (r.folder ? kDirectory : 0));
        r.node.modified = zipdetail::EntryTime(static_cast<std::uint32_t>(r.info.dosDate), extra);
        return true;
    }

    bool Plan();
    bool Unpack(const Record &r, std::string &out);

    std::string_view bytes_;
    const InputLimits &limits_;
    std::string &error_;
    zipio::MemoryReader memory_{bytes_};
    zlib_filefunc64_def functions_{};
    unzFile zip_ = nullptr;
    std::size_t count_ = 0;
    std::vector<Record> records_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> top_;      // the root's entries
    std::vector<std::size_t> recordAt_; // record -> its slot
};

// Every file and folder the records name or imply, each path once, within the entry limit.
bool ZipReader::Plan() {
    // (folder's slot + 1, or 0 for the root; name) -> slot
    std::map<std::pair<std::size_t, std::string>, std::size_t> named;
    recordAt_.resize(records_.size());
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const Record &r = records_[i];
        std::string shown = r.name + (r.folder ? "/" : "");
        std::size_t parent = 0;
        for (std::size_t start = 0;;) {
            std::size_t end = r.name.find('/', start);
            bool last = end == std::string::npos;
            std::string part = r.name.substr(start, last ? std::string::npos : end - start);
            auto [it, fresh] = named.emplace(std::make_pair(parent, part), slots_.size());
            if (fresh) {
                if (slots_.size() >= limits_.entries)
                    return Fail("more than " + Number(limits_.entries) +
                                " files and folders, with the folders the zip's paths imply");
                (parent ? slots_[parent - 1].kids : top_).push_back(slots_.size());
                slots_.emplace_back();
                Node &node = slots_.back().node;
                node.name = part;
                // A folder only a path names keeps nothing: no attributes, the first DOS date.
                node.attributes = kDirectory;
                node.attributesKnown = false;
                node.modified = kDosEpoch;
            }
            Slot &slot = slots_[it->second];
            if (last) {
                // A folder's own entry may come after the paths inside it, and only once.
                if (!fresh && (!r.folder || !slot.implied))
                    return FailAt(shown, "the same path twice in the zip");
                slot.implied = false;
                slot.file = !r.folder;
                slot.node.attributes = r.node.attributes;
                slot.node.attributesKnown = r.node.attributesKnown;
                slot.node.modified = r.node.modified;
                recordAt_[i] = it->second;
                break;
            }
            if (slot.file)
                return FailAt(shown, "a path through " + sim::Printable(r.name.substr(0, end)) +
                                         ", which is a file");
            parent = it->second + 1;
            start = end + 1;
        }
    }
    return true;
}

// A stored entry's bytes must be exactly as many as it declares.
bool Copy(std::string_view packed, std::uint64_t declared, std::string &out, std::string &why) {
    if (packed.size() != declared) {
        why = packed.size() > declared
                  ? "stored with more than the " + Number(declared) + " bytes it declares"
                  : "stored with " + Number(packed.size()) + " bytes, where it declares " +
                        Number(declared);
        return false;
    }
    out.assign(packed);
    return true;
}

// Raw deflate, never holding more than one byte past `declared`: that byte
// proves the stream longer than its entry says.
bool Inflate(std::string_view packed, std::uint64_t declared, std::string &out, std::string &why) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        why = "zlib could not start inflating";
        return false;
    }
    std::size_t fed = 0;
    int ret = Z_OK;
    out.clear();
    while (ret == Z_OK) {
        if (z.avail_in == 0 && fed < packed.size()) {
            std::size_t take = std::min<std::size_t>(packed.size() - fed, 1u << 30);
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data() + fed));
            z.avail_in = static_cast<uInt>(take);
            fed += take;
        }
        std::size_t before = out.size();
        std::size_t room =
            static_cast<std::size_t>(std::min<std::uint64_t>(declared - before + 1, 1u << 16));
        out.resize(before + room);
        z.next_out = reinterpret_cast<Bytef *>(out.data() + before);
        z.avail_out = static_cast<uInt>(room);
        ret = inflate(&z, Z_NO_FLUSH);
        out.resize(before + room - z.avail_out);
        if (out.size() > declared) {
            why = "its data inflates to more than the " + Number(declared) + " bytes it declares";
            ret = Z_MEM_ERROR;
        } else if (ret == Z_BUF_ERROR) {
            why = "its deflate stream is cut short";
        } else if (ret != Z_OK && ret != Z_STREAM_END) {
            why = std::string("bad deflate data (") + (z.msg ? z.msg : "zlib error") + ")";
        }
    }
    inflateEnd(&z);
    if (ret != Z_STREAM_END) return false;
    if (out.size() < declared)
        why = "its data inflates to " + Number(out.size()) + " bytes, where it declares " +
              Number(declared);
    return out.size() == declared;
}

bool ZipReader::Unpack(const Record &r, std::string &out) {
    if (unzGoToFilePos64(zip_, &r.at) != UNZ_OK ||
        unzOpenCurrentFile2(zip_, nullptr, nullptr, 1) != UNZ_OK)
        return FailAt(r.name, "its local header is damaged or differs from the central directory");
    ZPOS64_T at = unzGetCurrentFileZStreamPos64(zip_);
    unzCloseCurrentFile(zip_);
    if (at > bytes_.size() || r.info.compressed_size > bytes_.size() - at)
        return FailAt(r.name, "its data runs past the end of the zip");
    std::string_view packed = bytes_.substr(static_cast<std::size_t>(at),
                                            static_cast<std::size_t>(r.info.compressed_size));
    std::string why;
    if (!(r.info.compression_method == 0 ? Copy(packed, r.info.uncompressed_size, out, why)
                                         : Inflate(packed, r.info.uncompressed_size, out, why)))
        return FailAt(r.name, why);
    uLong crc = crc32_z(0, reinterpret_cast<const Bytef *>(out.data()), out.size());
    if (crc != r.info.crc)
        return FailAt(r.name, "its bytes do not match its CRC-32 (" + Hex(crc) +
                                  ", where the zip says " + Hex(r.info.crc) + ")");
    return true;
}

bool ZipReader::Read(std::vector<Node> &root) {
    if (!Open() || !Catalogue() || !Plan()) return false;
    for (std::size_t i = 0; i < records_.size(); ++i)
        if (!records_[i].folder && !Unpack(records_[i], slots_[recordAt_[i]].node.bytes))
            return false;
    // Children come after their folders, so from the back every folder's children are whole.
    for (std::size_t i = slots_.size(); i-- > 0;)
        for (std::size_t kid : slots_[i].kids)
            slots_[i].node.children.push_back(std::move(slots_[kid].node));
    root.clear();
    for (std::size_t kid : top_)
        root.push_back(std::move(slots_[kid].node));
    return true;
}

} // namespace

bool ReadZip(std::string_view bytes, const InputLimits &limits, std::vector<Node> &root,
             std::string &error) {
    return ZipReader(bytes, limits, error).Read(root);
}

} // namespace simio
