// The simulator's own folders in the host's temporary folder: the unpacked
// input and the run's drive C:. They go when the run ends, however it ends,
// an interrupt or a termination included.
#pragma once

#include <filesystem>
#include <string>

namespace simio {

class TemporaryDir {
  public:
    TemporaryDir() = default;
    TemporaryDir(const TemporaryDir &) = delete;
    TemporaryDir &operator=(const TemporaryDir &) = delete;
    ~TemporaryDir();

    // Makes a new folder in $TMPDIR (or /tmp). False, with a sentence that
    // says what to do, when there is no such folder or it cannot be written.
    bool Make(std::string &error);
    const std::filesystem::path &path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// From now on SIGINT, SIGTERM and SIGHUP remove every TemporaryDir still made
// before the process ends with the signal's exit status (128 + its number).
void RemoveTemporaryDirsOnSignals();

} // namespace simio
