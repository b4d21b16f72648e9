// Which names a Windows folder can hold, and when Windows takes two for one.
#pragma once

#include <string>
#include <string_view>

namespace simio {

// Why Windows could not hold `name` (UTF-8) in a folder, or nullptr. Its
// length is counted as Windows counts it, in UTF-16 units.
const char *NotAWindowsName(const std::string &name);

// `name` with a-z in capitals.
std::string UpperAscii(const std::string &name);

// `utf8` as Windows compares file names: in UTF-16, each unit replaced by its
// simple upper-case form. The table covers ASCII, Latin-1, Latin Extended-A
// and -B, Greek, Cyrillic (with its supplement), Armenian, Latin Extended
// Additional and the full-width Latin letters, as Unicode 14 maps them, but
// only where the capital lies in the letter's own script: like Windows, it
// keeps micro sign, dotless i and long s apart from M, I and S. Windows 98's
// table is older and lacks letters Unicode added since (Ƀ, ͻ); other scripts
// (Georgian, Greek Extended, Coptic...) are taken as they stand. Text that is
// not UTF-8 is folded byte by byte, a byte above 7F as the unit DC80 + byte,
// so that it equals only itself.
std::u16string FoldCase(std::string_view utf8);

// Whether Windows takes `a` and `b` for the same name.
inline bool SameWindowsName(std::string_view a, std::string_view b) {
    return FoldCase(a) == FoldCase(b);
}

} // namespace simio
