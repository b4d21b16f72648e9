#include "report.h"

#include "platform/sim/printable.h"

namespace simio {

namespace {

const char *PlatformName(DWORD id) {
    switch (id) {
    case VER_PLATFORM_WIN32s:
        return "Win32s";
    case VER_PLATFORM_WIN32_WINDOWS:
        return "Windows 9x";
    case VER_PLATFORM_WIN32_NT:
        return "Windows NT";
    default:
        return "unknown platform";
    }
}

// The notes the machine folder's reader writes, told by their words.
struct NoteRule {
    const char *words;
    bool prefix; // else anywhere
    const char *kind;
    bool warning;
};
const NoteRule kNoteRules[] = {
    {"Read from ", true, "read-from", false},
    {"counts as present", false, "no-live-device-tree", true},
    {"No attrib.txt", true, "attributes-unknown", true},
    {"The container's entries hold other attributes than ", true, "attributes-differ", false},
};

} // namespace

Note ClassifyNote(const std::string &text) {
    for (const NoteRule &rule : kNoteRules) {
        size_t at = text.find(rule.words);
        if (rule.prefix ? at == 0 : at != std::string::npos) return {rule.kind, text, rule.warning};
    }
    return {"note", text, false};
}

Report MakeReport(const std::string &input, Preview preview) {
    Report r;
    r.input = input;
    r.preview = preview;
    return r;
}

void AddMachine(Report &report, const sim::Machine &m, const std::vector<std::string> &notes) {
    const sim::VersionRecord &v = m.version;
    report.machine = MachineFacts{
        PlatformName(v.platformId), v.major, v.minor, v.build, v.servicePack, m.windowsDirectory};
    for (const std::string &note : notes)
        report.notes.push_back(ClassifyNote(note));
}

void AddRun(Report &report, const sim::Machine &m, const MachineState &before,
            const MachineState &after, int exitCode) {
    report.changes = ListChanges(m, TakeSnapshot(before), TakeSnapshot(after), &before, &after);
    report.exitCode = exitCode;
    report.calls = m.calls.Count();
}

std::string DescribeChanges(const sim::Machine &m, const Snapshot &before, const Snapshot &after,
                            const MachineState *stateBefore, const MachineState *stateAfter) {
    std::string out;
    for (const Change &c : ListChanges(m, before, after, stateBefore, stateAfter))
        for (const std::string &line : ChangeLines(c))
            out += sim::Printable(line) + "\n";
    return out;
}

} // namespace simio
