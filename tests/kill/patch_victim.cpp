// patch_victim: patches usbstor.inf on a simulated Windows 2000 machine whose
// drive C: is the folder given, so that a test can kill the process at any
// moment of the patch and look at the file afterwards.
//
//   patch_victim DRIVE [--trace] [--kill-at N | --kill-after] [--in-place]
//
// --trace       prints "N NAME T" as the N-th Windows call begins, T being
//               CLOCK_MONOTONIC in nanoseconds, and "end T" once patched
// --kill-at N   the process kills itself with SIGKILL as call N begins
// --kill-after  ... once the patch has returned
// --in-place    rewrites the file in place instead (delete, create, write),
//               the way that loses it when killed; for checking the checker
//
// Exit code 0 when the file was written back, 3 when not, 2 on bad usage.
#include "reference_patch.h"

#include "files/driver_files.h"
#include "files/wide_text.h"
#include "platform/sim/machine.h"
#include "platform/win32.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

const char *const kInf = "C:\\WINNT\\inf\\usbstor.inf";

long long Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

[[noreturn]] void Die() {
    std::fflush(stdout);
    ::kill(::getpid(), SIGKILL);
    std::abort(); // not reached
}

// Read all, delete, create anew, write all: the file is missing or partly
// written in between.
int RewriteInPlace() {
    HANDLE file = CreateFileA(kInf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    std::string data(size, '\0');
    DWORD done = 0;
    ReadFile(file, &data[0], size, &done, nullptr);
    CloseHandle(file);
    const std::string patched = ReferencePatch(data);
    ForceDeleteFile(kInf);
    file = CreateFileA(kInf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    WriteFile(file, patched.data(), static_cast<DWORD>(patched.size()), &done, nullptr);
    CloseHandle(file);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    bool trace = false, killAfter = false, inPlace = false;
    unsigned long long killAt = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0)
            trace = true;
        else if (std::strcmp(argv[i], "--kill-after") == 0)
            killAfter = true;
        else if (std::strcmp(argv[i], "--in-place") == 0)
            inPlace = true;
        else if (std::strcmp(argv[i], "--kill-at") == 0 && i + 1 < argc)
            killAt = std::strtoull(argv[++i], nullptr, 10);
        else
            return 2;
    }

    sim::Machine machine;
    machine.version = {VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4"};
    machine.windowsDirectory = "C:\\WINNT";
    machine.files.MapDrive('C', argv[1]);
    machine.calls.keepRecords = false;
    machine.calls.onBegin = [&](const sim::CallRecord &call) {
        if (trace)
            std::printf("%llu %s %lld\n", static_cast<unsigned long long>(call.sequence),
                        call.name.c_str(), Now());
        if (call.sequence == killAt) Die();
    };
    sim::Install(&machine);

    int result = inPlace ? RewriteInPlace()
                         : ReplaceWideTextInFile(kInf, kUsbstorSearch, kUsbstorReplacement);
    if (killAfter) Die();
    if (trace) std::printf("end %lld\n", Now());
    machine.CloseAll();
    sim::Install(nullptr);
    return result == 1 ? 0 : 3;
}
