#include "platform/sim/printable.h"

#include <cstdio>

namespace sim {

namespace {

// Length of the valid UTF-8 sequence at `i` and its code point, or 0.
size_t Utf8Sequence(std::string_view s, size_t i, unsigned &code) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (length == 0 || i + length > s.size()) return 0;
    code = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool Hidden(unsigned code) {
    return code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0xAD ||
           (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

void AppendUtf8(std::string &out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (size_t i = 0; i < text.size();) {
        unsigned code = 0;
        size_t length = Utf8Sequence(text, i, code);
        if (length == 0) { // ASCII, or a byte of the ANSI code page
            code = static_cast<unsigned char>(text[i]);
            length = 1;
        }
        if (!Hidden(code)) {
            if (length > 1)
                out.append(text, i, length);
            else
                AppendUtf8(out, code);
        } else if (code < 0x100 && length == 1) {
            std::snprintf(escape, sizeof escape, "\\x%02x", code);
            out += escape;
        } else {
            std::snprintf(escape, sizeof escape, "\\u{%04x}", code);
            out += escape;
        }
        i += length;
    }
    return out;
}

} // namespace sim
