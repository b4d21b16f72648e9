// An undo kit: what a support engineer needs to put a real machine back as
// it was before the uninstaller ran on it, worked out from the simulated
// machine's states before and after a run (never from the calls made, so
// that it holds whatever the program did).
//   undo.reg    what regedit /s imports: REGEDIT4 for Windows 98, UTF-16 for NT
//   files\      the earlier bytes and dates of every file the run deleted or changed
//   undo.bat    copies them back, sets their attributes, imports undo.reg and checks it
//   README.txt  the same in words, and what the kit cannot give back
#pragma once

#include "machine_dir.h"
#include "report.h"

#include "platform/sim/machine.h"

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace simio {

struct UndoKit {
    std::string reg, bat, readme;
    // Path inside the kit ("files/1") -> earlier bytes and date.
    std::map<std::string, FileState> files;
    size_t keys = 0;       // keys undo.reg makes again, subkeys counted
    size_t values = 0;     // values it sets back or removes
    size_t attributes = 0; // files whose only change was their attributes
    size_t removed = 0;    // files and folders the run made, which undo.bat deletes
    bool nothing = false;  // the run changed nothing of the package
    // The date of the kit's own files: that of the machine's registry.reg, when the
    // capture was made, so that the same capture always gives the same kit.
    std::time_t made = 0;
};

inline constexpr const char *kNothingToUndo =
    "the package was not found on this machine: there is nothing to undo";

// From the states CaptureState took before and after a run. `m` gives the Windows version and
// directory the texts speak of, `info` what the machine folder could not tell.
UndoKit MakeUndoKit(const sim::Machine &m, const MachineDir &info, const MachineState &before,
                    const MachineState &after);

// Empty when `dir` may take a kit: a path that does not exist yet or an
// empty folder, outside the machine folder. Otherwise why not.
std::string RefuseUndoDir(const std::filesystem::path &dir,
                          const std::filesystem::path &machineDir);

// Builds the kit beside `dir` and moves it there in one step, so that a
// failure leaves nothing behind.
bool WriteUndoKit(const UndoKit &kit, const std::filesystem::path &dir, std::string &error);

// Where the kit was written (as given) and what it holds, for the report.
KitSummary SummarizeUndoKit(const UndoKit &kit, const std::string &where,
                            KitSummary::Form form = KitSummary::Folder);

} // namespace simio
