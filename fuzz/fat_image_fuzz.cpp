// A disk image, read as the simulator reads one: whatever the bytes, the
// reader takes them or names the fault. A volume it takes that a floppy can
// hold is written as a new floppy, which must read back into the same label,
// names, attributes, bytes and dates.
#include "fat.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using simio::fat::Node;

void Check(bool condition) {
    if (!condition) std::abort();
}

bool Same(const std::vector<Node> &a, const std::vector<Node> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].attributes != b[i].attributes ||
            a[i].modified != b[i].modified || a[i].bytes != b[i].bytes ||
            !Same(a[i].children, b[i].children))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    simio::fat::Volume volume, again;
    std::string error, image;
    if (!simio::fat::ReadImage(input, volume, error)) {
        Check(!error.empty());
        return 0;
    }
    if (!simio::fat::WriteFloppy(volume, image, error)) return 0;
    Check(image.size() == simio::fat::kFloppyBytes);
    Check(simio::fat::ReadImage(image, again, error));
    Check(again.label == volume.label && again.serial == volume.serial);
    Check(Same(volume.root, again.root));
    return 0;
}
