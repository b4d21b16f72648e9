#include "fat.h"

#include "utf.h"
#include "windows_name.h"

#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace simio::fat {

namespace {

using namespace layout;
using detail::Put;
using detail::ToDos;

// The 1.44 MB floppy: 2880 sectors of 512 bytes, 18 a track on two sides,
// one reserved sector, two FATs of nine sectors, 224 root entries, one sector
// a cluster, media byte F0.
constexpr std::uint32_t kSector = 512, kSectors = 2880, kFatSectors = 9, kRootEntries = 224;
constexpr std::uint32_t kRootSector = 1 + 2 * kFatSectors;
constexpr std::uint32_t kDataSector = kRootSector + kRootEntries * kEntryBytes / kSector;
constexpr std::uint32_t kClusters = kSectors - kDataSector;

// Started from this floppy, a PC shows the message at 0x5A, waits for a key and
// boots again (int 19h), as MS-DOS's own boot sector does for a disk without a
// system. Right after the boot sector's fields, where its jump leads:
//   xor ax,ax / mov ds,ax / mov si,7C5Ah / cld
//   next: lodsb / test al,al / jz wait / mov ah,0Eh / mov bx,7 / int 10h / jmp next
//   wait: xor ax,ax / int 16h / int 19h
const unsigned char kBootCode[] = {0x31, 0xC0, 0x8E, 0xD8, 0xBE, 0x5A, 0x7C, 0xFC, 0xAC, 0x84,
                                   0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10,
                                   0xEB, 0xF2, 0x31, 0xC0, 0xCD, 0x16, 0xCD, 0x19};
constexpr std::size_t kBootCodeAt = BS_FilSysType.at + BS_FilSysType.size; // 0x3E
// The code loads the message from 7C00h + this.
constexpr std::size_t kBootMessageAt = 0x5A;
const char kBootMessage[] = "\r\nNo system on this floppy: take it out and press a key.\r\n";

bool ShortChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'()-@^_`{}~", c));
}

// A directory entry to be: the node, its 8.3 name and, when the name needs one, its long name.
struct Planned {
    const Node *node = nullptr;
    std::string shortName; // 11 bytes, blank-padded
    std::u16string longName;
    std::uint32_t cluster = 0, clusters = 0; // where its data or listing goes
    std::vector<Planned> children;

    std::uint32_t Slots() const {
        return 1 + static_cast<std::uint32_t>((longName.size() + kUnitsPerLongEntry - 1) /
                                              kUnitsPerLongEntry);
    }
};

class Writer {
  public:
    explicit Writer(std::string &error) : error_(error) {}

    bool Write(const Volume &volume, std::string &image) {
        std::vector<Planned> root;
        if (!Plan(volume.root, "", 0, root)) return false;
        std::uint32_t slots = volume.label.empty() ? 0 : 1;
        for (const Planned &p : root)
            slots += p.Slots();
        if (slots > kRootEntries)
            return Fail("the root folder needs " + std::to_string(slots) +
                        " entries, and a 1.44 MB floppy holds " + std::to_string(kRootEntries));
        std::uint32_t next = 2;
        Allocate(root, next);
        if (next - 2 > kClusters)
            return Fail("it needs " +
                        std::to_string(std::uint64_t{next - 2 - kClusters} * kSector) +
                        " bytes more than a 1.44 MB floppy holds");
        std::string label(BS_VolLab.size, ' ');
        if (volume.label.size() > BS_VolLab.size)
            return Fail("the volume label is longer than 11 characters");
        for (std::size_t i = 0; i < volume.label.size(); ++i) {
            char c = volume.label[i];
            if (!ShortChar(c) && c != ' ')
                return Fail("the volume label holds '" + std::string(1, c) + "'");
            label[i] = c;
        }

        image.assign(std::size_t{kSectors} * kSector, '\0');
        Boot(image, volume, label);
        std::string fat(std::size_t{kFatSectors} * kSector, '\0');
        SetFat(fat, 0, 0xFF0);
        SetFat(fat, 1, 0xFFF);
        Chains(root, fat);
        for (std::uint32_t copy = 0; copy < 2; ++copy)
            image.replace(std::size_t{1 + copy * kFatSectors} * kSector, fat.size(), fat);

        std::string listing;
        if (!volume.label.empty()) {
            std::string e(kEntryBytes, '\0');
            e.replace(DIR_Name.at, DIR_Name.size, label);
            Put(e, DIR_Attr, kVolumeId);
            std::uint16_t date, time;
            ToDos(volume.made, date, time);
            Put(e, DIR_WrtTime, time);
            Put(e, DIR_WrtDate, date);
            listing += e;
        }
        Listing(root, listing);
        image.replace(std::size_t{kRootSector} * kSector, listing.size(), listing);
        Contents(root, 0, image);
        return true;
    }

