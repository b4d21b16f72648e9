// uninstall-sim: runs the uninstaller's real entry point against a machine
// (a folder, or a disk image or zip archive holding one) and tells what it
// changed. This file is the options and the wiring; the rooms beside it do
// the work: intake/ opens the machine, outcome/ reports and writes the kit.
#include "capture.h"
#include "kit_image.h"
#include "kit_zip.h"
#include "machine_dir.h"
#include "open_machine.h"
#include "report.h"
#include "save_machine.h"
#include "temporary.h"
#include "undo_kit.h"

#include "app/uninstall.h"
#include "platform/sim/printable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The options and their help, in one table.
struct OptionSpec {
    const char *name;
    const char *argument; // null for a switch
    const char *help;
};

const OptionSpec kOptions[] = {
    {"--dry-run", nullptr,
     "change nothing on disk (a capture, an image or a zip is never changed)"},
    {"--trace", nullptr, "print every Windows call the program makes"},
    {"--undo", "KIT",
     "as --dry-run, and write into the new or empty folder KIT a kit that puts the real machine "
     "back after a real run; a KIT ending in .img is written as a new 1.44 MB floppy image, one "
     "ending in .zip as a new zip archive"},
    {"--result", "DIR",
     "as --dry-run, and write the machine as the run left it into the new or empty folder DIR"},
    {"--json", nullptr, "write the report as one JSON document"},
    {"--version", nullptr, "print the version"},
    {"--help", nullptr, "print this text"},
    {"--", nullptr, "take what follows as MACHINE, even if it starts with -"},
};

std::string UsageText() {
    std::string text =
        "usage: uninstall-sim [--dry-run] [--trace] [--json] [--undo KIT] [--result DIR] [--] "
        "MACHINE\n"
        "Runs UnInstall.exe's code on MACHINE, a machine folder or a capture of a real\n"
        "machine made by capture.bat, or a FAT disk image or a zip archive holding one,\n"
        "and tells what it changed.\n";
    for (const OptionSpec &o : kOptions) {
        std::string head =
            std::string("  ") + o.name + (o.argument ? std::string(" ") + o.argument : "");
        std::string line = head + std::string(head.size() < 15 ? 15 - head.size() : 1, ' ');
        // Words wrapped at 80 columns, continued under the first.
        for (const char *word = o.help; *word;) {
            const char *end = std::strchr(word, ' ');
            std::string w(word, end ? end : word + std::strlen(word));
            if (line.size() + w.size() > 80 && line.size() > 15) {
                text += line + "\n";
                line = std::string(15, ' ');
            } else if (line.size() > 15 && line.back() != ' ') {
                line += ' ';
            }
            line += w;
            word = end ? end + 1 : word + std::strlen(word);
        }
        text += line + "\n";
    }
    return text;
}

struct Options {
    bool dryRun = false, trace = false, json = false;
    const char *input = nullptr, *undo = nullptr, *result = nullptr;
};

int Usage() {
    std::fputs(UsageText().c_str(), stderr);
    return 2;
}

// False when main should return `exit` at once (help, version, bad usage).
bool ParseOptions(int argc, char **argv, Options &o, int &exit) {
    bool named = false; // after "--", what follows is the machine
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (named || arg[0] != '-') {
            if (o.input) return exit = Usage(), false;
            o.input = arg;
        } else if (std::strcmp(arg, "--") == 0) {
            named = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            std::fputs(UsageText().c_str(), stdout);
            return exit = 0, false;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("uninstall-sim %s\n", UNINSTALL_VERSION);
            return exit = 0, false;
        } else if (std::strcmp(arg, "--dry-run") == 0) {
            o.dryRun = true;
        } else if (std::strcmp(arg, "--trace") == 0) {
            o.trace = true;
        } else if (std::strcmp(arg, "--json") == 0) {
            o.json = true;
        } else if ((std::strcmp(arg, "--undo") == 0 || std::strcmp(arg, "--result") == 0) &&
                   i + 1 < argc) {
            const char *&out = arg[2] == 'u' ? o.undo : o.result;
            if (out) return exit = Usage(), false;
            out = argv[++i];
            o.dryRun = true; // both are for elsewhere; the machine stays as it is
        } else {
            return exit = Usage(), false;
        }
    }
    if (!o.input) return exit = Usage(), false;
    return true;
}

