#include "machine_dir.h"

#include "capture.h"
#include "machine_file.h"
#include "undo_bat.h"

#include <set>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace simio {

namespace {

// A regular file, opened never through a link, even one made after the folder was checked.
class InputFile {
  public:
    explicit InputFile(const fs::path &path)
        : fd_(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
        size_ = static_cast<size_t>(st.st_size);
    }
    ~InputFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    // Opened, and read to its end without a fault so far.
    bool Good() const { return fd_ >= 0 && !failed_; }
    size_t Size() const { return size_; }
    size_t Read(char *to, size_t most) {
        ssize_t n = Good() ? ::read(fd_, to, most) : -1;
        failed_ = n < 0;
        return n > 0 ? static_cast<size_t>(n) : 0;
    }

  private:
    int fd_;
    size_t size_ = 0;
    bool failed_ = false;
};

bool ReadBytes(const fs::path &path, std::string &bytes) {
    InputFile file(path);
    if (!file.Good()) return false;
    bytes.clear();
    bytes.reserve(file.Size());
    char buffer[1 << 16];
    while (size_t n = file.Read(buffer, sizeof buffer))
        bytes.append(buffer, n);
    return file.Good();
}

// The copy of a capture's windir/ never goes into the machine folder itself.
bool OutsideOf(const fs::path &path, const fs::path &dir) {
    std::error_code ec;
    fs::path relative = fs::absolute(path, ec).lexically_normal().lexically_relative(
        fs::absolute(dir, ec).lexically_normal());
    return !relative.empty() && *relative.begin() == "..";
}

// The attributes a container's entries hold, by path in the machine folder
// ("windir\inf\x.inf"). Set where nothing records the machine's own
// (`recorded` false); a capture's are unknown without attrib.txt, whatever a
// floppy's copies carry. Where a record wins, a difference becomes a note.
bool EntryAttributes(sim::Machine &m, MachineDir &info, const std::map<std::string, DWORD> &entries,
                     bool recorded, const char *record) {
    std::vector<std::string> differ;
    for (const auto &[path, bits] : entries) {
        size_t slash = path.find('\\');
        std::string top = path.substr(0, slash),
                    rest = slash == std::string::npos ? "" : path.substr(slash);
        sim::ResolvedPath entry;
        std::string windows = sim::EqualNoCase(top, "windir")    ? m.windowsDirectory + rest
                              : sim::EqualNoCase(top, "drive_c") ? "C:" + rest
                                                                 : "";
        if (windows.empty() || rest.empty() || m.files.Resolve(windows, entry) != 0 ||
            !entry.exists)
            continue;
        const DWORD held = bits ? bits : FILE_ATTRIBUTE_NORMAL, shown = 0x27; // R, H, S, A
        const DWORD machine = m.files.AttributesOf(entry);
        if (!recorded && sim::EqualNoCase(top, "drive_c"))
            m.files.SetAttributes(entry.windows, held);
        else if (recorded && (machine & shown) != (held & shown))
            differ.push_back(entry.windows + ": " + AttributeWords(machine) + " in " + record +
                             ", " + AttributeWords(held) + " in the container");
    }
    if (!differ.empty()) {
        std::string note = "The container's entries hold other attributes than " +
                           std::string(record) + " for " + std::to_string(differ.size()) +
                           (differ.size() == 1 ? " file" : " files") + " (";
        for (size_t i = 0; i < differ.size(); ++i)
            note += (i ? "; " : "") + differ[i];
        info.notes.push_back(
            {"attributes-differ", note + "): " + record + ", the machine's record, is taken"});
    }
    return true;
}
} // namespace

