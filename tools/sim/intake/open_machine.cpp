#include "open_machine.h"

#include "fat.h"
#include "folder.h"
#include "names.h"
#include "windows_name.h"
#include "zip.h"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace simio {

namespace {

bool Named(const Node &node, const char *name) {
    return !node.Folder() && node.fault.empty() && UpperAscii(node.name) == UpperAscii(name);
}

bool HoldsMachine(const std::vector<Node> &folder) {
    for (const Node &node : folder)
        if (Named(node, "machine.txt") || Named(node, "registry.reg")) return true;
    return false;
}

// The machine on a container: at its root, or in the one folder of its root that holds one.
bool FindMachine(const std::vector<Node> &root, const char *what, const std::vector<Node> *&found,
                 std::string &folder, std::string &error) {
    found = HoldsMachine(root) ? &root : nullptr;
    for (const Node &node : root) {
        if (found == &root) break;
        if (!node.Folder() || !node.fault.empty() || !HoldsMachine(node.children)) continue;
        if (found) {
            error = std::string("two machines on the ") + what + ", in " + folder + " and " +
                    node.name + ": copy the one to read off it";
            return false;
        }
        found = &node.children;
        folder = node.name;
    }
    if (!found)
        error = std::string("no machine or capture on the ") + what +
                ": no machine.txt or registry.reg at its root or in a folder of its root";
    return found != nullptr;
}

bool Unpack(const std::vector<Node> &nodes, const fs::path &into, const std::string &path,
            OpenedMachine &opened, std::string &error) {
    std::error_code ec;
    if (!fs::create_directory(into, ec)) {
        error = into.string() + ": cannot make the folder: " + ec.message();
        return false;
    }
    for (const Node &node : nodes) {
        std::string inside = path.empty() ? node.name : path + "\\" + node.name;
        if (node.Folder()) {
            if (!Unpack(node.children, into / node.name, inside, opened, error)) return false;
            continue;
        }
        if (!WriteNewFile(into / node.name, node.bytes, error) ||
            !SetModified(into / node.name, node.modified, error))
            return false;
        if (node.attributesKnown) opened.entryAttributes[inside] = node.attributes & ~kDirectory;
    }
    return true;
}

bool ReadWhole(const fs::path &path, std::uint64_t most, const char *what, std::string &bytes,
               std::string &error) {
    std::error_code ec;
    std::uint64_t size = fs::file_size(path, ec);
    if (ec) {
        error = "cannot read it: " + ec.message();
        return false;
    }
    if (size > most) {
        error = std::string("a ") + what + " of " + std::to_string(size) + " bytes: more than " +
                (most % (1 << 20) ? std::to_string(most) + " bytes"
                                  : std::to_string(most >> 20) + " MiB");
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream read;
    read << file.rdbuf();
    if (!file) {
        error = "cannot read it";
        return false;
    }
    bytes = std::move(read).str();
    return true;
}

bool IsZip(const std::string &bytes) {
    return bytes.compare(0, 4, "PK\x03\x04") == 0 || bytes.compare(0, 4, "PK\x05\x06") == 0;
}

bool OpenContainer(const fs::path &input, const fs::path &scratch, const InputLimits &limits,
                   OpenedMachine &opened, std::string &error) {
    std::string bytes;
    if (!ReadWhole(input, std::max<std::uint64_t>(limits.totalBytes, fat::kMaxImageBytes), "file",
                   bytes, error))
        return false;
    std::vector<Node> root;
    const char *what, *on; // what the container is, as the report and as a refusal name it
    if (IsZip(bytes)) {
        opened.kind = InputKind::Zip;
        what = on = "zip archive";
        if (!ReadZip(bytes, limits, root, error)) return false;
    } else {
        opened.kind = InputKind::Image;
        what = "disk image";
        on = "image";
        if (bytes.size() > fat::kMaxImageBytes) {
            error = "a disk image of " + std::to_string(bytes.size()) + " bytes: more than 32 MiB";
            return false;
        }
        fat::Volume volume;
        if (!fat::ReadImage(bytes, volume, error)) return false;
        opened.label = volume.label;
        root = std::move(volume.root);
    }
    bytes = std::string();
    const std::vector<Node> *found = nullptr;
    if (!FindMachine(root, on, found, opened.folder, error)) return false;
    // What the preview reads must name its entries as Windows would; the rest
    // of the volume only has to be sound.
    if (!CheckNames(*found, opened.folder.empty() ? "" : "\\" + opened.folder, error)) return false;
    opened.where =
        "Read from " +
        (opened.folder.empty() ? std::string("the root") : "the folder " + opened.folder) +
        " of the " + what + (opened.label.empty() ? "" : " labelled " + opened.label);
    opened.dir = scratch / "machine";
    return Unpack(*found, opened.dir, "", opened, error);
}

} // namespace

bool IsContainer(const fs::path &path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool OpenMachine(const fs::path &input, const fs::path &scratch, const InputLimits &limits,
                 OpenedMachine &opened, std::string &error) {
    opened = OpenedMachine{};
    InputError refused;
    if (!IsContainer(input)) {
        opened.dir = input;
        if (CheckMachineFolder(input, refused, limits)) return true;
        error = refused.Text();
        return false;
    }
    if (!OpenContainer(input, scratch, limits, opened, error)) return false;
    if (CheckMachineFolder(opened.dir, refused, limits)) return true;
    error = refused.Text();
    return false;
}

} // namespace simio
