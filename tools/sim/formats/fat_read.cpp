#include "fat.h"

#include "utf.h"
#include "windows_name.h"

#include <map>

namespace simio::fat {

namespace {

using detail::FromDos;

const std::size_t kMaxEntries = 65536; // files and folders in all
const int kMaxDepth = 512;

std::uint32_t Le(std::string_view b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
    return v;
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
        int ord = static_cast<std::uint8_t>(e[0]) & 0x1F;
        bool last = (static_cast<std::uint8_t>(e[0]) & 0x40) != 0;
        std::uint8_t s = static_cast<std::uint8_t>(e[13]);
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
        for (std::size_t at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
            part += static_cast<char16_t>(Le(e, at, 2));
        next = ord - 1;
    }
    // The name in UTF-8 when the sequence is whole and its checksum is `shortSum`.
    bool Take(std::uint8_t shortSum, std::string &name, bool &valid) {
        valid = true;
        bool whole = !parts.empty() && next == 0 && sum == shortSum;
        std::u16string text;
        for (const std::u16string &p : parts)
            text += p;
        Reset();
        if (!whole) return false;
        text = text.substr(0, text.find(u'\0'));
        valid = Utf8FromUtf16(text, name);
        return valid;
    }
};

class Reader {
  public:
    Reader(std::string_view image, std::string &error) : img_(image), error_(error) {}

    bool Read(Volume &volume) {
        if (!Boot()) return false;
        owner_.assign(clusters_ + 2, -1);
        volume.serial = bootSignature_ ? Le(img_, 39, 4) : 0;
        std::string_view root =
            img_.substr(std::size_t{rootSector_} * sectorBytes_, std::size_t{rootEntries_} * 32);
        ancestors_.push_back(0);
        if (!Folder(root, "", true, volume.root, &volume.label)) return false;
        // "NO NAME" in the boot sector is how formatters say there is no label.
        if (volume.label.empty() && bootSignature_ && Trim(img_.substr(43, 11)) != "NO NAME")
            volume.label = Trim(img_.substr(43, 11));
        return true;
    }

  private:
    bool Fail(const std::string &text) {
        error_ = text;
        return false;
    }
    static std::string Trim(std::string_view s) {
        std::string out(s);
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out;
    }

    // The boot sector's parameters, each checked against what FAT allows.
    bool Boot() {
        if (img_.size() < 512) return Fail("not a FAT volume: shorter than one boot sector");
        sectorBytes_ = Le(img_, 11, 2);
        std::uint32_t perCluster = static_cast<std::uint8_t>(img_[13]);
        std::uint32_t reserved = Le(img_, 14, 2), fats = static_cast<std::uint8_t>(img_[16]);
        rootEntries_ = Le(img_, 17, 2);
        std::uint32_t total = Le(img_, 19, 2) ? Le(img_, 19, 2) : Le(img_, 32, 4);
        std::uint32_t fatSectors = Le(img_, 22, 2);
        bootSignature_ = static_cast<std::uint8_t>(img_[38]) == 0x29;
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
        if (rootEntries_ == 0 || rootEntries_ * 32 % sectorBytes_)
            return Fail("bad boot sector: " + number(rootEntries_) + " root folder entries");
        std::uint64_t bytes = std::uint64_t{total} * sectorBytes_;
        if (bytes > kMaxImageBytes)
            return Fail("a volume of " + number(bytes) + " bytes: more than 32 MiB");
        std::uint32_t rootSectors = rootEntries_ * 32 / sectorBytes_;
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
        if (!fat12_) return Le(fat_, cluster * 2, 2);
        std::uint32_t v = Le(fat_, cluster + cluster / 2, 2);
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

    bool Folder(std::string_view bytes, const std::string &path, bool root, std::vector<Node> &out,
                std::string *label) {
        LongName longName;
        std::map<std::string, std::string> seen; // capitals -> name
        for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
            std::string_view e = bytes.substr(at, 32);
            std::uint8_t first = static_cast<std::uint8_t>(e[0]),
                         attributes = static_cast<std::uint8_t>(e[11]);
            if (first == 0) break;
            if (first == 0xE5) {
                longName.Reset();
                continue;
            }
            if ((attributes & 0x3F) == 0x0F) {
                longName.Add(e);
                continue;
            }
            if (attributes & kVolumeId) {
                if (root && label && label->empty()) *label = Trim(e.substr(0, 11));
                longName.Reset();
                continue;
            }
            if (e.substr(0, 11) == ".          " || e.substr(0, 11) == "..         ") {
                longName.Reset();
                continue;
            }
            std::string name;
            bool valid;
            if (!longName.Take(
                    detail::ShortNameSum(reinterpret_cast<const std::uint8_t *>(e.data())), name,
                    valid)) {
                if (!valid) return Fail(path + "\\: a long name that is not UTF-16");
                if (!ShortName(e, name))
                    return Fail(path + "\\" + Trim(e.substr(0, 8)) + "." + Trim(e.substr(8, 3)) +
                                ": " + name);
            }
            std::string full = path + "\\" + name;
            if (const char *why = NotAWindowsName(name))
                return Fail(full + ": " + why + ", which Windows cannot hold");
            auto [other, fresh] = seen.emplace(UpperAscii(name), name);
            if (!fresh) return Fail(full + ": a second entry named " + other->second);
            if (++entries_ > kMaxEntries)
                return Fail("more than " + std::to_string(kMaxEntries) + " files and folders");
            Node node;
            node.name = name;
            node.attributes = attributes & (kReadOnly | kHidden | kSystem | kDirectory | kArchive);
            node.modified = FromDos(static_cast<std::uint16_t>(Le(e, 24, 2)),
                                    static_cast<std::uint16_t>(Le(e, 22, 2)));
            std::uint32_t cluster = Le(e, 26, 2);
            if (node.Folder()) {
                for (std::uint32_t a : ancestors_)
                    if (a == cluster) return Fail(full + ": a folder that contains itself");
                if (ancestors_.size() >= kMaxDepth)
                    return Fail(full + ": folders more than " + std::to_string(kMaxDepth) +
                                " deep");
                std::string listing;
                if (!Chain(cluster, full, nullptr, listing)) return false;
                ancestors_.push_back(cluster);
                bool ok = Folder(listing, full, false, node.children, nullptr);
                ancestors_.pop_back();
                if (!ok) return false;
            } else {
                std::uint32_t size = Le(e, 28, 4);
                if (!Chain(cluster, full, &size, node.bytes)) return false;
            }
            out.push_back(std::move(node));
        }
        return true;
    }

    // The 8.3 name of entry `e`, in lower case where NT marks it so; false, with
    // why in `name`, when it holds characters of an unknown code page.
    static bool ShortName(std::string_view e, std::string &name) {
        std::uint8_t flags = static_cast<std::uint8_t>(e[12]);
        std::string base = Trim(e.substr(0, 8)), ext = Trim(e.substr(8, 3));
        if (!base.empty() && static_cast<std::uint8_t>(base[0]) == 0x05) base[0] = '\xE5';
        for (std::string *part : {&base, &ext})
            for (char &c : *part) {
                if (static_cast<std::uint8_t>(c) >= 0x80) {
                    name = "a short name with characters of the OEM code page and no long name";
                    return false;
                }
                if (c >= 'A' && c <= 'Z' && (flags & (part == &base ? 0x08 : 0x10)))
                    c = static_cast<char>(c - 'A' + 'a');
            }
        name = ext.empty() ? base : base + "." + ext;
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
