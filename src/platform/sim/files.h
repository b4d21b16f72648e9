// The simulated file system: each drive is a real host directory. Names are
// looked up without regard to case; attributes and locks held by other
// processes are kept beside the files, as Windows keeps them in the volume.
#pragma once

#include "platform/sim/registry.h"
#include "platform/sim/win32_types.h"

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace sim {

struct ResolvedPath {
    std::filesystem::path host; // where the entry is, or would be
    std::string windows;        // C:\WINDOWS\inf\x.inf, in the case found on disk
    bool exists = false;
    bool directory = false;
};

class FileSystem {
  public:
    void MapDrive(char letter, std::filesystem::path hostRoot);
    const std::map<char, std::filesystem::path> &Drives() const { return drives_; }

    // Resolves a full path ("C:\A\B"), a path from the root of drive C
    // ("\A\B") or a path relative to C:\. '/' counts as '\', "." and ".."
    // are folded. Returns ERROR_SUCCESS when the parent directory exists
    // (the entry itself may not), ERROR_PATH_NOT_FOUND otherwise, or
    // ERROR_INVALID_NAME for wildcards and characters Windows forbids.
    DWORD Resolve(std::string_view path, ResolvedPath &out) const;

    // Attributes as Windows reports them: directories 0x10, files without a
    // recorded attribute ARCHIVE (what a newly created file gets).
    DWORD AttributesOf(const ResolvedPath &entry) const;
    void SetAttributes(const std::string &windowsPath, DWORD attributes);
    void ForgetAttributes(const std::string &windowsPath);
    const std::map<std::string, DWORD, CaseLess> &RecordedAttributes() const { return attributes_; }

    // Files that another process holds open without sharing.
    std::set<std::string, CaseLess> lockedByOthers;

    // Minutes to subtract from UTC to get local time (Windows' bias).
    long timeZoneBias = 0;

  private:
    std::map<char, std::filesystem::path> drives_;
    std::map<std::string, DWORD, CaseLess> attributes_;
};

// FILETIME <-> host time (seconds since 1970).
FILETIME FileTimeFromUnix(long long seconds, long nanoseconds = 0);
long long UnixFromFileTime(const FILETIME &time);

} // namespace sim