  private:
    bool Fail(const std::string &text) {
        error_ = text;
        return false;
    }

    bool Plan(const std::vector<Node> &nodes, const std::string &path, int depth,
              std::vector<Planned> &out) {
        // Names that spell an 8.3 name in capitals or in any case keep it from the
        // others' short names, since Windows would find them by it.
        std::map<std::string, const Node *> spelled; // 8.3 name, blank-padded -> whose
        for (const Node &node : nodes) {
            std::string exact;
            if (ExactShortName(UpperAscii(node.name), exact)) spelled.emplace(exact, &node);
        }
        std::set<std::u16string> names;
        std::set<std::string> shortNames;
        for (const Node &node : nodes) {
            std::string full = path + "\\" + node.name;
            if (++entries_ > InputLimits{}.entries)
                return Fail("more than " + std::to_string(InputLimits{}.entries) +
                            " files and folders");
            if (const char *why = NotAWindowsName(node.name))
                return Fail(full + ": " + why + ", which Windows cannot hold");
            if (!names.insert(FoldCase(node.name)).second)
                return Fail(full + ": a second entry of that name");
            Planned p;
            p.node = &node;
            Utf16FromUtf8(node.name, p.longName); // UTF-8, as NotAWindowsName found
            auto taken = [&](const std::string &candidate) {
                auto it = spelled.find(candidate);
                return shortNames.count(candidate) || (it != spelled.end() && it->second != &node);
            };
            if (ExactShortName(node.name, p.shortName)) {
                p.longName.clear();
            } else if (!ShortNameFor(node.name, taken, p.shortName)) {
                return Fail(full + ": no short name left");
            }
            shortNames.insert(p.shortName);
            if (node.Folder() && depth + 1 > InputLimits{}.depth)
                return Fail(full + ": folders more than " + std::to_string(InputLimits{}.depth) +
                            " deep");
            if (node.Folder() && !Plan(node.children, full, depth + 1, p.children)) return false;
            out.push_back(std::move(p));
        }
        return true;
    }

    // The name's 8.3 form when it is an 8.3 name as it stands, in capitals.
    static bool ExactShortName(const std::string &name, std::string &shortName) {
        std::size_t dot = name.rfind('.');
        std::string base = name.substr(0, dot),
                    ext = dot == std::string::npos ? "" : name.substr(dot + 1);
        bool exact = !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
                     (dot == std::string::npos || !ext.empty());
        for (char c : base + ext)
            exact = exact && ShortChar(c);
        if (exact)
            shortName =
                base + std::string(8 - base.size(), ' ') + ext + std::string(3 - ext.size(), ' ');
        return exact;
    }

