// A disk image, read as the simulator reads one: whatever the bytes, the
// reader takes them or names the fault. A volume it takes that a floppy can
// hold, less the entries whose names Windows could not take, is written as a
// new floppy, which must read back into the same label, names, attributes,
// bytes and dates, with every name one that Windows takes.
#include "fat.h"
#include "names.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using simio::fat::Node;

void Check(bool condition) {
    if (!condition) std::abort();
}

// The tree without the nodes that carry a fault, which the writer is not given.
void DropFaults(std::vector<Node> &nodes) {
    std::vector<Node> kept;
    for (Node &node : nodes) {
        if (!node.fault.empty()) continue;
        DropFaults(node.children);
        kept.push_back(std::move(node));
    }
    nodes = std::move(kept);
}

bool Same(const std::vector<Node> &a, const std::vector<Node> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].attributes != b[i].attributes ||
            a[i].modified != b[i].modified || a[i].bytes != b[i].bytes || !b[i].fault.empty() ||
            b[i].shortName.empty() || !Same(a[i].children, b[i].children))
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
    DropFaults(volume.root);
    if (!simio::fat::WriteFloppy(volume, image, error)) return 0;
    Check(image.size() == simio::fat::kFloppyBytes);
    Check(simio::fat::ReadImage(image, again, error));
    Check(again.label == volume.label && again.serial == volume.serial);
    Check(Same(volume.root, again.root));
    Check(simio::CheckNames(again.root, "", error));
    return 0;
}
