// The simulator's machine I/O: reading and writing regedit text, against
// Wine's regedit importing the same file.
#include "bench_main.h"
#include "reg_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// A regedit export of about `bytes` bytes: device-like keys with the value
// kinds a real export holds.
std::string MakeRegText(long bytes) {
    std::string text = "REGEDIT4\r\n\r\n";
    char buf[512];
    for (long i = 0; static_cast<long>(text.size()) < bytes; ++i) {
        std::snprintf(buf, sizeof buf,
                      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_%04lX&PID_5678\\5&1A2B3C&0&%ld]\r\n"
                      "\"DeviceDesc\"=\"USB Mass Storage Device %ld\"\r\n"
                      "\"Driver\"=\"HDC\\\\%04ld\"\r\n"
                      "\"ConfigFlags\"=dword:%08lx\r\n"
                      "\"HardwareID\"=hex(7):55,53,42,5c,56,49,44,5f,31,32,33,34,00,00\r\n"
                      "\"Capabilities\"=hex:01,02,03,04,05,06,07,08\r\n\r\n",
                      i % 4096, i, i, i % 10000, static_cast<unsigned long>(i));
        text += buf;
    }
    return text;
}

void Load(benchmark::State &state, const std::string &text) {
    for (auto _ : state) {
        sim::Registry registry;
        simio::RegFileFormat format;
        simio::InputError error;
        if (!simio::ReadRegFile(text, "bench.reg", registry, format, error))
            state.SkipWithError(error.Text().c_str());
        benchmark::DoNotOptimize(registry);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(text.size()));
}

void Save(benchmark::State &state, const std::string &text) {
    sim::Registry registry;
    simio::RegFileFormat format;
    simio::InputError error;
    simio::ReadRegFile(text, "bench.reg", registry, format, error);
    size_t written = 0;
    for (auto _ : state) {
        std::string out = simio::WriteRegFile(registry, format);
        written = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(written));
}

bool Run(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

// One `wine regedit /S` import into a prefix made for the run; the wall time
// includes starting Wine, which the empty-file case measures on its own.
void WineImport(benchmark::State &state, const std::string &text) {
    static std::string prefix;
    std::string dir = bench::ScratchDir();
    std::string env = "WINEPREFIX=" + dir +
                      "/wine WINEARCH=win32 WINEDEBUG=-all "
                      "WINEDLLOVERRIDES=mscoree,mshtml= ";
    if (prefix.empty()) {
        if (!Run(env + "wineboot -i >/dev/null 2>&1 && " + env + "wineserver -w")) {
            state.SkipWithError("wine is not usable here");
            return;
        }
        prefix = dir + "/wine";
    }
    std::string file = dir + "/import.reg";
    std::ofstream(file, std::ios::binary) << text;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!Run(env + "wine regedit /S " + file + " && " + env + "wineserver -w"))
            state.SkipWithError("wine regedit failed");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(text.size()));
}

BENCH_REGISTRAR(RegisterRegIo) {
    for (long size : bench::Sizes({1L << 20, 10L << 20, 50L << 20}, 64L << 10)) {
        auto text = std::make_shared<std::string>(MakeRegText(size));
        std::string mb = std::to_string(size >> 20) + "MB";
        if (size < (1L << 20)) mb = std::to_string(size >> 10) + "KB";
        auto *load = benchmark::RegisterBenchmark(("RegFileLoad/" + mb).c_str(),
                                                  [text](benchmark::State &s) { Load(s, *text); });
        auto *save = benchmark::RegisterBenchmark(("RegFileSave/" + mb).c_str(),
                                                  [text](benchmark::State &s) { Save(s, *text); });
        load->Unit(benchmark::kMillisecond);
        save->Unit(benchmark::kMillisecond);
        if (bench::Tiny()) {
            load->Iterations(1);
            save->Iterations(1);
        }
        if (!bench::Tiny() && size == (50L << 20)) {
            auto empty = std::make_shared<std::string>("REGEDIT4\r\n\r\n");
            benchmark::RegisterBenchmark("WineRegeditImport/empty",
                                         [empty](benchmark::State &s) { WineImport(s, *empty); })
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("WineRegeditImport/" + mb).c_str(),
                                         [text](benchmark::State &s) { WineImport(s, *text); })
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

} // namespace
