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

bool IsImageName(const std::string &path) {
    return path.size() > 4 && UpperAscii(path.substr(path.size() - 4)) == ".IMG";
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

bool WriteUndoKitImage(const UndoKit &kit, const fs::path &path, std::string &error) {
    fat::Volume volume;
    volume.label = "UNDOKIT";
    volume.made = kit.made;
    auto file = [&kit](const std::string &name, const std::string &bytes) {
        fat::Node node;
        node.name = name;
        node.bytes = bytes;
        node.modified = kit.made;
        node.attributes = fat::kArchive;
        return node;
    };
    volume.root = {file("undo.bat", kit.bat), file("undo.reg", kit.reg),
                   file("README.txt", kit.readme)};
    if (!kit.files.empty()) {
        fat::Node folder;
        folder.name = "files";
        folder.attributes = fat::kDirectory;
        folder.modified = kit.made;
        // files/1, files/2, ... in the order of their numbers, as undo.bat takes them.
        std::map<unsigned long, const std::pair<const std::string, FileState> *> numbered;
        for (const auto &entry : kit.files)
            numbered[std::stoul(entry.first.substr(entry.first.find('/') + 1))] = &entry;
        for (const auto &[number, entry] : numbered) {
            folder.children.push_back(file(std::to_string(number), entry->second.bytes));
            folder.children.back().modified = entry->second.modified;
        }
        volume.root.push_back(std::move(folder));
    }
    // The serial number tells Windows that another floppy is in the drive: one from the
    // kit's bytes (FNV-1a) differs between kits and stays the same for the same kit.
    std::uint32_t hash = 2166136261u;
    auto mix = [&hash](const std::string &bytes) {
        for (unsigned char c : bytes)
            hash = (hash ^ c) * 16777619u;
    };
    mix(kit.bat);
    mix(kit.reg);
    mix(kit.readme);
    for (const auto &entry : kit.files)
        mix(entry.second.bytes);
    volume.serial = hash;
    std::string image;
    if (!fat::WriteFloppy(volume, image, error)) {
        error = path.string() + ": the kit does not fit: " + error +
                "; write it as a folder instead (--undo KIT)";
        return false;
    }
    return WriteNewFile(path, image, error);
}

} // namespace simio
