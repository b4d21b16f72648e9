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

const char kUsage[] =
    "usage: uninstall-sim [--dry-run] [--trace] [--undo KIT] [--result DIR] MACHINE\n"
    "Runs UnInstall.exe's code on MACHINE, a machine folder or a capture of a real\n"
    "machine made by capture.bat, and tells what it changed.\n"
    "  --dry-run     change nothing on disk (a capture is never changed)\n"
    "  --trace       print every Windows call the program makes\n"
    "  --undo KIT    as --dry-run, and write into the new or empty folder KIT a kit\n"
    "                that puts the real machine back after a real run\n"
    "  --result DIR  as --dry-run, and write the machine as the run left it into the\n"
    "                new or empty folder DIR\n"
    "  --version     print the version\n"
    "  --help        print this text\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// A kit or result folder is made on this computer: a Windows path such as
// A:\ would only become a folder of that name here.
std::string RefuseOutput(const char *option, const std::string &dir,
                         const std::filesystem::path &machineDir) {
    if (dir.find_first_of(":\\") != std::string::npos)
        return std::string(option) + ": " + dir +
               " holds ':' or '\\': give a folder on this computer (for example " + option +
               " kit), then copy it to the floppy or the machine";
    std::string refused = simio::RefuseUndoDir(dir, machineDir);
    return refused.empty() ? refused
                           : std::string(option) + ": " + refused + "; give a new or empty folder";
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
    const char *dir = nullptr, *undoDir = nullptr, *resultDir = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("uninstall-sim %s\n", UNINSTALL_VERSION);
            return 0;
        } else if (std::strcmp(arg, "--dry-run") == 0) {
            dryRun = true;
        } else if (std::strcmp(arg, "--trace") == 0) {
            trace = true;
        } else if ((std::strcmp(arg, "--undo") == 0 || std::strcmp(arg, "--result") == 0) &&
                   i + 1 < argc) {
            const char *&out = arg[2] == 'u' ? undoDir : resultDir;
            if (out) return Usage();
            out = argv[++i];
            dryRun = true; // both are for elsewhere; this folder stays as it is
        } else if (arg[0] == '-' || dir) {
            return Usage();
        } else {
            dir = arg;
        }
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
    for (auto [option, out] : {std::pair{"--undo", undoDir}, std::pair{"--result", resultDir}}) {
        std::string refused = out ? RefuseOutput(option, out, machineDir) : "";
        if (!refused.empty()) {
            std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(refused).c_str());
            return 2;
        }
    }
    // A capture is the only record of a real machine: it is previewed, never
    // changed.
    fs::path driveC = simio::EntryNoCase(machineDir, "drive_c");
    bool capture =
        fs::exists(simio::EntryNoCase(machineDir, "captured.txt"), ec) || !fs::exists(driveC, ec);
    if (capture) {
        std::printf("%s is a capture of a real machine: only previewed, as with --dry-run\n",
                    sim::Printable(dir).c_str());
        dryRun = true;
    }
    TemporaryDir work;
    fs::path drive = work.path / "drive_c";
    if (work.path.empty()) {
        std::fprintf(stderr, "uninstall-sim: cannot make a temporary folder\n");
        return 2;
    }
    std::string copyError;
    if (fs::is_directory(driveC, ec) && !simio::CopyTree(driveC, drive, false, copyError)) {
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

    if (dryRun) std::printf("Dry run: the machine directory was not changed\n");
    const simio::UndoKit kit = simio::MakeUndoKit(machine, info, stateBefore, stateAfter);
    if (kit.nothing) std::printf("%s\n", simio::kNothingToUndo);
    std::string error2;
    if (resultDir) {
        if (!simio::SaveMachineAs(machine, info, drive, resultDir, error2)) {
            std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(error2).c_str());
            return 2;
        }
        std::printf("The machine as the run left it: %s\n", sim::Printable(resultDir).c_str());
    }
    if (undoDir) {
        if (!simio::WriteUndoKit(kit, undoDir, error2)) {
            std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(error2).c_str());
            return 2;
        }
        std::fputs(simio::DescribeUndoKit(kit, undoDir).c_str(), stdout);
    }
    if (!dryRun && !simio::SaveMachine(machine, info, drive, error2)) {
        std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(error2).c_str());
        return 2;
    }
    return exitCode;
}
