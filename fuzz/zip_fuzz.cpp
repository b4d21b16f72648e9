// A zip, read as the simulator reads one: whatever the bytes, the reader
// takes them or names the fault. What it takes, written again, reads back
// into the same names, folders and bytes, with the dates DOS can hold, and
// that written once more gives the same bytes.
#include "fat.h"
#include "zip.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using simio::Node;

void Check(bool condition) {
    if (!condition) std::abort();
}

std::time_t AsDos(std::time_t t) {
    std::uint16_t date, time;
    simio::fat::detail::ToDos(t, date, time);
    return simio::fat::detail::FromDos(date, time);
}

// `b` is `a` written as a zip and read back: every entry made on MS-DOS.
bool Same(const std::vector<Node> &a, const std::vector<Node> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].Folder() != b[i].Folder() || a[i].bytes != b[i].bytes ||
            AsDos(a[i].modified) != b[i].modified || !b[i].attributesKnown ||
            b[i].attributes != (b[i].Folder() ? simio::kDirectory : simio::kArchive) ||
            !Same(a[i].children, b[i].children))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::vector<Node> root, again;
    std::string error, once, twice;
    if (!simio::ReadZip(input, {}, root, error)) {
        Check(!error.empty());
        return 0;
    }
    // A code page 437 name may grow past what a zip's name field holds once in UTF-8.
    if (!simio::WriteZip(simio::ZipEntriesOf(root), once, error)) {
        Check(error.find("a name longer than a zip can hold") != std::string::npos);
        return 0;
    }
    Check(simio::ReadZip(once, {}, again, error));
    Check(Same(root, again));
    Check(simio::WriteZip(simio::ZipEntriesOf(again), twice, error));
    Check(once == twice);
    return 0;
}
