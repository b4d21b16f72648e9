#include "disk_image.h"

#include "fat.h"
#include "folder.h"
#include "windows_name.h"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace simio {

namespace {

bool Named(const fat::Node &node, const char *name) {
    return !node.Folder() && UpperAscii(node.name) == UpperAscii(name);
}

bool HoldsMachine(const std::vector<fat::Node> &folder) {
    for (const fat::Node &node : folder)
        if (Named(node, "machine.txt") || Named(node, "registry.reg")) return true;
    return false;
}

bool Unpack(const std::vector<fat::Node> &nodes, const fs::path &into, const std::string &path,
            ImageMachine &machine, std::string &error) {
    std::error_code ec;
    if (!fs::create_directory(into, ec)) {
        error = into.string() + ": cannot make the folder: " + ec.message();
        return false;
    }
    for (const fat::Node &node : nodes) {
        std::string inside = path.empty() ? node.name : path + "\\" + node.name;
        if (node.Folder()) {
            if (!Unpack(node.children, into / node.name, inside, machine, error)) return false;
            continue;
        }
        if (!WriteNewFile(into / node.name, node.bytes, error) ||
            !SetModified(into / node.name, node.modified, error))
            return false;
        machine.attributes[inside] = node.attributes & ~fat::kDirectory;
    }
    return true;
}

} // namespace

bool IsDiskImage(const fs::path &path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool UnpackImage(const fs::path &image, const fs::path &into, ImageMachine &machine,
                 std::string &error) {
    std::error_code ec;
    auto size = fs::file_size(image, ec);
    if (ec) {
        error = "cannot read it: " + ec.message();
        return false;
    }
    if (size > fat::kMaxImageBytes) {
        error = "a disk image of " + std::to_string(size) + " bytes: more than 32 MiB";
        return false;
    }
    std::ifstream file(image, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (!file) {
        error = "cannot read it";
        return false;
    }
    fat::Volume volume;
    if (!fat::ReadImage(bytes.str(), volume, error)) return false;
    machine = ImageMachine{};
    machine.label = volume.label;
    const std::vector<fat::Node> *found = HoldsMachine(volume.root) ? &volume.root : nullptr;
    if (!found) {
        for (const fat::Node &node : volume.root) {
            if (!node.Folder() || !HoldsMachine(node.children)) continue;
            if (found) {
                error = "two machines on the image, in " + machine.folder + " and " + node.name +
                        ": copy the one to read off it";
                return false;
            }
            found = &node.children;
            machine.folder = node.name;
        }
    }
    if (!found) {
        error = "no machine or capture on the image: no machine.txt or registry.reg at its "
                "root or in a folder of its root";
        return false;
    }
    return Unpack(*found, into, "", machine, error);
}

} // namespace simio
