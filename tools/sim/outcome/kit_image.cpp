#include "kit_image.h"

#include "fat.h"
#include "folder.h"
#include "windows_name.h"

#include <map>

namespace fs = std::filesystem;

namespace simio {

bool IsImageName(const std::string &path) {
    return path.size() > 4 && UpperAscii(path.substr(path.size() - 4)) == ".IMG";
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
