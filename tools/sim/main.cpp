// uninstall-sim: runs the uninstaller's real entry point against a machine
// directory and tells what it changed.
#include "capture.h"
#include "machine_dir.h"
#include "report.h"
#include "undo_kit.h"

#include "app/uninstall.h"
#include "platform/sim/printable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

int Usage() {
    std::fprintf(stderr, "usage: uninstall-sim [--dry-run] [--trace] [--undo DIR] MACHINE_DIR\n"
                         "  --dry-run  change nothing on disk\n"
                         "  --trace    print every Windows call the program makes\n"
                         "  --undo DIR as --dry-run, and write into the new or empty folder DIR\n"
                         "             a kit that puts a real machine back after a real run\n");
    return 2;
}

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

struct TemporaryDir {
    fs::path path;
    TemporaryDir() {
        std::string pattern = (fs::temp_directory_path() / "uninstall-sim-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path = pattern;
    }
    ~TemporaryDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

} // namespace

int main(int argc, char **argv) {
    bool dryRun = false, trace = false;
    const char *dir = nullptr, *undoDir = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dry-run") == 0)
            dryRun = true;
        else if (std::strcmp(argv[i], "--trace") == 0)
            trace = true;
        else if (std::strcmp(argv[i], "--undo") == 0 && i + 1 < argc && !undoDir) {
            undoDir = argv[++i];
            dryRun = true; // the kit is for the real machine; this folder stays as it is
        } else if (argv[i][0] == '-' || dir)
            return Usage();
        else
            dir = argv[i];
    }
    if (!dir) return Usage();

    // A machine folder may come from anyone: it is checked whole before
    // anything of it is read, and the program runs on a copy of drive C:.
    // The folder itself is only replaced after a complete run, in one step,
    // and never with --dry-run.
    std::error_code ec;
    fs::path machineDir = fs::absolute(dir, ec).lexically_normal();
    if (!machineDir.has_filename()) machineDir = machineDir.parent_path();
    simio::InputError error;
    if (!simio::CheckMachineFolder(machineDir, error)) {
        std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(error.Text()).c_str());
        return 2;
    }
    if (undoDir) {
        std::string refused = simio::RefuseUndoDir(undoDir, machineDir);
        if (!refused.empty()) {
            std::fprintf(stderr, "uninstall-sim: --undo: %s; give a new or empty folder\n",
                         sim::Printable(refused).c_str());
            return 2;
        }
    }
    TemporaryDir work;
    fs::path drive = work.path / "drive_c";
    if (work.path.empty()) {
        std::fprintf(stderr, "uninstall-sim: cannot make a temporary folder\n");
        return 2;
    }
    std::string copyError;
    if (fs::is_directory(machineDir / "drive_c", ec) &&
        !simio::CopyTree(machineDir / "drive_c", drive, false, copyError)) {
        std::fprintf(stderr, "uninstall-sim: cannot copy drive C: %s\n",
                     sim::Printable(copyError).c_str());
        return 2;
    }

    sim::Machine machine;
    simio::MachineDir info;
    if (!simio::LoadMachine(machineDir, drive, machine, info, error) ||
        !simio::ApplyModifiedTimes(machine, info, error)) {
        std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(error.Text()).c_str());
        return 2;
    }

    const sim::VersionRecord &v = machine.version;
    std::printf("Machine %s: %s %u.%u build %u \"%s\", Windows directory %s\n",
                sim::Printable(dir).c_str(), PlatformName(v.platformId),
                static_cast<unsigned>(v.major), static_cast<unsigned>(v.minor),
                static_cast<unsigned>(v.build), sim::Printable(v.servicePack).c_str(),
                sim::Printable(machine.windowsDirectory).c_str());
    for (const std::string &note : info.notes)
        std::printf("%s\n", sim::Printable(note).c_str());

    const simio::MachineState stateBefore = simio::CaptureState(machine);
    simio::Snapshot before = simio::TakeSnapshot(stateBefore);
    machine.calls.echo = trace;
    machine.calls.keepRecords = false; // the report needs the count, --trace prints as it goes
    simio::CaptureReads reads(info.capturedKeys, machine.EnumRoot());
    if (info.capturedList)
        machine.calls.onBegin = [&reads](const sim::CallRecord &call) { reads.Observe(call); };
    sim::Install(&machine);
    if (trace) std::fprintf(stderr, "Windows calls:\n");
    int exitCode = WinMain(nullptr, nullptr, const_cast<char *>(""), SW_SHOWNORMAL);
    machine.CloseAll();
    sim::Install(nullptr);
    const simio::MachineState stateAfter = simio::CaptureState(machine);
    simio::Snapshot after = simio::TakeSnapshot(stateAfter);

    std::string changes = simio::DescribeChanges(machine, before, after);
    std::fputs(changes.empty() ? "Nothing changed\n" : changes.c_str(), stdout);
    std::fputs(reads.Report().c_str(), stdout);
    std::printf("Exit code %d (%llu Windows calls)\n", exitCode,
                static_cast<unsigned long long>(machine.calls.Count()));

    if (dryRun) {
        std::printf("Dry run: the machine directory was not changed\n");
        if (undoDir) {
            simio::UndoKit kit = simio::MakeUndoKit(machine, stateBefore, stateAfter);
            std::string kitError;
            if (!simio::WriteUndoKit(kit, undoDir, kitError)) {
                std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(kitError).c_str());
                return 2;
            }
            std::fputs(simio::DescribeUndoKit(kit, undoDir).c_str(), stdout);
        }
        return exitCode;
    }
    std::string saveError;
    if (!simio::SaveMachine(machine, info, drive, saveError)) {
        std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(saveError).c_str());
        return 2;
    }
    return exitCode;
}
