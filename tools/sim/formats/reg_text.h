// What reading and writing regedit's files share: the headers, which
// types hold text, and UTF-16LE's bytes. Internal to reg_read.cpp and
// reg_write.cpp.
#pragma once

#include "platform/sim/registry.h"

#include <string_view>
#include <vector>

namespace simio::regtext {

inline constexpr const char *kHeader4 = "REGEDIT4";
inline constexpr const char *kHeader5 = "Windows Registry Editor Version 5.00";

inline bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

inline std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
    std::vector<BYTE> out;
    out.reserve(text.size() * 2);
    for (char16_t u : text) {
        out.push_back(static_cast<BYTE>(u & 0xFF));
        out.push_back(static_cast<BYTE>(u >> 8));
    }
    return out;
}

} // namespace simio::regtext
