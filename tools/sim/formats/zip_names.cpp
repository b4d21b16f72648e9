// What a zip entry's header says of its name and date, and which names may
// be unpacked at all.
#include "zip.h"

#include "fat.h"
#include "utf.h"

#include "zlib.h"

namespace simio::zipdetail {

namespace {

// Code page 437 from 0x80 on; below, ASCII.
const char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

unsigned Le16(std::string_view s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

std::uint32_t Le32(std::string_view s, std::size_t at) {
    return Le16(s, at) | static_cast<std::uint32_t>(Le16(s, at + 2)) << 16;
}

// The data of the extra field `id`; an extra block cut short ends the search.
bool FindExtra(std::string_view extra, unsigned id, std::string_view &data) {
    for (std::size_t at = 0; extra.size() - at >= 4;) {
        std::size_t size = Le16(extra, at + 2);
        if (extra.size() - at - 4 < size) return false;
        if (Le16(extra, at) == id) {
            data = extra.substr(at + 4, size);
            return true;
        }
        at += 4 + size;
    }
    return false;
}

bool ValidUtf8(std::string_view text) {
    std::u16string ignored;
    return Utf16FromUtf8(text, ignored);
}

} // namespace

std::string Utf8FromCp437(std::string_view raw) {
    std::string out;
    for (char c : raw) {
        unsigned char b = static_cast<unsigned char>(c);
        AppendUtf8(out, b < 0x80 ? b : kCp437High[b - 0x80]);
    }
    return out;
}

bool MadeOnDos(unsigned versionMadeBy) {
    unsigned host = versionMadeBy >> 8;
    return host == 0 || host == 11 || host == 14;
}

bool DecodeName(std::string_view raw, unsigned flag, unsigned versionMadeBy, std::string_view extra,
                std::string &name) {
    if (flag & 0x800) {
        name = raw;
        return ValidUtf8(raw);
    }
    // Info-ZIP's Unicode Path: version 1, the CRC-32 of the header's name, the name in UTF-8.
    // A CRC that differs means the name was changed by a program that knew nothing of it.
    std::string_view unicode;
    if (FindExtra(extra, 0x7075, unicode) && unicode.size() >= 5 && unicode[0] == 1 &&
        Le32(unicode, 1) ==
            crc32(0, reinterpret_cast<const Bytef *>(raw.data()), static_cast<uInt>(raw.size())) &&
        ValidUtf8(unicode.substr(5))) {
        name = unicode.substr(5);
        return true;
    }
    name = !MadeOnDos(versionMadeBy) && ValidUtf8(raw) ? std::string(raw) : Utf8FromCp437(raw);
    return true;
}

std::time_t EntryTime(std::uint32_t dosDate, std::string_view extra) {
    // Extended Timestamp: flags, then the modification time (UTC, signed 32 bits) when bit 0 is
    // set.
    std::string_view stamp;
    if (FindExtra(extra, 0x5455, stamp) && stamp.size() >= 5 && (stamp[0] & 1))
        return static_cast<std::time_t>(static_cast<std::int32_t>(Le32(stamp, 1)));
    return fat::detail::FromDos(static_cast<std::uint16_t>(dosDate >> 16),
                                static_cast<std::uint16_t>(dosDate & 0xFFFF));
}

const char *BadPath(std::string_view path) {
    if (path.empty()) return "an entry without a name";
    if (path.find('\0') != std::string_view::npos) return "a name with a NUL byte in it";
    if (path.find('\\') != std::string_view::npos)
        return "a name with a backslash, which Windows would take for a folder";
    if (path[0] == '/') return "an absolute name";
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
        return "a name with a drive letter";
    for (std::size_t start = 0;;) {
        std::size_t end = path.find('/', start);
        std::string_view part = path.substr(start, end - start);
        if (part.empty()) return "a name with an empty folder in it ('//')";
        if (part == "." || part == "..") return "a name with a '.' or '..' folder in it";
        if (end == std::string_view::npos) return nullptr;
        start = end + 1;
    }
}

} // namespace simio::zipdetail
