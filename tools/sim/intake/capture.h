// A capture of a real Windows 98 or 2000 machine, as tools/capture.bat writes
// it: machine.txt without a version line, ver.txt, attrib.txt, captured.txt,
// the Windows directory's files in windir/ and regedit exports joined into
// registry.reg. What reading one needs beyond an ordinary machine folder.
#pragma once

#include "reg_file.h"

#include "platform/sim/calls.h"
#include "platform/sim/machine.h"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace simio {

// The version record of a machine whose machine.txt gives none: from the
// registry's version values if it has them, else from the output of `ver`
// (`verText`, null when there is no ver.txt), which lacks the service pack:
// Windows 2000's then comes from the number CSDVersion in the registry.
bool VersionFromCapture(const sim::Registry &registry, const std::string &registryFile,
                        const std::string *verText, const std::string &verFile,
                        sim::VersionRecord &version, InputError &error);

// SystemRoot under either CurrentVersion key, the one of the platform first;
// "" when neither has one.
std::string SystemRootFromRegistry(const sim::Registry &registry, bool nt);

// The Windows directory as a host path below the root of drive C:. False,
// with the reason, when it is on another drive or not a plain path.
bool BelowDriveC(const std::string &windowsDirectory, std::filesystem::path &relative,
                 std::string &message);

// Sets the attributes that attrib printed, one file a line, on the files of
// `files` that it names; lines naming a file that is not there are skipped.
bool ApplyAttribFile(const std::string &text, const std::string &fileName, sim::FileSystem &files,
                     InputError &error);

// Windows 98: every device under HKLM\Enum that no node of the live device
// tree (HKEY_DYN_DATA\Config Manager\Enum) names becomes absent. False, and
// nothing changed, when the registry holds no such tree.
bool MarkAbsentDevices(sim::Machine &m);

// The keys of captured.txt or tried.txt, one a line, as written or in
// double quotes.
bool ReadCapturedKeys(const std::string &text, const std::string &fileName,
                      std::vector<std::string> &keys, InputError &error);

// Watches a run's calls for registry keys the program reads that the capture
// did not export, where the simulated machine can only answer from what it
// has. Below a captured key all is known; a key above captured keys may be
// opened and enumerated on the way to them, but its values are not known.
class CaptureReads {
  public:
    // `enumRoot`: the key the device installer lists its devices from.
    CaptureReads(const std::vector<std::string> &captured, const std::string &enumRoot);

    void Observe(const sim::CallRecord &call);
    // The keys read outside the capture, HKLM\... as the program named
    // them, in the order first read.
    const std::vector<std::string> &Keys() const { return keys_; }

  private:
    void Read(const std::string &path, bool whole);
    bool Canonical(const std::string &path, std::string &out) const;

    sim::Registry roots_; // for the names of the roots
    std::string enumRoot_;
    std::set<std::string> captured_, above_, reported_;
    std::vector<std::string> keys_;
};

} // namespace simio
