// The wide-text patch of a usbstor.inf-like file against the floor it can't
// beat: copying the same file (read it all, write it all to a new file in the
// same folder and put that in place of another, flushed the same way).
#include "bench_main.h"

#include "files/wide_text.h"
#include "platform/sim/machine.h"
#include "platform/win32.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char *const kInf = "C:\\inf\\usbstor.inf";
const char *const kCopy = "C:\\inf\\copy.tmp";
const char *const kCopyTarget = "C:\\inf\\copy.inf";

// UTF-16LE text of `bytes` bytes; the reference sits near the end, or nowhere.
std::string MakeInf(long bytes, bool match) {
    std::string ascii;
    const std::string line = "HKR,,EnumPropPages32,,\"storprop.dll,StoragePropPageProvider\"\r\n";
    const std::string tail = "ServiceBinary=%12%\\USBSTORSP3.SYS\r\n[Strings]\r\n";
    while (static_cast<long>(2 * (ascii.size() + line.size() + tail.size())) < bytes)
        ascii += line;
    ascii += match ? tail : "ServiceBinary=%12%\\USBSTOR.SYS\r\n[Strings]\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : ascii) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

struct Fixture {
    sim::Machine machine;
    fs::path host;
    std::string original;

    Fixture(long bytes, bool match) {
        fs::path root = fs::path(bench::ScratchDir()) / "drive_c";
        fs::remove_all(root);
        fs::create_directories(root / "inf");
        host = root / "inf" / "usbstor.inf";
        original = MakeInf(bytes, match);
        machine.files.MapDrive('C', root);
        machine.calls.keepRecords = false;
        machine.version = {VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4"};
        sim::Install(&machine);
        Restore();
    }
    ~Fixture() { sim::Install(nullptr); }
    void Restore() { std::ofstream(host, std::ios::binary | std::ios::trunc) << original; }
};

void Patch(benchmark::State &state, bool match) {
    Fixture f(state.range(0), match);
    for (auto _ : state) {
        if (ReplaceWideTextInFile(kInf, "%12%\\USBSTORSP3.SYS", "%12%\\USBSTOR.SYS") != 1)
            state.SkipWithError("the patch failed");
        state.PauseTiming();
        f.Restore();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same file calls as the patch makes, without the scan: what copying
// the file over another with the same guarantees costs.
void Copy(benchmark::State &state) {
    Fixture f(state.range(0), true);
    std::vector<char> buffer;
    for (auto _ : state) {
        HANDLE in = CreateFileA(kInf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD size = SetFilePointer(in, 0, nullptr, FILE_END);
        SetFilePointer(in, 0, nullptr, FILE_BEGIN);
        buffer.resize(size);
        DWORD done = 0;
        ReadFile(in, buffer.data(), size, &done, nullptr);
        CloseHandle(in);
        HANDLE out = CreateFileA(kCopy, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        WriteFile(out, buffer.data(), size, &done, nullptr);
        FlushFileBuffers(out);
        CloseHandle(out);
        MoveFileExA(kCopy, kCopyTarget, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCH_REGISTRAR(RegisterWideText) {
    auto *copy = benchmark::RegisterBenchmark("WideText/CopyFloor", Copy);
    auto *match = benchmark::RegisterBenchmark("WideText/PatchMatchNearEnd",
                                               [](benchmark::State &s) { Patch(s, true); });
    auto *none = benchmark::RegisterBenchmark("WideText/PatchNoMatch",
                                              [](benchmark::State &s) { Patch(s, false); });
    for (auto *b : {copy, match, none}) {
        for (long size : bench::Sizes({64L << 10, 8L << 20, 256L << 20}, 4L << 10))
            b->Arg(size);
        b->Unit(benchmark::kMillisecond)->UseRealTime();
        if (bench::Tiny()) b->Iterations(1);
    }
}

} // namespace
