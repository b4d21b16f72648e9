// The simulator's one UTF-8 / UTF-16 codec: regedit's files, FAT's long
// names and zip's names all pass through it, so that one rule decides what
// is valid text.
#pragma once

#include <string>
#include <string_view>

namespace simio {

// Appends code point `cp` (below 0x110000, not a surrogate) to `out` in UTF-8.
void AppendUtf8(std::string &out, char32_t cp);

// `utf8` as UTF-16 in `out`; false on invalid UTF-8 (a bad or missing
// continuation byte, an overlong form, a surrogate, a code point past 10FFFF).
bool Utf16FromUtf8(std::string_view utf8, std::u16string &out);

// `utf16` as UTF-8 in `out`; false on a lone surrogate.
bool Utf8FromUtf16(std::u16string_view utf16, std::string &out);

} // namespace simio
