// Everything uninstall-sim's report says, as data: the machine, the notes on
// how it was read, what the run changed, and what was written. The same
// report is printed in words (RenderText) or as one JSON document
// (RenderJson), so that the page and scripts need not read English.
#pragma once

#include "changes.h"
#include "machine_dir.h"
#include "state.h"

#include "platform/sim/machine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simio {

// Why a run only previews the machine, never changing it.
enum class Preview { None, Capture, Image, Zip };

struct MachineFacts {
    std::string platform; // "Windows 9x", "Windows NT", ...
    unsigned major = 0, minor = 0, build = 0;
    std::string servicePack, windowsDirectory;
};

// What an undo kit holds, as its report line says.
struct KitSummary {
    enum Form { Folder, Image, Zip };
    std::string where; // as given on the command line
    Form form = Folder;
    size_t keys = 0, values = 0, files = 0;
    size_t attributes = 0; // files whose only change was their attributes
    size_t removed = 0;    // files and folders the run made, which the kit deletes
    bool nothing = false;  // the run changed nothing of the package
};

struct Report {
    std::string input; // the machine as named on the command line
    Preview preview = Preview::None;
    std::optional<MachineFacts> machine; // once it was read
    std::vector<Note> notes;
    // Once the program ran:
    std::optional<int> exitCode;
    std::uint64_t calls = 0; // Windows calls it made
    std::vector<Change> changes;
    std::vector<std::string> readOutside; // keys read that the capture did not try
    bool dryRun = false;
    bool nothingToUndo = false;
    std::optional<std::string> result; // the folder --result wrote
    std::optional<KitSummary> kit;     // what --undo wrote
};

// Filled in the order a run learns things, so that a refusal part way can
// still print what was known: the input, then the machine `m` as read with
// the reader's `notes`, then the run.
Report MakeReport(const std::string &input, Preview preview);
void AddMachine(Report &report, const sim::Machine &m, const std::vector<Note> &notes);

// Adds what the run did: its changes between the two states, its exit code
// and the number of calls `m` counted.
void AddRun(Report &report, const sim::Machine &m, const MachineState &before,
            const MachineState &after, int exitCode);

// The words uninstall-sim prints, machine text escaped by sim::Printable.
std::string RenderText(const Report &report);

// One JSON document, pretty-printed, ending in a newline (see README.md,
// "The report as JSON").
std::string RenderJson(const Report &report);

// The kit's line of the report, unescaped but for its path.
std::string KitLine(const KitSummary &kit);


} // namespace simio
