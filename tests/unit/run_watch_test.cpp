// The states a journal gives say what whole copies of the machine say: on every example,
// in a clean run and with each call failing in turn, the report and the undo kit made from
// RunWatch's states are those made from CaptureState's, to the byte.
#include "machine_dir.h"
#include "report.h"
#include "undo_kit.h"

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

struct Made {
    std::string report, reg, bat, readme;
};

// One run of `example`, failing call `failing` (0: none); false once there is no such call.
// `sibling`: with a key beside the drive icon the run deletes, named as it begins, so
// that the kit's check of the import must look at more than that key, and a key the run
// does not touch whose name regedit cannot read back.
bool RunBoth(const std::string &example, bool sibling, std::uint64_t failing, Made &whole,
             Made &watched) {
    fs::path source = fs::path(EXAMPLES_DIR) / example;
    std::string pattern = (fs::temp_directory_path() / "run-watch-XXXXXX").string();
    fs::path drive = fs::path(::mkdtemp(pattern.data())) / "c";
    fs::copy(source / "drive_c", drive, fs::copy_options::recursive);
    sim::Machine m;
    simio::MachineDir info;
    simio::InputError error;
    EXPECT_TRUE(simio::LoadMachine(source, drive, m, info, error)) << error.Text();
    if (sibling)
        m.registry.CreatePath("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
                              "DriveIcons\\EX");
    if (sibling) m.registry.CreatePath("HKLM\\Software\\Odd]name");
    if (failing) m.calls.AddFault(sim::Fault{sim::Fault::Effect::Fail, "", "", 0, failing, 0});
    const simio::MachineState before = simio::CaptureState(m);
    std::uint64_t calls;
    {
        simio::RunWatch watch(m);
        sim::Install(&m);
        int exitCode = WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
        m.CloseAll();
        sim::Install(nullptr);
        calls = m.calls.Count();
        for (auto [made, from, to] : {std::tuple{&whole, before, simio::CaptureState(m)},
                                      std::tuple{&watched, watch.Before(), watch.After()}}) {
            simio::Report r = simio::MakeReport(example, simio::Preview::None);
            simio::AddRun(r, m, from, to, exitCode);
            simio::UndoKit kit = simio::MakeUndoKit(m, info, from, to);
            *made = {simio::RenderJson(r), kit.reg, kit.bat, kit.readme};
        }
    }
    fs::remove_all(drive.parent_path());
    return failing <= calls;
}

TEST(RunWatch, SaysWhatWholeStatesSay) {
    for (const char *example : {"win98", "win2000-sp4", "win2000-sp3", "winxp"})
        for (bool sibling : {false, true}) {
            Made whole, watched;
            for (std::uint64_t failing = 0;
                 (!sibling || failing == 0) && RunBoth(example, sibling, failing, whole, watched);
                 ++failing) {
                SCOPED_TRACE(std::string(example) + (sibling ? " with a sibling" : "") +
                             ", failing call " + std::to_string(failing));
                ASSERT_EQ(watched.report, whole.report);
                ASSERT_EQ(watched.reg, whole.reg);
                ASSERT_EQ(watched.bat, whole.bat);
                ASSERT_EQ(watched.readme, whole.readme);
            }
            EXPECT_NE(whole.bat.find("regedit /e"), std::string::npos) << example << ": a check";
            EXPECT_EQ(whole.readme.find("Odd]name"), std::string::npos) << "not the run's";
        }
}

} // namespace
