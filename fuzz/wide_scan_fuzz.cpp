// The wide-text scan finds the same first match as the plain definition:
// search[k] equals data[s + 2k] for every k, all inside the data.
#include "files/wide_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // The first byte picks the search text's length, the next bytes are it.
    size_t m = 1 + data[0] % 24;
    if (size < 1 + m) return 0;
    std::string search(reinterpret_cast<const char *>(data + 1), m);
    const unsigned char *text = data + 1 + m;
    size_t n = size - 1 - m;

    size_t expected = n;
    for (size_t s = 0; s < n && expected == n; ++s) {
        size_t k = 0;
        while (k < m && s + 2 * k < n && text[s + 2 * k] == static_cast<unsigned char>(search[k]))
            ++k;
        if (k == m) expected = s;
    }
    if (FindWideText(text, n, search) != expected) std::abort();
    return 0;
}