// Messages name what the person gave: paths in our temporary folders become
// the container's name and its folder, or drive C:.
class Messages {
  public:
    void Show(const fs::path &host, std::string shown, bool windows) {
        names_.push_back({host.string() + "/", std::move(shown), windows});
    }
    int Refuse(std::string text) const {
        for (const Name &n : names_)
            for (size_t at = 0; (at = text.find(n.host, at)) != std::string::npos;) {
                text.replace(at, n.host.size(), n.shown);
                at += n.shown.size();
                // A Windows path goes on to the next ": " with Windows' separators.
                for (size_t end = text.find(": ", at), c = at;
                     n.windows && c < std::min(end, text.size()); ++c)
                    if (text[c] == '/') text[c] = '\\';
            }
        std::fprintf(stderr, "uninstall-sim: %s\n", sim::Printable(text).c_str());
        return 2;
    }

  private:
    struct Name {
        std::string host, shown;
        bool windows;
    };
    std::vector<Name> names_;
};

bool Inside(const fs::path &path, const fs::path &dir) {
    std::error_code ec;
    fs::path relative = fs::weakly_canonical(fs::absolute(path, ec), ec)
                            .lexically_relative(fs::weakly_canonical(dir, ec));
    return !relative.empty() && *relative.begin() != "..";
}

// A kit or result is made on this computer, never inside the machine it comes
// from: a Windows path such as A:\ would only become a folder of that name here.
std::string RefuseOutput(const char *option, const std::string &out, const fs::path &machine) {
    if (out.find_first_of(":\\") != std::string::npos)
        return std::string(option) + ": " + out +
               " holds ':' or '\\': give a folder on this computer (for example " + option +
               " kit), then copy it to the floppy or the machine";
    const bool undo = std::strcmp(option, "--undo") == 0;
    const char *file = !undo                     ? nullptr
                       : simio::IsImageName(out) ? "image"
                       : simio::IsZipName(out)   ? "zip"
                                                 : nullptr;
    if (!file) {
        std::string refused = simio::RefuseUndoDir(out, machine);
        return refused.empty()
                   ? refused
                   : std::string(option) + ": " + refused + "; give a new or empty folder";
    }
    std::error_code ec;
    if (fs::exists(fs::symlink_status(out, ec)))
        return std::string(option) + ": " + out + " exists; give the name of a new " + file;
    if (fs::is_directory(machine, ec) && Inside(out, machine))
        return std::string(option) + ": " + out +
               " is inside the machine folder, which must stay as it is; give a path outside it";
    return "";
}

// One run of the program on the machine `o.input` names.
class Simulation {
  public:
    explicit Simulation(const Options &o) : o_(o) {}
    int Run();

  private:
    bool Open(int &exit);
    bool Load(int &exit);
    int Finish(const simio::MachineState &before, const simio::MachineState &after);
    // What the report holds so far: a refusal comes after it, as the lines it had printed.
    void Print() const {
        std::fputs((o_.json ? simio::RenderJson(report_) : simio::RenderText(report_)).c_str(),
                   stdout);
    }
    int Refuse(const std::string &text) const {
        if (!o_.json) Print();
        return say_.Refuse(text);
    }

    Options o_;
    Messages say_;
    fs::path given_; // the input, absolute
    simio::TemporaryDir unpacked_, work_;
    simio::OpenedMachine opened_;
    fs::path drive_; // the run's copy of drive C:
    sim::Machine machine_;
    simio::MachineDir info_;
    simio::Report report_;
};

bool Simulation::Open(int &exit) {
    std::error_code ec;
    given_ = fs::absolute(o_.input, ec).lexically_normal();
    if (!given_.has_filename()) given_ = given_.parent_path();
    std::string error;
    const bool container = simio::IsContainer(given_);
    if ((container && !unpacked_.Make(error)) || !work_.Make(error))
        return exit = say_.Refuse(error), false;
    drive_ = work_.path() / "drive_c";
    say_.Show(drive_, "C:", true);
    std::string shown = o_.input;
    while (shown.size() > 1 && shown.back() == '/')
        shown.pop_back();
    if (!container) say_.Show(given_, shown + "/", false);
    bool opened =
        simio::OpenMachine(given_, unpacked_.path(), simio::InputLimits{}, opened_, error);
    if (container)
        say_.Show(unpacked_.path() / "machine",
                  std::string(o_.input) + ":" +
                      (opened_.folder.empty() ? "" : opened_.folder + "/"),
                  false);
    if (!opened)
        return exit = say_.Refuse(container ? std::string(o_.input) + ": " + error : error), false;
    for (auto [option, out] : {std::pair{"--undo", o_.undo}, std::pair{"--result", o_.result}}) {
        std::string refused = out ? RefuseOutput(option, out, given_) : "";
        if (!refused.empty()) return exit = say_.Refuse(refused), false;
    }
    return true;
}

