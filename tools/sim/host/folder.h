// A machine folder on disk, read as untrusted input: it may come from anyone.
// Only folders and plain files of one name each are taken, nothing outside
// the folder is ever read or written, and a save replaces the whole folder
// in one step.
#pragma once

#include "reg_file.h"
#include "tree.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

namespace simio {

// A folder is held to the bounds of any input.
using FolderLimits = InputLimits;

// Refuses, naming the path: symbolic links (whatever they point at), files
// with more than one name (hard links), FIFOs, sockets and devices, more than
// the limits, and below drive_c or a capture's windir names that Windows
// could not hold (reserved device names, characters it forbids, a trailing
// dot or blank, two names that differ only in case).
bool CheckMachineFolder(const std::filesystem::path &dir, InputError &error,
                        const FolderLimits &limits = {});

// The entry of `dir` that Windows would find for `name`, whatever its case, or
// dir / name when there is none: a capture copied off a FAT disk may have its
// names in capitals.
std::filesystem::path EntryNoCase(const std::filesystem::path &dir, const std::string &name);

// Called before each step of a save that changes the disk, with its name.
using SaveObserver = std::function<void(const std::string &step)>;

// Copies a checked tree into `to`, which must not exist: new files with the
// same bytes, permissions and last-write times. Refuses anything but folders
// and plain files, never following a link. With `durable`, everything is on
// disk when it returns.
bool CopyTree(const std::filesystem::path &from, const std::filesystem::path &to, bool durable,
              std::string &error, const SaveObserver &observe = {});

// Sets the last-write time of `path` (seconds since 1970, UTC).
bool SetModified(const std::filesystem::path &path, std::time_t modified, std::string &error);

// Writes `bytes` to the new file `path` and flushes it to disk.
bool WriteNewFile(const std::filesystem::path &path, const std::string &bytes, std::string &error,
                  const SaveObserver &observe = {});

// Fills a folder for the caller.
using FolderFill = std::function<bool(const std::filesystem::path &into, std::string &error)>;

// How BuildFolder names its work and puts the new folder in place.
struct FolderBuild {
    const char *work = "saving"; // the new folder is ".NAME.WORK-XXXXXX" beside the target
    // True: one rename exchanges the new folder with the existing target,
    // whose old content then goes. False: rename() takes the target's place
    // only where there is none or an empty folder, so that one that filled
    // up, or became a link, since it was checked is still refused.
    bool exchange = false;
    // What the error says, after the path and before the system's reason.
    const char *cannotMake = "cannot make a folder";
    const char *cannotPlace = "cannot put the folder there";
};

// Builds `target` in one step: `fill` fills a fresh folder beside it, which
// is flushed to disk and then renamed into place, so that `target` is
// either as it was or complete whatever stops the build. On any failure the
// fresh folder is removed.
bool BuildFolder(const std::filesystem::path &target, const FolderBuild &how,
                 const FolderFill &fill, std::string &error, const SaveObserver &observe = {});

// Replaces `dir` with a folder that `fill` builds beside it, in one step
// (BuildFolder, exchanging the two). Entries of `dir` that `keep` accepts
// are copied over first.
bool ReplaceFolder(const std::filesystem::path &dir,
                   const std::function<bool(const std::string &name)> &keep, const FolderFill &fill,
                   std::string &error, const SaveObserver &observe = {});

} // namespace simio
