#include "fat.h"

#include "utf.h"

#include <algorithm>

namespace simio::fat {

namespace {

using namespace layout;
using detail::FromDos;
using detail::Get;

std::uint8_t Byte(std::string_view b, Field f) {
    return static_cast<std::uint8_t>(b[f.at]);
}
std::string_view Bytes(std::string_view b, Field f) {
    return b.substr(f.at, f.size);
}

std::string Trim(std::string_view s) {
    std::string out(s);
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// The long name that entries before a short entry spell, collected as they come
// (last part first): empty unless whole and meant for that short entry.
struct LongName {
    std::vector<std::u16string> parts; // parts[k]: characters 13k to 13k+12
    int next = 0;                      // the sequence number expected next; 0: none open
    std::uint8_t sum = 0;

    void Reset() {
        parts.clear();
        next = 0;
    }
    void Add(std::string_view e) {
        int ord = Byte(e, LDIR_Ord) & kOrdMask;
        bool last = (Byte(e, LDIR_Ord) & kLastLongEntry) != 0;
        std::uint8_t s = Byte(e, LDIR_Chksum);
        if (last) {
            Reset();
            if (ord == 0) return;
            parts.assign(static_cast<std::size_t>(ord), {});
            sum = s;
        } else if (ord == 0 || ord != next || s != sum) {
            Reset();
            return;
        }
        std::u16string &part = parts[static_cast<std::size_t>(ord - 1)];
        for (std::size_t k = 0; k < kUnitsPerLongEntry; ++k)
            part += static_cast<char16_t>(Get(e, LongNameUnit(k), 2));
        next = ord - 1;
    }
    // The name in UTF-8 when the sequence is whole and its checksum is `shortSum`;
    // `valid` false when it is, but does not hold UTF-16.
    bool Take(std::uint8_t shortSum, std::string &name, bool &valid) {
        valid = true;
        bool whole = !parts.empty() && next == 0 && sum == shortSum;
        std::u16string text;
        for (const std::u16string &p : parts)
            text += p;
        Reset();
        if (!whole) return false;
        valid = Utf8FromUtf16(text.substr(0, text.find(u'\0')), name);
        return valid;
    }
};

// What Windows finds a short entry by: its long name, else its 8.3 name; and,
// when it could not take it, why.
struct Names {
    std::string name, shortName, fault;
};

// A part of an 8.3 name shown for messages: bytes of the OEM code page, which is
// unknown here, as <XX>, and in lower case where NT marks the part so.
std::string Shown(const std::string &part, bool lower) {
    static const char hex[] = "0123456789ABCDEF";
    std::string shown;
    for (char c : part) {
        auto byte = static_cast<std::uint8_t>(c);
        if (byte >= 0x80)
            shown += {'<', hex[byte >> 4], hex[byte & 15], '>'};
        else
            shown += static_cast<char>(lower && c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return shown;
}

Names NamesOf(std::string_view e, LongName &longName) {
    std::string_view raw = Bytes(e, DIR_Name);
    std::string base = Trim(raw.substr(0, 8)), ext = Trim(raw.substr(8, 3));
    if (!base.empty() && static_cast<std::uint8_t>(base[0]) == kE5) base[0] = '\xE5';
    Names names;
    names.shortName = ext.empty() ? base : base + "." + ext;
    bool valid;
    bool hasLong =
        longName.Take(detail::ShortNameSum(reinterpret_cast<const std::uint8_t *>(raw.data())),
                      names.name, valid);
    if (!hasLong) {
        std::uint8_t lower = Byte(e, DIR_NTRes);
        names.name = base.empty() ? "<20>" : Shown(base, lower & kLowerBase);
        if (!ext.empty()) names.name += "." + Shown(ext, lower & kLowerExt);
    }
    bool oem = std::any_of(names.shortName.begin(), names.shortName.end(),
                           [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; });
    std::uint8_t attributes = Byte(e, DIR_Attr);
    if ((attributes & kDirectory) && (attributes & kVolumeId))
        names.fault = "an entry marked both a folder and the volume label";
    else if (raw[0] == ' ')
        names.fault = "a short name that is blank or begins with a blank";
    else if (!valid)
        names.fault = "a long name that is not UTF-16";
    else if (oem && !hasLong)
        names.fault = "a short name with characters of the OEM code page and no long name";
    return names;
}

class Reader {
  public:
    Reader(std::string_view image, std::string &error) : img_(image), error_(error) {}

    bool Read(Volume &volume) {
        if (!Boot()) return false;
        owner_.assign(clusters_ + 2, -1);
        volume.serial = bootSignature_ ? Get(img_, BS_VolID) : 0;
        std::string_view root = img_.substr(std::size_t{rootSector_} * sectorBytes_,
                                            std::size_t{rootEntries_} * kEntryBytes);
        ancestors_.push_back(0);
        if (!Folder(root, "", volume.root, &volume.label)) return false;
        // "NO NAME" in the boot sector is how formatters say there is no label.
        std::string label = Trim(Bytes(img_, BS_VolLab));
        if (volume.label.empty() && bootSignature_ && label != "NO NAME") volume.label = label;
        return true;
    }

  private:
    bool Fail(const std::string &text) {
        error_ = text;
        return false;
    }

    // The boot sector's parameters, each checked against what FAT allows.
    bool Boot() {
        if (img_.size() < kBootBytes) return Fail("not a FAT volume: shorter than one boot sector");
        sectorBytes_ = Get(img_, BPB_BytsPerSec);
        std::uint32_t perCluster = Get(img_, BPB_SecPerClus);
        std::uint32_t reserved = Get(img_, BPB_RsvdSecCnt), fats = Get(img_, BPB_NumFATs);
        rootEntries_ = Get(img_, BPB_RootEntCnt);
        std::uint32_t total =
            Get(img_, BPB_TotSec16) ? Get(img_, BPB_TotSec16) : Get(img_, BPB_TotSec32);
        std::uint32_t fatSectors = Get(img_, BPB_FATSz16);
        bootSignature_ = Get(img_, BS_BootSig) == kBootSig;
        auto number = [](std::uint64_t n) { return std::to_string(n); };
        if (sectorBytes_ != 512 && sectorBytes_ != 1024 && sectorBytes_ != 2048 &&
            sectorBytes_ != 4096)
            return Fail("bad boot sector: a sector size of " + number(sectorBytes_) + " bytes");
        if (perCluster == 0 || (perCluster & (perCluster - 1)) || perCluster * sectorBytes_ > 32768)
            return Fail("bad boot sector: clusters of " + number(perCluster) + " sectors");
        if (reserved == 0) return Fail("bad boot sector: no reserved sector");
        if (fats == 0 || fats > 2) return Fail("bad boot sector: " + number(fats) + " FATs");
        if (fatSectors == 0)
            return Fail("not a FAT12 or FAT16 volume: the boot sector gives no FAT size (FAT32?)");
        if (rootEntries_ == 0 || rootEntries_ * kEntryBytes % sectorBytes_)
            return Fail("bad boot sector: " + number(rootEntries_) + " root folder entries");
        std::uint64_t bytes = std::uint64_t{total} * sectorBytes_;
        if (bytes > kMaxImageBytes)
            return Fail("a volume of " + number(bytes) + " bytes: more than 32 MiB");
        std::uint32_t rootSectors =
            static_cast<std::uint32_t>(rootEntries_ * kEntryBytes) / sectorBytes_;
        std::uint64_t system = reserved + std::uint64_t{fats} * fatSectors + rootSectors;
        if (total <= system)
            return Fail("bad boot sector: " + number(total) + " sectors in all, of which " +
                        number(system) + " before the data");
        clusters_ = static_cast<std::uint32_t>((total - system) / perCluster);
        if (clusters_ >= 65525) return Fail("not a FAT12 or FAT16 volume: too many clusters");
        fat12_ = clusters_ < 4085;
        if (std::uint64_t{fatSectors} * sectorBytes_ * 8 < (clusters_ + 2ull) * (fat12_ ? 12 : 16))
            return Fail("bad boot sector: a FAT of " + number(fatSectors) +
                        " sectors, too small for " + number(clusters_) + " clusters");
        if (img_.size() < bytes)
            return Fail("the image is truncated: " + number(img_.size()) +
                        " bytes, where its boot sector says " + number(bytes));
        fat_ = img_.substr(std::size_t{reserved} * sectorBytes_,
                           std::size_t{fatSectors} * sectorBytes_);
        rootSector_ = reserved + fats * fatSectors;
        dataSector_ = static_cast<std::uint32_t>(system);
        clusterBytes_ = perCluster * sectorBytes_;
        return true;
    }

    std::uint32_t Next(std::uint32_t cluster) const {
        if (!fat12_) return Get(fat_, cluster * 2, 2);
        std::uint32_t v = Get(fat_, cluster + cluster / 2, 2);
        return cluster & 1 ? v >> 4 : v & 0xFFF;
    }

    // Follows the chain from `first` for `path`, whose size is `size` (a file) or
    // unknown (a folder), and appends its clusters' bytes to `bytes`.
    bool Chain(std::uint32_t first, const std::string &path, const std::uint32_t *size,
               std::string &bytes) {
        const std::uint32_t end = fat12_ ? 0xFF8 : 0xFFF8, bad = end - 1;
        const std::uint64_t needed =
            size ? (std::uint64_t{*size} + clusterBytes_ - 1) / clusterBytes_ : 0;
        if (size && *size == 0 && first == 0) return true;
        const int id = static_cast<int>(paths_.size());
        paths_.push_back(path);
        std::uint64_t count = 0;
        for (std::uint32_t c = first;;) {
            if (c < 2 || c > clusters_ + 1)
                return Fail(path + ": its FAT chain runs past the volume (cluster " +
                            std::to_string(c) + ")");
            if (owner_[c] == id)
                return Fail(path + ": its FAT chain loops (at cluster " + std::to_string(c) + ")");
            if (owner_[c] >= 0)
                return Fail(path + " and " + paths_[static_cast<std::size_t>(owner_[c])] +
                            " are cross-linked: both hold cluster " + std::to_string(c));
            owner_[c] = id;
            if (size && ++count > needed)
                return Fail(path + ": its FAT chain runs past its size of " +
                            std::to_string(*size) + " bytes");
            bytes += img_.substr(
                (dataSector_ + std::size_t{c - 2} * (clusterBytes_ / sectorBytes_)) * sectorBytes_,
                clusterBytes_);
            std::uint32_t next = Next(c);
            if (next >= end) break;
            if (next == bad) return Fail(path + ": its FAT chain runs into a bad cluster");
            if (next == 0) return Fail(path + ": its FAT chain runs into a free cluster");
            c = next;
        }
        if (size && count < needed)
            return Fail(path + ": its FAT chain ends before its size of " + std::to_string(*size) +
                        " bytes");
        if (size) bytes.resize(*size);
        return true;
    }

    bool Folder(std::string_view bytes, const std::string &path, std::vector<Node> &out,
                std::string *label) {
        LongName longName;
        for (std::size_t at = 0; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
            std::string_view e = bytes.substr(at, kEntryBytes);
            std::uint8_t first = Byte(e, DIR_Name), attributes = Byte(e, DIR_Attr);
            if (first == kEndOfFolder) break;
            if (first == kFreeEntry) {
                longName.Reset();
                continue;
            }
            if ((attributes & kAttrMask) == kLongName) {
                longName.Add(e);
                continue;
            }
            // An entry marked both is no label: a node, kept with its fault.
            if ((attributes & kVolumeId) && !(attributes & kDirectory)) {
                if (label && label->empty()) *label = Trim(Bytes(e, DIR_Name));
                longName.Reset();
                continue;
            }
            if (Bytes(e, DIR_Name) == ".          " || Bytes(e, DIR_Name) == "..         ") {
                longName.Reset();
                continue;
            }
            if (!Entry(e, path, longName, out)) return false;
        }
        return true;
    }

    // The node of short entry `e`, with what it holds.
    bool Entry(std::string_view e, const std::string &path, LongName &longName,
               std::vector<Node> &out) {
        Names names = NamesOf(e, longName);
        const std::string full = path + "\\" + names.name;
        if (++entries_ > InputLimits{}.entries)
            return Fail("more than " + std::to_string(InputLimits{}.entries) +
                        " files and folders");
        Node node;
        node.name = std::move(names.name);
        node.shortName = std::move(names.shortName);
        node.fault = std::move(names.fault);
        node.attributes =
            Byte(e, DIR_Attr) & (kReadOnly | kHidden | kSystem | kDirectory | kArchive);
        node.modified = FromDos(static_cast<std::uint16_t>(Get(e, DIR_WrtDate)),
                                static_cast<std::uint16_t>(Get(e, DIR_WrtTime)));
        std::uint32_t cluster = Get(e, DIR_FstClusLO);
        if (Byte(e, DIR_Attr) & kVolumeId) {
            // Windows opens no such entry: what it points at is never read.
        } else if (node.Folder()) {
            for (std::uint32_t a : ancestors_)
                if (a == cluster) return Fail(full + ": a folder that contains itself");
            const int depth = InputLimits{}.depth;
            if (ancestors_.size() > static_cast<std::size_t>(depth))
                return Fail(full + ": folders more than " + std::to_string(depth) + " deep");
            std::string listing;
            if (!Chain(cluster, full, nullptr, listing)) return false;
            ancestors_.push_back(cluster);
            bool ok = Folder(listing, full, node.children, nullptr);
            ancestors_.pop_back();
            if (!ok) return false;
        } else {
            std::uint32_t size = Get(e, DIR_FileSize);
            if (!Chain(cluster, full, &size, node.bytes)) return false;
        }
        out.push_back(std::move(node));
        return true;
    }

    std::string_view img_;
    std::string &error_;
    std::string_view fat_;
    std::uint32_t sectorBytes_ = 0, clusterBytes_ = 0, rootEntries_ = 0, clusters_ = 0;
    std::uint32_t rootSector_ = 0, dataSector_ = 0;
    bool fat12_ = true, bootSignature_ = false;
    std::vector<int> owner_;         // per cluster: the chain that holds it, or -1
    std::vector<std::string> paths_; // per chain: whose it is
    std::vector<std::uint32_t> ancestors_;
    std::size_t entries_ = 0;
};

} // namespace

bool ReadImage(std::string_view image, Volume &volume, std::string &error) {
    volume = Volume{};
    return Reader(image, error).Read(volume);
}

} // namespace simio::fat
