// The simulated machine as a run may change it: its keys, values, files and
// windows, taken before and after the run.
#pragma once

#include "platform/sim/machine.h"

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace simio {

struct FileState {
    std::string bytes;
    DWORD attributes = 0;
    std::time_t modified = 0; // last write, seconds since 1970
};

// All a run may change, values and bytes themselves: an undo kit is made
// from two of these, and the report from their snapshots.
struct MachineState {
    using Values = sim::RegValues;
    std::map<std::string, Values, sim::CaseLess> keys;     // full key path -> its values
    std::map<std::string, FileState, sim::CaseLess> files; // Windows path
    std::set<std::string, sim::CaseLess> folders;          // Windows path
    std::vector<std::string> windows;                      // titles of open windows
    // Full key path -> the same as NT holds it, for keys whose names hold
    // text the ANSI path lost.
    std::map<std::string, std::u16string, sim::CaseLess> widePaths;
};

MachineState CaptureState(const sim::Machine &m);

// A run watched through the registry's journal, for a registry of any size: its states
// hold the keys it changed, made or deleted, their parents up to the root and the trees of
// the keys up to two levels above them (all that a report and an undo kit look at around a
// change), taken from the journal before and from the registry after, and every file. Of
// what a run changes, they say what CaptureState's would.
class RunWatch {
  public:
    explicit RunWatch(sim::Machine &m);
    ~RunWatch() { m_.registry.Keep(nullptr); }
    RunWatch(const RunWatch &) = delete;
    RunWatch &operator=(const RunWatch &) = delete;

    MachineState Before() const;
    MachineState After() const;

  private:
    std::set<std::string, sim::CaseLess> Around() const;

    sim::Machine &m_;
    sim::RegJournal journal_;
    MachineState files_; // the files, folders and windows as they were
};

struct Snapshot {
    // Key path -> value name -> value text ("" names the default value).
    std::map<std::string, std::map<std::string, std::string>> keys;
    // Windows path -> size and content digest, and attributes.
    std::map<std::string, std::string> files;
    std::map<std::string, DWORD> attributes;
};

// What the report compares: each key's values as text, each file's size and
// digest, and its attributes.
Snapshot TakeSnapshot(const MachineState &state);
Snapshot TakeSnapshot(const sim::Machine &m);

} // namespace simio
