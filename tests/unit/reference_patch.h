// The bytes usbstor.inf must hold after the patch, worked out the plain way
// (every offset, every character, no shortcuts) so that the tests compare
// the patcher with something that shares none of its code.
#pragma once

#include <string>

inline const std::string kUsbstorSearch = "%12%\\USBSTORSP3.SYS";
inline const std::string kUsbstorReplacement = "%12%\\USBSTOR.SYS";

// The first start s where search[k] == data[s + 2k] for every k (each inside
// the data) is replaced: 2m bytes from s (or up to the end) become the
// replacement's characters, each followed by a zero byte.
inline std::string ReferencePatch(const std::string &data,
                                  const std::string &search = kUsbstorSearch,
                                  const std::string &replacement = kUsbstorReplacement) {
    const size_t n = data.size(), m = search.size();
    for (size_t s = 0; s < n; ++s) {
        bool match = true;
        for (size_t k = 0; match && k < m; ++k)
            match = s + 2 * k < n && data[s + 2 * k] == search[k];
        if (!match) continue;
        std::string result = data.substr(0, s);
        for (char c : replacement) {
            result += c;
            result += '\0';
        }
        if (s + 2 * m < n) result += data.substr(s + 2 * m);
        return result;
    }
    return data;
}

// ASCII text as UTF-16 little-endian code units, without a byte-order mark.
inline std::string WideText(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}
