// The hardware identifier of a driver INF line: the text between the first
// and the second comma, whatever the line holds.
#include "devices/device_common.h"
#include "devices/driver_inf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    // A line text as SetupGetLineTextA leaves it: zero-filled and terminated.
    char line[kTextBufferSize];
    std::memset(line, 0, sizeof line);
    std::memcpy(line, data, size < kTextBufferSize - 1 ? size : kTextBufferSize - 1);
    std::string field = LineField(line);

    std::string text(line);
    size_t first = text.find(',');
    std::string expected;
    if (first != std::string::npos) {
        size_t second = text.find(',', first + 1);
        expected = text.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                      : second - first - 1);
    }
    if (field != expected) std::abort();
    return 0;
}