namespace {

// machine.txt and registry.reg, and what a capture says of its version.
bool ReadMachineFiles(const fs::path &dir, sim::Machine &m, MachineDir &info, InputError &error) {
    std::string text;
    fs::path machineFile = EntryNoCase(dir, "machine.txt");
    if (!ReadBytes(machineFile, text)) {
        error = {machineFile.string(), 0, "missing machine file"};
        return false;
    }
    if (!ReadMachineFile(text, machineFile.string(), m, info, error)) return false;
    // Read as it is parsed: a registry of any size is not held twice.
    fs::path registryFile = EntryNoCase(dir, "registry.reg");
    InputFile registry(registryFile);
    bool read = registry.Good() &&
                ReadRegFile([&](char *to, size_t most) { return registry.Read(to, most); },
                            registryFile.string(), m.registry, info.registryFormat, error);
    if (!registry.Good()) {
        error = {registryFile.string(), 0, "missing registry file"};
        return false;
    }
    if (!read) return false;
    struct stat st {};
    if (::stat(registryFile.c_str(), &st) == 0) info.registryTime = st.st_mtime & ~std::time_t{1};
    // A capture's machine.txt has no version line: the version, and the
    // Windows directory unless it names one, come from the rest of the folder.
    if (info.versionGiven) return true;
    fs::path verFile = EntryNoCase(dir, "ver.txt");
    bool ver = ReadBytes(verFile, text);
    if (!VersionFromCapture(m.registry, registryFile.string(), ver ? &text : nullptr,
                            verFile.string(), m.version, error))
        return false;
    if (info.windowsDirectoryLine) return true;
    m.windowsDirectory = SystemRootFromRegistry(m.registry, !m.IsWin9x());
    if (!m.windowsDirectory.empty()) return true;
    error = {machineFile.string(), 0,
             "no windows-directory line, and no SystemRoot in the registry"};
    return false;
}

// A capture has the Windows directory's files in windir/ and no drive_c/:
// they go to their place on a new drive C:. A save then writes drive_c/.
bool PlaceWindir(const fs::path &dir, const fs::path &driveRoot, const sim::Machine &m,
                 const MachineDir &info, bool &fromWindir, InputError &error) {
    std::error_code ec;
    fs::path windir = EntryNoCase(dir, "windir");
    fromWindir = !fs::exists(EntryNoCase(dir, "drive_c"), ec) && fs::is_directory(windir, ec) &&
                 !fs::exists(driveRoot, ec) && OutsideOf(driveRoot, dir);
    if (fromWindir) {
        fs::path below;
        std::string message;
        if (!BelowDriveC(m.windowsDirectory, below, message)) {
            error = {EntryNoCase(dir, info.windowsDirectoryLine ? "machine.txt" : "registry.reg")
                         .string(),
                     info.windowsDirectoryLine, message};
            return false;
        }
        fs::path target = below.empty() ? driveRoot : driveRoot / below;
        fs::create_directories(target.parent_path(), ec);
        if (!CopyTree(windir, target, false, message)) {
            error = {windir.string(), 0, message};
            return false;
        }
    }
    if (fs::is_directory(driveRoot, ec)) return true;
    error = {(dir / "drive_c").string(), 0,
             "missing folder for drive C: (drive_c, or a capture's windir)"};
    return false;
}

// The files' attributes: machine.txt's, a capture's attrib.txt, a container's entries.
bool ApplyAttributes(const fs::path &dir, bool fromWindir, sim::Machine &m, MachineDir &info,
                     const std::map<std::string, DWORD> &entryAttributes, InputError &error) {
    // Paths the machine file names must name entries on the drive; they are
    // kept in the case found on disk.
    auto recorded = m.files.RecordedAttributes();
    for (const auto &[path, bits] : recorded) {
        sim::ResolvedPath entry;
        if (m.files.Resolve(path, entry) || !entry.exists) {
            error = {EntryNoCase(dir, "machine.txt").string(), 0, "attributes: no file " + path};
            return false;
        }
        m.files.ForgetAttributes(path);
        m.files.SetAttributes(entry.windows, bits);
    }
    // Only beside windir/: once saved, machine.txt holds the attributes as a
    // run left them.
    std::string text;
    fs::path attribFile = EntryNoCase(dir, "attrib.txt");
    bool attrib = fromWindir && ReadBytes(attribFile, text);
    if (attrib && !ApplyAttribFile(text, attribFile.string(), m.files, error)) return false;
    // A capture's attrib.txt, or a machine file's attributes lines, are the
    // machine's record: a container's entry bits count only where there is none.
    if (!EntryAttributes(m, info, entryAttributes, fromWindir ? attrib : !recorded.empty(),
                         fromWindir ? "attrib.txt" : "machine.txt"))
        return false;
    if (fromWindir && !attrib) {
        info.attributesKnown = false;
        info.notes.push_back({"attributes-unknown",
                              "No attrib.txt: the files' attributes are unknown, so the preview "
                              "takes each file as archive only",
                              true});
    }
    return true;
}

// A capture's captured.txt and tried.txt, and Windows 98's live device tree.
bool ReadCaptureLists(const fs::path &dir, sim::Machine &m, MachineDir &info, InputError &error) {
    std::string text;
    fs::path capturedFile = EntryNoCase(dir, "captured.txt");
    info.capturedList = ReadBytes(capturedFile, text);
    if (info.capturedList &&
        !ReadCapturedKeys(text, capturedFile.string(), info.capturedKeys, error))
        return false;
    // A key tried and not exported is one the machine does not have: known too.
    fs::path triedFile = EntryNoCase(dir, "tried.txt");
    if (info.capturedList && ReadBytes(triedFile, text)) {
        if (!ReadCapturedKeys(text, triedFile.string(), info.triedKeys, error)) return false;
        std::set<std::string, sim::CaseLess> exported(info.capturedKeys.begin(),
                                                      info.capturedKeys.end());
        for (const std::string &key : info.triedKeys)
            if (exported.insert(key).second) info.capturedKeys.push_back(key);
    }
    if (m.IsWin9x() && !MarkAbsentDevices(m) && info.capturedList)
        info.notes.push_back({"no-live-device-tree",
                              "Every device under HKLM\\Enum counts as present: the capture has "
                              "no HKEY_DYN_DATA\\Config Manager\\Enum",
                              true});
    return true;
}

} // namespace

