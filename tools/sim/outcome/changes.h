// What a run changed on the simulated machine, one change at a time, as the
// report gives it in words and as JSON.
#pragma once

#include "state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simio {

// A line of a text file that kept its number of lines (as a patched line does).
struct ChangedLine {
    size_t number = 0; // from 1
    std::string before, after;
};

struct Change {
    enum Kind {
        MessageBox,
        Started,
        RemovedProduct,
        RemovedDevice,
        DeletedKey,
        CreatedKey,
        SetValue,
        DeletedValue,
        DeletedFile,
        ChangedFile,
        CreatedFile,
        Attributes,
        ClosedWindow,
    };
    Kind kind = MessageBox;
    std::string key;         // a key's path, HKLM\... for HKEY_LOCAL_MACHINE
    std::string device;      // a removed device's instance ID, below the device tree
    std::string product;     // a removed product's code
    std::string description; // the device's DeviceDesc or the product's DisplayName
    size_t keysBelow = 0;    // keys that went with a removed one
    std::string valueName;   // "" for the default value
    std::optional<std::string> valueBefore, valueAfter; // as sim::ValueText gives them
    std::string path;          // a file's Windows path; the program started
    std::string parameters;    // of the program started
    std::string caption, text; // of a message box
    std::string title;         // of a window closed
    std::optional<std::uint64_t> sizeBefore, sizeAfter;
    std::optional<DWORD> attributesBefore, attributesAfter;
    std::vector<ChangedLine> lines; // of a changed text file, the first three that differ
};

// "deleted-key" and so on.
const char *KindName(Change::Kind kind);

// The changes between two snapshots, in the report's stable order: message
// boxes, programs started, keys gone, keys and values made or changed, files,
// attributes, windows closed. With the states the snapshots were taken of, a
// changed text file carries its changed lines.
std::vector<Change> ListChanges(const sim::Machine &m, const Snapshot &before,
                                const Snapshot &after, const MachineState *stateBefore = nullptr,
                                const MachineState *stateAfter = nullptr);

// The report's lines for one change, before escaping: "Deleted key HKLM\...",
// and for a changed file the changed lines below it.
std::vector<std::string> ChangeLines(const Change &change);

} // namespace simio
