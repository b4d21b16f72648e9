// The whole uninstall on large simulated machines: Windows 98 with many
// present devices (a tenth of them the package's, each with its disk) and
// Windows 2000 with many control sets.
#include "bench_main.h"

#include "app/uninstall.h"
#include "platform/sim/machine.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace {

const char *const kHdc = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char *const kDisk = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
const char *const kNet = "{4D36E972-E325-11CE-BFC1-08002BE10318}";

void Set(sim::RegKey &key, const char *name, const std::string &text) {
    key.values[name] = sim::MakeString(name, text);
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// About 50 keys per device: the device's own keys, its driver key, and a
// vendor tree the uninstaller never looks at.
void AddFiller(sim::Machine &m, long device) {
    char name[64];
    std::snprintf(name, sizeof name, "HKLM\\Software\\Vendor\\Device%06ld", device);
    sim::RegKey &root = m.registry.CreatePath(name);
    for (int i = 0; i < 44; ++i) {
        std::snprintf(name, sizeof name, "Setting%02d", i);
        Set(root.AddChild(name), "Value", "data");
    }
}

std::unique_ptr<sim::Machine> MakeWin98(const fs::path &drive, long devices) {
    auto m = std::make_unique<sim::Machine>();
    m->version = {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A "};
    m->windowsDirectory = "C:\\WINDOWS";
    fs::remove_all(drive);
    m->files.MapDrive('C', drive);
    WriteFile(
        drive / "WINDOWS/inf/other/USBOEM01.inf",
        "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=HDC\r\nClassGUID=" + std::string(kHdc) +
            "\r\n\r\n[MSOEM01SECTION]\r\n%Desc%=Install,USB\\VID_1234&PID_5678\r\n\r\n"
            "[Strings]\r\nDesc=\"USB Mass Storage Controller\"\r\n");
    WriteFile(drive / "WINDOWS/system32/drivers/WDMOEM01.sys", "MZ");
    WriteFile(drive / "WINDOWS/system/iosubsys/PDROEM01.pdr", "MZ");
    m->registry.CreatePath("HKLM\\System\\CurrentControlSet\\Services\\Class\\HDC");
    char buf[160];
    for (long i = 0; i < devices; ++i) {
        if (i % 10 == 0) {
            long n = i / 10;
            std::snprintf(buf, sizeof buf, "HKLM\\Enum\\USB\\VID_1234&PID_5678\\5&%06lX&0&1", n);
            sim::RegKey &dev = m->registry.CreatePath(buf);
            Set(dev, "ClassGUID", kHdc);
            Set(dev, "DeviceDesc", "USB Mass Storage Controller");
            std::snprintf(buf, sizeof buf, "HDC\\%04ld", n);
            Set(dev, "Driver", buf);
            dev.AddChild("LogConf");
            m->registry.CreatePath(
                std::string("HKLM\\System\\CurrentControlSet\\Services\\Class\\") + buf);
            std::snprintf(buf, sizeof buf,
                          "HKLM\\Enum\\XDISK\\GENERIC\\USB&VID_1234&PID_5678&5&%06lX&0&100", n);
            sim::RegKey &disk = m->registry.CreatePath(buf);
            Set(disk, "ClassGUID", kDisk);
            Set(disk, "DeviceDesc", "USB Flash Disk");
            Set(disk, "Mfg", "OEM");
            Set(disk, "CurrentDriveLetterAssignment",
                std::string(1, static_cast<char>('D' + n % 20)));
            std::snprintf(buf, sizeof buf, "DiskDrive\\%04ld", n);
            Set(disk, "Driver", buf);
            m->registry.CreatePath(
                std::string("HKLM\\System\\CurrentControlSet\\Services\\Class\\") + buf);
        } else {
            std::snprintf(buf, sizeof buf, "HKLM\\Enum\\PCI\\VEN_8086&DEV_%04lX\\%ld", i % 4096, i);
            sim::RegKey &dev = m->registry.CreatePath(buf);
            Set(dev, "ClassGUID", kNet);
            Set(dev, "DeviceDesc", "Network adapter");
            dev.AddChild("LogConf");
        }
        AddFiller(*m, i);
    }
    return m;
}

std::unique_ptr<sim::Machine> MakeWin2000(const fs::path &drive, long controlSets) {
    auto m = std::make_unique<sim::Machine>();
    m->version = {VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4"};
    m->windowsDirectory = "C:\\WINNT";
    fs::remove_all(drive);
    m->files.MapDrive('C', drive);
    std::string inf = "\xFF\xFE";
    for (char c : std::string("[Service]\r\nServiceBinary=%12%\\USBSTORSP3.SYS\r\n")) {
        inf += c;
        inf += '\0';
    }
    WriteFile(drive / "WINNT/inf/usbstor.inf", inf);
    WriteFile(drive / "WINNT/System32/DRIVERS/USBSTORSP3.SYS", "MZ");
    char buf[128];
    for (long i = 1; i <= controlSets; ++i) {
        std::snprintf(buf, sizeof buf, "HKLM\\SYSTEM\\ControlSet%03ld\\Services\\USBSTOR", i);
        Set(m->registry.CreatePath(buf), "ImagePath", "System32\\DRIVERS\\USBSTORSP3.SYS");
        for (int s = 0; s < 50; ++s) {
            std::snprintf(buf, sizeof buf, "HKLM\\SYSTEM\\ControlSet%03ld\\Services\\Svc%02d", i,
                          s);
            Set(m->registry.CreatePath(buf), "ImagePath", "x.sys");
        }
    }
    m->registry.CreatePath("HKLM\\SYSTEM\\Select");
    return m;
}

template <class Make> void WholeRun(benchmark::State &state, Make make) {
    fs::path drive = fs::path(bench::ScratchDir()) / "drive_c";
    std::uint64_t calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = make(drive, state.range(0));
        machine->calls.keepRecords = false; // as uninstall-sim runs it
        sim::Install(machine.get());
        state.ResumeTiming();
        WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
        state.PauseTiming();
        calls = machine->calls.Count();
        sim::Install(nullptr);
        machine.reset();
        state.ResumeTiming();
    }
    state.counters["calls"] = static_cast<double>(calls);
}

BENCH_REGISTRAR(RegisterUninstall) {
    auto *win98 = benchmark::RegisterBenchmark("Uninstall/Win98Devices",
                                               [](benchmark::State &s) { WholeRun(s, MakeWin98); });
    for (long n : bench::Sizes({100, 1000, 10000}, 20))
        win98->Arg(n);
    auto *win2000 = benchmark::RegisterBenchmark(
        "Uninstall/Win2000ControlSets", [](benchmark::State &s) { WholeRun(s, MakeWin2000); });
    for (long n : bench::Sizes({1, 10, 100}, 1))
        win2000->Arg(n);
    for (auto *b : {win98, win2000}) {
        b->Unit(benchmark::kMillisecond);
        if (bench::Tiny()) b->Iterations(1);
    }
}

} // namespace