    // The 8.3 name Windows makes for a long name: a basis of its valid characters
    // in capitals, with "~N" when that lost anything or is taken.
    static bool ShortNameFor(const std::string &name,
                             const std::function<bool(const std::string &)> &taken,
                             std::string &shortName) {
        std::size_t dot = name.rfind('.');
        std::string base, ext = dot == std::string::npos ? "" : name.substr(dot + 1);
        bool lossy = false;
        auto basis = [&lossy](const std::string &in, std::size_t most) {
            std::string out;
            for (char c : UpperAscii(in)) {
                if (c == ' ' || c == '.') {
                    lossy = true;
                } else if (out.size() == most) {
                    lossy = true;
                } else {
                    lossy = lossy || !ShortChar(c);
                    out += ShortChar(c) ? c : '_';
                }
            }
            return out;
        };
        std::size_t start = name.find_first_not_of('.');
        if (dot == std::string::npos || dot < start) {
            base = basis(name.substr(start == std::string::npos ? 0 : start), 8);
            ext.clear();
        } else {
            base = basis(name.substr(start, dot - start), 8);
            ext = basis(ext, 3);
        }
        auto padded = [&ext](const std::string &b) {
            return b + std::string(8 - b.size(), ' ') + ext + std::string(3 - ext.size(), ' ');
        };
        if (!lossy && !base.empty() && !taken(padded(base))) {
            shortName = padded(base);
            return true;
        }
        for (int n = 1; n < 1000000; ++n) {
            std::string tail = "~" + std::to_string(n);
            std::string candidate = padded(base.substr(0, 8 - tail.size()) + tail);
            if (!taken(candidate)) {
                shortName = candidate;
                return true;
            }
        }
        return false;
    }

    // Clusters in the order of the listing: each folder's own listing, then what it holds.
    static void Allocate(std::vector<Planned> &entries, std::uint32_t &next) {
        for (Planned &p : entries) {
            if (p.node->Folder()) {
                std::uint32_t slots = 2;
                for (const Planned &c : p.children)
                    slots += c.Slots();
                p.clusters =
                    static_cast<std::uint32_t>((slots * kEntryBytes + kSector - 1) / kSector);
            } else {
                p.clusters =
                    static_cast<std::uint32_t>((p.node->bytes.size() + kSector - 1) / kSector);
            }
            if (p.clusters) p.cluster = next;
            next += p.clusters;
            if (p.node->Folder()) Allocate(p.children, next);
        }
    }

    static void SetFat(std::string &fat, std::uint32_t cluster, std::uint32_t value) {
        std::size_t at = cluster + cluster / 2;
        std::uint32_t old = static_cast<std::uint8_t>(fat[at]) |
                            static_cast<std::uint32_t>(static_cast<std::uint8_t>(fat[at + 1])) << 8;
        old = cluster & 1 ? (old & 0x000F) | (value << 4) : (old & 0xF000) | value;
        Put(fat, at, 2, old);
    }

    static void Chains(const std::vector<Planned> &entries, std::string &fat) {
        for (const Planned &p : entries) {
            for (std::uint32_t i = 0; i < p.clusters; ++i)
                SetFat(fat, p.cluster + i, i + 1 == p.clusters ? 0xFFF : p.cluster + i + 1);
            Chains(p.children, fat);
        }
    }

    static std::string Entry(const std::string &shortName, std::uint8_t attributes,
                             std::time_t modified, std::uint32_t cluster, std::uint32_t size) {
        std::string e(kEntryBytes, '\0');
        e.replace(DIR_Name.at, DIR_Name.size, shortName);
        Put(e, DIR_Attr, attributes);
        std::uint16_t date, time;
        ToDos(modified, date, time);
        Put(e, DIR_CrtTime, time);
        Put(e, DIR_CrtDate, date);
        Put(e, DIR_LstAccDate, date);
        Put(e, DIR_WrtTime, time);
        Put(e, DIR_WrtDate, date);
        Put(e, DIR_FstClusLO, cluster);
        Put(e, DIR_FileSize, size);
        return e;
    }

