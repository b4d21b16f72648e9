#include "state.h"

#include "platform/sim/registry.h"

#include <fstream>
#include <functional>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace simio {

namespace {

void AddKey(const sim::RegKey &key, MachineState &s) {
    s.keys[key.Path()] = key.values;
    if (key.PathLost()) s.widePaths[key.Path()] = key.WidePath();
}

void AddKeys(const sim::RegKey &key, MachineState &s) {
    AddKey(key, s);
    for (const auto &entry : key.subkeys)
        AddKeys(*entry.second, s);
}

std::string Parent(const std::string &path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? "" : path.substr(0, slash);
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

void AddFilesAndWindows(const sim::Machine &m, MachineState &s) {
    for (const auto &[letter, host] : m.files.Drives())
        AddFiles(m, host, std::string(1, letter) + ":", s);
    for (const auto &w : m.windows)
        if (w.open) s.windows.push_back(w.title);
}

} // namespace

MachineState CaptureState(const sim::Machine &m) {
    MachineState s;
    for (const auto &root : m.registry.Roots())
        AddKeys(*root, s);
    AddFilesAndWindows(m, s);
    return s;
}

RunWatch::RunWatch(sim::Machine &m) : m_(m) {
    AddFilesAndWindows(m, files_);
    m.registry.Keep(&journal_);
}

std::set<std::string, sim::CaseLess> RunWatch::Around() const {
    std::set<std::string, sim::CaseLess> out;
    std::function<void(const sim::RegKey &)> tree = [&](const sim::RegKey &key) {
        out.insert(key.Path());
        for (const auto &entry : key.subkeys)
            tree(*entry.second);
    };
    std::set<std::string, sim::CaseLess> tops;
    for (const auto &[path, was] : journal_) {
        std::string top = path; // the highest key up to two levels above, not a root
        for (int up = 0; up < 2 && !Parent(Parent(top)).empty(); ++up)
            top = Parent(top);
        if (!Parent(top).empty() && tops.insert(top).second)
            if (const sim::RegKey *key = m_.registry.FindPath(top)) tree(*key);
        for (std::string at = path; !at.empty(); at = Parent(at))
            out.insert(at);
    }
    return out;
}

MachineState RunWatch::Before() const {
    MachineState s = files_;
    for (const std::string &path : Around()) {
        auto was = journal_.find(path);
        if (was == journal_.end()) {
            if (const sim::RegKey *key = m_.registry.FindPath(path)) AddKey(*key, s);
        } else if (was->second.existed) {
            s.keys[was->first] = was->second.values;
            if (!was->second.widePath.empty()) s.widePaths[was->first] = was->second.widePath;
        }
    }
    return s;
}

MachineState RunWatch::After() const {
    MachineState s;
    for (const std::string &path : Around())
        if (const sim::RegKey *key = m_.registry.FindPath(path)) AddKey(*key, s);
    AddFilesAndWindows(m_, s);
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
