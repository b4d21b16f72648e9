// save_victim: runs the uninstaller on the machine folder given and saves
// the folder the way uninstall-sim does, so that a test can kill the process
// at any step or moment of the save and look at the folder afterwards.
//
//   save_victim MACHINE_DIR [--trace] [--kill-at N]
//
// --trace       prints "N STEP T" as the N-th step of the save begins, T
//               being CLOCK_MONOTONIC in nanoseconds, and "end T" once saved
// --kill-at N   the process kills itself with SIGKILL as step N begins
//
// Exit code 0 when saved, 3 when the save failed, 2 on bad input.
#include "machine_dir.h"
#include "save_machine.h"

#include "app/uninstall.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace fs = std::filesystem;

namespace {

long long Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const fs::path dir = fs::absolute(argv[1]);
    bool trace = false;
    long killAt = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0)
            trace = true;
        else if (std::strcmp(argv[i], "--kill-at") == 0 && i + 1 < argc)
            killAt = std::atol(argv[++i]);
        else
            return 2;
    }

    simio::InputError error;
    std::string message;
    std::string pattern = (fs::temp_directory_path() / "save-victim-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 2;
    const fs::path drive = fs::path(pattern) / "drive_c";
    sim::Machine machine;
    simio::MachineDir info;
    if (!simio::CheckMachineFolder(dir, error) ||
        !simio::CopyTree(dir / "drive_c", drive, false, message) ||
        !simio::LoadMachine(dir, drive, machine, info, error)) {
        std::fprintf(stderr, "save_victim: %s%s\n", error.Text().c_str(), message.c_str());
        return 2;
    }
    sim::Install(&machine);
    WinMain(nullptr, nullptr, const_cast<char *>(""), SW_SHOWNORMAL);
    machine.CloseAll();
    sim::Install(nullptr);

    long step = 0;
    bool saved = simio::SaveMachine(machine, info, drive, message, [&](const std::string &name) {
        ++step;
        if (trace) {
            std::printf("%ld %s %lld\n", step, name.c_str(), Now());
            std::fflush(stdout);
        }
        if (step == killAt) std::raise(SIGKILL);
    });
    if (trace) std::printf("end %lld\n", Now());
    std::error_code ec;
    fs::remove_all(pattern, ec);
    if (!saved) std::fprintf(stderr, "save_victim: %s\n", message.c_str());
    return saved ? 0 : 3;
}
