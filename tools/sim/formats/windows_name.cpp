#include "windows_name.h"

#include <cstring>

namespace simio {

std::string UpperAscii(const std::string &name) {
    std::string out = name;
    for (char &c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

const char *NotAWindowsName(const std::string &name) {
    if (name.empty()) return "an empty name";
    if (name.size() > 255) return "a name longer than 255 characters";
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
