#include "state.h"

#include "platform/sim/registry.h"

#include <fstream>
#include <functional>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace simio {

namespace {

void AddKeys(const sim::RegKey &key, MachineState &s) {
    s.keys[key.Path()] = MachineState::Values(key.values.begin(), key.values.end());
    if (key.PathLost()) s.widePaths[key.Path()] = key.WidePath();
    for (const auto &entry : key.subkeys)
        AddKeys(*entry.second, s);
}

void AddFiles(const sim::Machine &m, const fs::path &host, const std::string &windows,
              MachineState &s) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(host, ec)) {
        std::string path = windows + "\\" + entry.path().filename().string();
        if (entry.is_directory()) {
            s.folders.insert(path);
            AddFiles(m, entry.path(), path, s);
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        FileState &file = s.files[path];
        file.bytes.assign(std::istreambuf_iterator<char>(in), {});
        sim::ResolvedPath resolved;
        m.files.Resolve(path, resolved);
        file.attributes = m.files.AttributesOf(resolved);
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0) file.modified = st.st_mtime;
    }
}

} // namespace

MachineState CaptureState(const sim::Machine &m) {
    MachineState s;
    for (const auto &root : m.registry.Roots())
        AddKeys(*root, s);
    for (const auto &[letter, host] : m.files.Drives())
        AddFiles(m, host, std::string(1, letter) + ":", s);
    for (const auto &w : m.windows)
        if (w.open) s.windows.push_back(w.title);
    return s;
}

Snapshot TakeSnapshot(const MachineState &state) {
    Snapshot s;
    for (const auto &[path, values] : state.keys) {
        if (path.find('\\') == std::string::npos) continue; // a root key
        auto &texts = s.keys[path];
        for (const auto &entry : values)
            texts[entry.second.name] = sim::ValueText(entry.second);
    }
    for (const auto &[path, file] : state.files) {
        s.files[path] = std::to_string(file.bytes.size()) + " bytes, digest " +
                        std::to_string(std::hash<std::string>{}(file.bytes));
        s.attributes[path] = file.attributes;
    }
    return s;
}

Snapshot TakeSnapshot(const sim::Machine &m) {
    return TakeSnapshot(CaptureState(m));
}

} // namespace simio
