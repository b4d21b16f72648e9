#include "fat.h"

#include "utf.h"
#include "windows_name.h"

#include <cstring>
#include <set>

namespace simio::fat {

namespace {

using detail::ToDos;

// The 1.44 MB floppy: 2880 sectors of 512 bytes, 18 a track on two sides,
// one reserved sector, two FATs of nine sectors, 224 root entries, one sector
// a cluster, media byte F0.
constexpr std::uint32_t kSector = 512, kSectors = 2880, kFatSectors = 9, kRootEntries = 224;
constexpr std::uint32_t kRootSector = 1 + 2 * kFatSectors;
constexpr std::uint32_t kDataSector = kRootSector + kRootEntries * 32 / kSector;
constexpr std::uint32_t kClusters = kSectors - kDataSector;

// Started from this floppy, a PC shows the message at 0x5A, waits for a key and
// boots again (int 19h), as MS-DOS's own boot sector does for a disk without a
// system. At 0x3E, where the boot sector's jump leads:
//   xor ax,ax / mov ds,ax / mov si,7C5Ah / cld
//   next: lodsb / test al,al / jz wait / mov ah,0Eh / mov bx,7 / int 10h / jmp next
//   wait: xor ax,ax / int 16h / int 19h
const unsigned char kBootCode[] = {0x31, 0xC0, 0x8E, 0xD8, 0xBE, 0x5A, 0x7C, 0xFC, 0xAC, 0x84,
                                   0xC0, 0x74, 0x09, 0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10,
                                   0xEB, 0xF2, 0x31, 0xC0, 0xCD, 0x16, 0xCD, 0x19};
const char kBootMessage[] = "\r\nNo system on this floppy: take it out and press a key.\r\n";

void Put(std::string &b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

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
        return 1 + static_cast<std::uint32_t>((longName.size() + 12) / 13);
    }
};

class Writer {
  public:
    explicit Writer(std::string &error) : error_(error) {}

    bool Write(const Volume &volume, std::string &image) {
        std::vector<Planned> root;
        if (!Plan(volume.root, "", root)) return false;
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
        std::string label(11, ' ');
        if (volume.label.size() > 11) return Fail("the volume label is longer than 11 characters");
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
            std::string e(32, '\0');
            e.replace(0, 11, label);
            e[11] = static_cast<char>(kVolumeId);
            std::uint16_t date, time;
            ToDos(volume.made, date, time);
            Put(e, 22, time, 2);
            Put(e, 24, date, 2);
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

    bool Plan(const std::vector<Node> &nodes, const std::string &path, std::vector<Planned> &out) {
        // Names that are 8.3 names themselves keep them; the others' short names avoid them.
        std::set<std::string> names, shortNames;
        for (const Node &node : nodes) {
            std::string exact;
            if (ExactShortName(node.name, exact)) shortNames.insert(exact);
        }
        for (const Node &node : nodes) {
            std::string full = path + "\\" + node.name;
            if (const char *why = NotAWindowsName(node.name))
                return Fail(full + ": " + why + ", which Windows cannot hold");
            if (!names.insert(UpperAscii(node.name)).second)
                return Fail(full + ": a second entry of that name");
            Planned p;
            p.node = &node;
            if (!Utf16FromUtf8(node.name, p.longName))
                return Fail(full + ": a name that is not UTF-8");
            if (p.longName.size() > 255) return Fail(full + ": a name longer than 255 characters");
            if (ExactShortName(node.name, p.shortName)) {
                p.longName.clear();
            } else if (ShortNameFor(node.name, shortNames, p.shortName)) {
                shortNames.insert(p.shortName);
            } else {
                return Fail(full + ": no short name left");
            }
            if (node.Folder() && !Plan(node.children, full, p.children)) return false;
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
    static bool ShortNameFor(const std::string &name, const std::set<std::string> &taken,
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
        if (!lossy && !base.empty() && !taken.count(padded(base))) {
            shortName = padded(base);
            return true;
        }
        for (int n = 1; n < 1000000; ++n) {
            std::string tail = "~" + std::to_string(n);
            std::string candidate = padded(base.substr(0, 8 - tail.size()) + tail);
            if (!taken.count(candidate)) {
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
                p.clusters = (slots * 32 + kSector - 1) / kSector;
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
        Put(fat, at, old, 2);
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
        std::string e(32, '\0');
        e.replace(0, 11, shortName);
        e[11] = static_cast<char>(attributes);
        std::uint16_t date, time;
        ToDos(modified, date, time);
        Put(e, 14, time, 2); // created
        Put(e, 16, date, 2);
        Put(e, 18, date, 2); // last read
        Put(e, 22, time, 2); // last written
        Put(e, 24, date, 2);
        Put(e, 26, cluster, 2);
        Put(e, 28, size, 4);
        return e;
    }

    static void Listing(const std::vector<Planned> &entries, std::string &out) {
        for (const Planned &p : entries) {
            std::uint8_t sum =
                detail::ShortNameSum(reinterpret_cast<const std::uint8_t *>(p.shortName.data()));
            std::uint32_t parts = p.Slots() - 1;
            for (std::uint32_t k = parts; k >= 1; --k) {
                std::string e(32, '\0');
                e[0] = static_cast<char>(k | (k == parts ? 0x40 : 0));
                e[11] = 0x0F;
                e[13] = static_cast<char>(sum);
                std::size_t i = (k - 1) * 13;
                for (std::size_t at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
                    std::uint32_t unit = i < p.longName.size()    ? p.longName[i]
                                         : i == p.longName.size() ? 0
                                                                  : 0xFFFF;
                    Put(e, at, unit, 2);
                    ++i;
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
        const unsigned char head[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'};
        image.replace(0, sizeof head, reinterpret_cast<const char *>(head), sizeof head);
        Put(image, 11, kSector, 2);
        image[13] = 1;
        Put(image, 14, 1, 2);
        image[16] = 2;
        Put(image, 17, kRootEntries, 2);
        Put(image, 19, kSectors, 2);
        image[21] = static_cast<char>(0xF0);
        Put(image, 22, kFatSectors, 2);
        Put(image, 24, 18, 2);
        Put(image, 26, 2, 2);
        image[38] = 0x29;
        Put(image, 39, volume.serial, 4);
        image.replace(43, 11, volume.label.empty() ? std::string("NO NAME    ") : label);
        image.replace(54, 8, "FAT12   ");
        image.replace(0x3E, sizeof kBootCode, reinterpret_cast<const char *>(kBootCode),
                      sizeof kBootCode);
        image.replace(0x5A, sizeof kBootMessage, kBootMessage, sizeof kBootMessage);
        image[510] = 0x55;
        image[511] = static_cast<char>(0xAA);
    }

    std::string &error_;
};

} // namespace

bool WriteFloppy(const Volume &volume, std::string &image, std::string &error) {
    image.clear();
    return Writer(error).Write(volume, image);
}

} // namespace simio::fat
