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

} // namespace

Report MakeReport(const std::string &input, Preview preview) {
    Report r;
    r.input = input;
    r.preview = preview;
    return r;
}

void AddMachine(Report &report, const sim::Machine &m, const std::vector<Note> &notes) {
    const sim::VersionRecord &v = m.version;
    report.machine = MachineFacts{
        PlatformName(v.platformId), v.major, v.minor, v.build, v.servicePack, m.windowsDirectory};
    report.notes = notes;
}

void AddRun(Report &report, const sim::Machine &m, const MachineState &before,
            const MachineState &after, int exitCode) {
    report.changes = ListChanges(m, TakeSnapshot(before), TakeSnapshot(after), &before, &after);
    report.exitCode = exitCode;
    report.calls = m.calls.Count();
}


} // namespace simio
