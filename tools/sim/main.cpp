// uninstall-sim: runs the uninstaller's real entry point against a machine
// directory and tells what it changed.
#include "capture.h"
#include "disk_image.h"
#include "kit_image.h"
#include "machine_dir.h"
#include "report.h"
#include "undo_kit.h"

#include "app/uninstall.h"
#include "platform/sim/printable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: uninstall-sim [--dry-run] [--trace] [--undo KIT] [--result DIR] MACHINE\n"
    "Runs UnInstall.exe's code on MACHINE, a machine folder or a capture of a real\n"
    "machine made by capture.bat, or a FAT disk image holding one, and tells what it\n"
    "changed.\n"
    "  --dry-run     change nothing on disk (a capture or an image is never changed)\n"
    "  --trace       print every Windows call the program makes\n"
    "  --undo KIT    as --dry-run, and write into the new or empty folder KIT a kit\n"
    "                that puts the real machine back after a real run; a KIT ending\n"
    "                in .img is written as a new 1.44 MB floppy image\n"
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
    std::error_code ec;
    if (std::strcmp(option, "--undo") == 0 && simio::IsImageName(dir))
        return fs::exists(fs::symlink_status(dir, ec))
                   ? std::string(option) + ": " + dir + " exists; give the name of a new image"
                   : "";
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
    const fs::path given = machineDir;
    // A disk image is read whole and the machine on it unpacked into a folder of
    // ours, which the messages name as the image's.
    std::optional<TemporaryDir> unpacked;
    simio::ImageMachine onImage;
    const bool image = simio::IsDiskImage(given);
    if (image) {
        std::string why = "cannot make a temporary folder";
        unpacked.emplace();
        if (unpacked->path.empty() ||
            !simio::UnpackImage(given, unpacked->path / "machine", onImage, why)) {
            std::fprintf(stderr, "uninstall-sim: %s: %s\n", sim::Printable(dir).c_str(),
                         sim::Printable(why).c_str());
            return 2;
        }
        machineDir = unpacked->path / "machine";
    }
    auto fail = [&](std::string text) {
        std::string inside = machineDir.string() + "/";
        for (size_t at; image && (at = text.find(inside)) != std::string::npos;)
            text.replace(at, inside.size(),
                         std::string(dir) + ":" +
                             (onImage.folder.empty() ? "" : onImage.folder + "/"));
        std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(text).c_str());
        return 2;
    };
    simio::InputError error;
    if (!simio::CheckMachineFolder(machineDir, error)) return fail(error.Text());
    for (auto [option, out] : {std::pair{"--undo", undoDir}, std::pair{"--result", resultDir}}) {
        std::string refused = out ? RefuseOutput(option, out, given) : "";
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
    } else if (image) {
        std::printf("%s is a disk image, which is never written: only previewed, as with "
                    "--dry-run\n",
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
    if (!simio::LoadMachine(machineDir, drive, machine, info, error, onImage.attributes) ||
        !simio::ApplyModifiedTimes(machine, info, error))
        return fail(error.Text());
    if (image)
        info.notes.insert(
            info.notes.begin(),
            "Read from " + (onImage.folder.empty() ? "the root" : "the folder " + onImage.folder) +
                " of the disk image" + (onImage.label.empty() ? "" : " labelled " + onImage.label));

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

    std::string changes = simio::DescribeChanges(machine, before, after, &stateBefore, &stateAfter);
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
        if (!(simio::IsImageName(undoDir) ? simio::WriteUndoKitImage(kit, undoDir, error2)
                                          : simio::WriteUndoKit(kit, undoDir, error2))) {
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