    static void Listing(const std::vector<Planned> &entries, std::string &out) {
        for (const Planned &p : entries) {
            std::uint8_t sum =
                detail::ShortNameSum(reinterpret_cast<const std::uint8_t *>(p.shortName.data()));
            std::uint32_t parts = p.Slots() - 1;
            for (std::uint32_t k = parts; k >= 1; --k) {
                std::string e(kEntryBytes, '\0');
                Put(e, LDIR_Ord, k | (k == parts ? kLastLongEntry : 0));
                Put(e, LDIR_Attr, kLongName);
                Put(e, LDIR_Chksum, sum);
                for (std::size_t u = 0; u < kUnitsPerLongEntry; ++u) {
                    std::size_t i = (k - 1) * kUnitsPerLongEntry + u;
                    std::uint32_t unit = i < p.longName.size()    ? p.longName[i]
                                         : i == p.longName.size() ? 0
                                                                  : 0xFFFF;
                    Put(e, LongNameUnit(u), 2, unit);
                }
                out += e;
            }
            const Node &n = *p.node;
            std::uint8_t attributes = n.attributes & (kReadOnly | kHidden | kSystem | kArchive);
            if (n.Folder()) attributes |= kDirectory;
            out += Entry(p.shortName, attributes, n.modified, p.cluster,
                         n.Folder() ? 0 : static_cast<std::uint32_t>(n.bytes.size()));
        }
    }

    // Every file's bytes and every folder's listing at its clusters.
    static void Contents(const std::vector<Planned> &entries, std::uint32_t parent,
                         std::string &image) {
        for (const Planned &p : entries) {
            std::size_t at = (kDataSector + std::size_t{p.cluster} - 2) * kSector;
            if (p.node->Folder()) {
                std::string listing =
                    Entry(".          ", kDirectory, p.node->modified, p.cluster, 0) +
                    Entry("..         ", kDirectory, p.node->modified, parent, 0);
                Listing(p.children, listing);
                image.replace(at, listing.size(), listing);
                Contents(p.children, p.cluster, image);
            } else if (p.clusters) {
                image.replace(at, p.node->bytes.size(), p.node->bytes);
            }
        }
    }

    static void Boot(std::string &image, const Volume &volume, const std::string &label) {
        const unsigned char jump[] = {0xEB, kBootCodeAt - 2, 0x90}; // jmp short, nop
        image.replace(BS_jmpBoot.at, BS_jmpBoot.size, reinterpret_cast<const char *>(jump),
                      sizeof jump);
        image.replace(BS_OEMName.at, BS_OEMName.size, "MSWIN4.1");
        Put(image, BPB_BytsPerSec, kSector);
        Put(image, BPB_SecPerClus, 1);
        Put(image, BPB_RsvdSecCnt, 1);
        Put(image, BPB_NumFATs, 2);
        Put(image, BPB_RootEntCnt, kRootEntries);
        Put(image, BPB_TotSec16, kSectors);
        Put(image, BPB_Media, 0xF0);
        Put(image, BPB_FATSz16, kFatSectors);
        Put(image, BPB_SecPerTrk, 18);
        Put(image, BPB_NumHeads, 2);
        Put(image, BS_BootSig, kBootSig);
        Put(image, BS_VolID, volume.serial);
        image.replace(BS_VolLab.at, BS_VolLab.size,
                      volume.label.empty() ? std::string("NO NAME    ") : label);
        image.replace(BS_FilSysType.at, BS_FilSysType.size, "FAT12   ");
        image.replace(kBootCodeAt, sizeof kBootCode, reinterpret_cast<const char *>(kBootCode),
                      sizeof kBootCode);
        image.replace(kBootMessageAt, sizeof kBootMessage, kBootMessage, sizeof kBootMessage);
        Put(image, Signature_word, kSignature);
    }

    std::string &error_;
    std::size_t entries_ = 0;
};

} // namespace

bool WriteFloppy(const Volume &volume, std::string &image, std::string &error) {
    image.clear();
    return Writer(error).Write(volume, image);
}

} // namespace simio::fat