bool LoadMachine(const fs::path &dir, const fs::path &driveRoot, sim::Machine &m, MachineDir &info,
                 InputError &error, const std::map<std::string, DWORD> &entryAttributes) {
    info = MachineDir{};
    info.dir = dir;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = {dir.string(), 0, "no such machine directory"};
        return false;
    }
    bool fromWindir = false;
    if (!ReadMachineFiles(dir, m, info, error) ||
        !PlaceWindir(dir, driveRoot, m, info, fromWindir, error))
        return false;
    m.files.MapDrive('C', driveRoot);
    if (!ApplyAttributes(dir, fromWindir, m, info, entryAttributes, error)) return false;
    sim::ResolvedPath windows;
    if (m.files.Resolve(m.windowsDirectory, windows) || !windows.directory) {
        error = {EntryNoCase(dir, "machine.txt").string(), 0,
                 "the Windows directory " + m.windowsDirectory + " is not a folder under drive_c"};
        return false;
    }
    return ReadCaptureLists(dir, m, info, error);
}

bool ApplyModifiedTimes(const sim::Machine &m, const MachineDir &info, InputError &error) {
    for (const auto &[path, when] : info.modified) {
        sim::ResolvedPath entry;
        std::time_t t = 0;
        ParseMachineTime(when, t);
        if (m.files.Resolve(path, entry) || !entry.exists) {
            error = {EntryNoCase(info.dir, "machine.txt").string(), 0, "modified: no file " + path};
            return false;
        }
        std::string why;
        if (!SetModified(entry.host, t, why)) {
            error = {EntryNoCase(info.dir, "machine.txt").string(), 0,
                     "modified: cannot set the time of " + path};
            return false;
        }
    }
    return true;
}

} // namespace simio