bool Simulation::Load(int &exit) {
    // A capture is the only record of a real machine: it is previewed, never changed.
    std::error_code ec;
    fs::path driveC = simio::EntryNoCase(opened_.dir, "drive_c");
    bool capture =
        fs::exists(simio::EntryNoCase(opened_.dir, "captured.txt"), ec) || !fs::exists(driveC, ec);
    using simio::Preview;
    report_ = simio::MakeReport(o_.input, capture ? Preview::Capture
                                          : opened_.kind == simio::InputKind::Image ? Preview::Image
                                          : opened_.kind == simio::InputKind::Zip   ? Preview::Zip
                                                                                  : Preview::None);
    o_.dryRun = o_.dryRun || capture || opened_.kind != simio::InputKind::Folder;
    std::string error;
    if (fs::is_directory(driveC, ec) && !simio::CopyTree(driveC, drive_, false, error))
        return exit = Refuse("cannot copy drive C: " + error), false;
    simio::InputError refused;
    if (!simio::LoadMachine(opened_.dir, drive_, machine_, info_, refused,
                            opened_.entryAttributes) ||
        !simio::ApplyModifiedTimes(machine_, info_, refused))
        return exit = Refuse(refused.Text()), false;
    if (!opened_.where.empty())
        info_.notes.insert(info_.notes.begin(), simio::Note{"read-from", opened_.where});
    simio::AddMachine(report_, machine_, info_.notes);
    return true;
}

int Simulation::Run() {
    int exit = 0;
    if (!Open(exit) || !Load(exit)) return exit;
    simio::RunWatch watch(machine_);
    machine_.calls.echo = o_.trace;
    machine_.calls.keepRecords = false; // the report needs the count, --trace prints as it goes
    simio::CaptureReads reads(info_.capturedKeys, machine_.EnumRoot());
    if (info_.capturedList)
        machine_.calls.onBegin = [&reads](const sim::CallRecord &call) { reads.Observe(call); };
    sim::Install(&machine_);
    if (o_.trace) std::fprintf(stderr, "Windows calls:\n");
    int exitCode = WinMain(nullptr, nullptr, const_cast<char *>(""), SW_SHOWNORMAL);
    machine_.CloseAll();
    sim::Install(nullptr);
    const simio::MachineState before = watch.Before(), after = watch.After();
    simio::AddRun(report_, machine_, before, after, exitCode);
    report_.readOutside = reads.Keys();
    int finished = Finish(before, after);
    return finished ? finished : exitCode;
}

// The kit and the result folder, then the machine itself unless only previewed.
int Simulation::Finish(const simio::MachineState &before, const simio::MachineState &after) {
    report_.dryRun = o_.dryRun;
    const simio::UndoKit kit = simio::MakeUndoKit(machine_, info_, before, after);
    report_.nothingToUndo = kit.nothing;
    std::string error;
    if (o_.result) {
        if (!simio::SaveMachineAs(machine_, info_, drive_, o_.result, error)) return Refuse(error);
        report_.result = o_.result;
    }
    if (o_.undo) {
        using simio::KitSummary;
        const bool image = simio::IsImageName(o_.undo), zip = simio::IsZipName(o_.undo);
        bool written = image ? simio::WriteUndoKitImage(kit, o_.undo, error)
                       : zip ? simio::WriteUndoKitZip(kit, o_.undo, error)
                             : simio::WriteUndoKit(kit, o_.undo, error);
        if (!written) return Refuse(error);
        report_.kit = simio::SummarizeUndoKit(kit, o_.undo,
                                              image ? KitSummary::Image
                                              : zip ? KitSummary::Zip
                                                    : KitSummary::Folder);
    }
    Print();
    if (!o_.dryRun && !simio::SaveMachine(machine_, info_, drive_, error))
        return say_.Refuse(error);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    int exit = 0;
    if (!ParseOptions(argc, argv, options, exit)) return exit;
    // Our temporary folders go however the run ends.
    simio::RemoveTemporaryDirsOnSignals();
    return Simulation(options).Run();
}
