#include "kit_zip.h"

#include "folder.h"
#include "windows_name.h"
#include "zip.h"

#include <map>

namespace fs = std::filesystem;

namespace simio {

bool IsZipName(const std::string &path) {
    return path.size() > 4 && UpperAscii(path.substr(path.size() - 4)) == ".ZIP";
}

bool WriteUndoKitZip(const UndoKit &kit, const fs::path &path, std::string &error) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) {
        error = path.string() + " exists; give the name of a new zip";
        return false;
    }
    std::vector<ZipEntry> entries = {{"undo.bat", kit.bat, kit.made, false},
                                     {"undo.reg", kit.reg, kit.made, false},
                                     {"README.txt", kit.readme, kit.made, false}};
    if (!kit.files.empty()) {
        entries.push_back({"files", "", kit.made, true});
        // files/1, files/2, ... in the order of their numbers, as undo.bat takes them.
        std::map<unsigned long, const FileState *> numbered;
        for (const auto &[name, state] : kit.files)
            numbered[std::stoul(name.substr(name.find('/') + 1))] = &state;
        for (const auto &[number, state] : numbered)
            entries.push_back(
                {"files/" + std::to_string(number), state->bytes, state->modified, false});
    }
    std::string bytes;
    if (!WriteZip(entries, bytes, error)) {
        error = path.string() + ": " + error;
        return false;
    }
    return WriteNewFile(path, bytes, error);
}

} // namespace simio
