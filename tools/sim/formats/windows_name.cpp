#include "windows_name.h"

#include "utf.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace simio {

namespace {

// Units first..last (every `step`-th from first) have the capital unit + delta.
struct FoldRun {
    char16_t first, last;
    int delta, step;
};

// Unicode 14's simple upper-case mappings in the blocks FoldCase names,
// generated from its UnicodeData.txt, in order.
const FoldRun kFolds[] = {
    {0x0061, 0x007A, -32, 1}, {0x00E0, 0x00F6, -32, 1}, {0x00F8, 0x00FE, -32, 1},
    {0x00FF, 0x00FF, 121, 1}, {0x0101, 0x012F, -1, 2},  {0x0133, 0x0137, -1, 2},
    {0x013A, 0x0148, -1, 2},  {0x014B, 0x0177, -1, 2},  {0x017A, 0x017E, -1, 2},
    {0x0180, 0x0180, 195, 1}, {0x0183, 0x0185, -1, 2},  {0x0188, 0x0188, -1, 1},
    {0x018C, 0x018C, -1, 1},  {0x0192, 0x0192, -1, 1},  {0x0195, 0x0195, 97, 1},
    {0x0199, 0x0199, -1, 1},  {0x019A, 0x019A, 163, 1}, {0x019E, 0x019E, 130, 1},
    {0x01A1, 0x01A5, -1, 2},  {0x01A8, 0x01A8, -1, 1},  {0x01AD, 0x01AD, -1, 1},
    {0x01B0, 0x01B0, -1, 1},  {0x01B4, 0x01B6, -1, 2},  {0x01B9, 0x01B9, -1, 1},
    {0x01BD, 0x01BD, -1, 1},  {0x01BF, 0x01BF, 56, 1},  {0x01C5, 0x01C5, -1, 1},
    {0x01C6, 0x01C6, -2, 1},  {0x01C8, 0x01C8, -1, 1},  {0x01C9, 0x01C9, -2, 1},
    {0x01CB, 0x01CB, -1, 1},  {0x01CC, 0x01CC, -2, 1},  {0x01CE, 0x01DC, -1, 2},
    {0x01DD, 0x01DD, -79, 1}, {0x01DF, 0x01EF, -1, 2},  {0x01F2, 0x01F2, -1, 1},
    {0x01F3, 0x01F3, -2, 1},  {0x01F5, 0x01F5, -1, 1},  {0x01F9, 0x021F, -1, 2},
    {0x0223, 0x0233, -1, 2},  {0x023C, 0x023C, -1, 1},  {0x0242, 0x0242, -1, 1},
    {0x0247, 0x024F, -1, 2},  {0x0371, 0x0373, -1, 2},  {0x0377, 0x0377, -1, 1},
    {0x037B, 0x037D, 130, 1}, {0x03AC, 0x03AC, -38, 1}, {0x03AD, 0x03AF, -37, 1},
    {0x03B1, 0x03C1, -32, 1}, {0x03C2, 0x03C2, -31, 1}, {0x03C3, 0x03CB, -32, 1},
    {0x03CC, 0x03CC, -64, 1}, {0x03CD, 0x03CE, -63, 1}, {0x03D0, 0x03D0, -62, 1},
    {0x03D1, 0x03D1, -57, 1}, {0x03D5, 0x03D5, -47, 1}, {0x03D6, 0x03D6, -54, 1},
    {0x03D7, 0x03D7, -8, 1},  {0x03D9, 0x03EF, -1, 2},  {0x03F0, 0x03F0, -86, 1},
    {0x03F1, 0x03F1, -80, 1}, {0x03F2, 0x03F2, 7, 1},   {0x03F3, 0x03F3, -116, 1},
    {0x03F5, 0x03F5, -96, 1}, {0x03F8, 0x03F8, -1, 1},  {0x03FB, 0x03FB, -1, 1},
    {0x0430, 0x044F, -32, 1}, {0x0450, 0x045F, -80, 1}, {0x0461, 0x0481, -1, 2},
    {0x048B, 0x04BF, -1, 2},  {0x04C2, 0x04CE, -1, 2},  {0x04CF, 0x04CF, -15, 1},
    {0x04D1, 0x052F, -1, 2},  {0x0561, 0x0586, -48, 1}, {0x1E01, 0x1E95, -1, 2},
    {0x1E9B, 0x1E9B, -59, 1}, {0x1EA1, 0x1EFF, -1, 2},  {0xFF41, 0xFF5A, -32, 1}};

char16_t Upper(char16_t unit) {
    // The last run that starts at or before `unit`: runs do not overlap.
    const FoldRun *run = std::upper_bound(std::begin(kFolds), std::end(kFolds), unit,
                                          [](char16_t u, const FoldRun &r) { return u < r.first; });
    if (run == std::begin(kFolds)) return unit;
    --run;
    if (unit > run->last || (unit - run->first) % run->step != 0) return unit;
    return static_cast<char16_t>(unit + run->delta);
}

} // namespace

std::string UpperAscii(const std::string &name) {
    std::string out = name;
    for (char &c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::u16string FoldCase(std::string_view utf8) {
    std::u16string units;
    if (!Utf16FromUtf8(utf8, units)) {
        units.clear();
        for (unsigned char c : utf8)
            units += static_cast<char16_t>(c < 0x80 ? c : 0xDC00 + c);
    }
    for (char16_t &unit : units)
        unit = Upper(unit);
    return units;
}

const char *NotAWindowsName(const std::string &name) {
    if (name.empty()) return "an empty name";
    std::u16string units;
    if (!Utf16FromUtf8(name, units)) return "a name that is not UTF-8";
    if (units.size() > 255) return "a name longer than 255 characters";
    for (unsigned char c : name)
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c))
            return "a name with a character Windows forbids";
    if (name.back() == '.' || name.back() == ' ') return "a name ending in a dot or a blank";
    std::string base = UpperAscii(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char *const reserved[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char *r : reserved)
        if (base == r) return "a reserved device name";
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
        base[3] >= '1' && base[3] <= '9')
        return "a reserved device name";
    return nullptr;
}

} // namespace simio
