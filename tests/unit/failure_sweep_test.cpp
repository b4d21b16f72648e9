// Whatever call fails, on the example machines and on two made hostile, the
// uninstaller keeps its promise: exit code 0, no text but the final message,
// nothing deleted or changed that a clean run would leave alone, and
// usbstor.inf either as it was or exactly patched.
#include "machine_dir.h"
#include "report.h"

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode = -1;
    std::uint64_t calls = 0;
    std::vector<sim::MessageBoxShown> messages;
    std::string failedCall;         // name of the call the fault rule failed
    std::vector<std::string> names; // of every call, in order
    simio::Snapshot before, after;
};

// Changes made to a machine after it is loaded, its drive C: at `drive`.
using Tamper = std::function<void(sim::Machine &m, const fs::path &drive)>;

class ExampleRunner {
  public:
    ExampleRunner(const std::string &name, Tamper tamper)
        : source_(fs::path(EXAMPLES_DIR) / name), tamper_(std::move(tamper)) {
        std::string pattern = (fs::temp_directory_path() / "uninstall-sweep-XXXXXX").string();
        scratch_ = ::mkdtemp(pattern.data());
    }
    ~ExampleRunner() {
        std::error_code ec;
        fs::remove_all(scratch_, ec);
    }

    // One whole run on a fresh copy of the machine, with `fault` if given.
    RunResult Once(const sim::Fault *fault) {
        fs::path drive = scratch_ / "drive_c";
        fs::remove_all(drive);
        fs::copy(source_ / "drive_c", drive, fs::copy_options::recursive);
        sim::Machine m;
        simio::MachineDir info;
        simio::InputError error;
        RunResult run;
        if (!simio::LoadMachine(source_, drive, m, info, error) ||
            !simio::ApplyModifiedTimes(m, info, error)) {
            ADD_FAILURE() << error.Text();
            return run;
        }
        if (tamper_) tamper_(m, drive);
        if (fault) m.calls.AddFault(*fault);
        run.before = simio::TakeSnapshot(m);
        sim::Install(&m);
        run.exitCode = WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
        m.CloseAll();
        sim::Install(nullptr);
        run.after = simio::TakeSnapshot(m);
        run.calls = m.calls.Count();
        for (const auto &record : m.calls.Records())
            run.names.push_back(record.name);
        if (fault && fault->sequence && fault->sequence <= run.calls)
            run.failedCall = fault->effect == sim::Fault::Effect::Fail
                                 ? m.calls.Records()[fault->sequence - 1].name
                                 : "";
        run.messages = m.messageBoxes;
        return run;
    }

  private:
    fs::path source_;
    fs::path scratch_;
    Tamper tamper_;
};

template <class Map> std::set<std::string> Removed(const Map &before, const Map &after) {
    std::set<std::string> out;
    for (const auto &entry : before)
        if (!after.count(entry.first)) out.insert(entry.first);
    return out;
}

// "key\value" for every value a run set, changed or deleted.
std::set<std::string> ChangedValues(const simio::Snapshot &before, const simio::Snapshot &after) {
    std::set<std::string> out;
    for (const auto &[key, values] : after.keys) {
        auto old = before.keys.find(key);
        for (const auto &[name, text] : values)
            if (old == before.keys.end() || !old->second.count(name) ||
                old->second.at(name) != text)
                out.insert(key + "\\" + name);
    }
    return out;
}

bool IsDriveIconValue(const std::string &path) {
    return path.find("\\Explorer\\DriveIcons\\") != std::string::npos &&
           (path.size() > 14 &&
            (path.rfind("\\DefaultIcon\\", path.size() - 1) != std::string::npos ||
             path.rfind("\\DefaultLabel\\", path.size() - 1) != std::string::npos));
}

std::string UsbstorInf(const simio::Snapshot &s) {
    for (const auto &[path, digest] : s.files)
        if (path.size() >= 12 && sim::EqualNoCase(path.substr(path.size() - 12), "\\usbstor.inf"))
            return digest;
    return "(absent)";
}

void SetBytes(sim::Machine &m, const std::string &key, const std::string &name,
              const std::string &bytes, DWORD type = REG_SZ) {
    sim::RegValue value;
    value.name = name;
    value.type = type;
    value.data.assign(bytes.begin(), bytes.end());
    m.registry.CreatePath(key).values[name] = value;
}

std::string Sz(const std::string &text) {
    return text + '\0';
}

// Entries at the first and last letters and at the characters after Z,
// every other one marked, each marked one with a subkey of a name too long
// for a 256-byte buffer. (Every position is the hostile machines' test.)
void DriveIcons(sim::Machine &m, int parity) {
    const std::string icons =
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";
    int n = 0;
    for (char c : std::string("AEFZ[]^_`")) {
        const std::string entry = icons + c;
        SetBytes(m, entry + "\\DefaultIcon", "", Sz("icon"));
        SetBytes(m, entry + "\\DefaultLabel", "", Sz("label"));
        if (n++ % 2 != parity) continue;
        m.registry.CreatePath(entry + "\\ZEVDRIVE");
        m.registry.CreatePath(entry + "\\" + std::string(256, 'S'));
    }
}

// The Windows 98 example with much of what the hostile machines hold at
// once: Driver values cut to another key's name, a bare class, one on the
// USB enumerator; instance IDs at and past the buffer; a driver INF with
// 1,000 fields, a quote left open, strings naming each other, a line
// without a comma; drive-icon entries after Z.
void TamperWin98(sim::Machine &m, const fs::path &drive) {
    const std::string enumKey = "HKLM\\Enum\\";
    const std::string classKey = "HKLM\\System\\CurrentControlSet\\Services\\Class\\";
    SetBytes(m, enumKey + "USB\\VID_1234&PID_5678\\5&1A2B3C&0&1", "Driver",
             "HDC\\0000" + std::string(247, '\\') + "Z");
    SetBytes(m, enumKey + "XDISK\\GENERIC\\USB&VID_1234&PID_5679&000100", "Driver", Sz("HDC"));
    SetBytes(m, enumKey + "USB", "Driver", Sz("USB\\0000"));
    const std::pair<std::string, std::string> devices[] = {
        {"XBUS\\DISK\\0001", "HDC\\0012"},
        {"USB\\VID_1234&PID_5678\\" + std::string(231, '9'), "HDC\\0020"},
        {"USB\\VID_1234&PID_5679\\" + std::string(256, 'Z'), "HDC\\0021"},
    };
    for (const auto &[id, driver] : devices) {
        SetBytes(m, enumKey + id, "ClassGUID", Sz("{4D36E96A-E325-11CE-BFC1-08002BE10318}"));
        SetBytes(m, enumKey + id, "Driver", Sz(driver));
        m.registry.CreatePath(classKey + driver);
    }
    std::string inf = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=HDC\r\n"
                      "ClassGUID={4D36E96A-E325-11CE-BFC1-08002BE10318}\r\n"
                      "[Strings]\r\na=\"%b%\"\r\nb=\"%a%\"\r\n[MSOEM01SECTION]\r\n"
                      "X=USBOEM01.Install,USB\\VID_1234&PID_5678\r\n"
                      "X=USBOEM01.Install,\"USB\\VID_1234&PID_5679,USB\\CLASS_08\r\n"
                      "X=USBOEM01.Install,XBUS\\DISK\r\n"
                      "X=USBOEM01.Install,%a%\\M\r\nNoCommaAtAll\r\nX=USBOEM01.Install,XBUS\\DISK";
    for (int field = 3; field <= 1000; ++field)
        inf += ",x";
    std::ofstream(drive / "WINDOWS" / "inf" / "other" / "USBOEM01.inf", std::ios::binary)
        << inf << "\r\n";
    DriveIcons(m, 0);
}

// The Windows 2000 example with control sets named at and past the buffer
// and with format directives, an extra percent sign before the reference
// in usbstor.inf and a stray byte at its end, drive icons after Z.
void TamperWin2000(sim::Machine &m, const fs::path &drive) {
    for (const std::string &set :
         {"B" + std::string(254, 'x'), std::string(256, 'Z'), std::string("%s%n%s%n")})
        SetBytes(m, "HKLM\\SYSTEM\\" + set + "\\Services\\USBSTOR", "ImagePath",
                 Sz("System32\\DRIVERS\\USBSTORSP3.SYS"), REG_EXPAND_SZ);
    const fs::path path = drive / "WINNT" / "inf" / "usbstor.inf";
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string reference("%\0"
                                "1\0"
                                "2\0"
                                "%\0"
                                "\\\0"
                                "U\0",
                                12);
    const size_t at = bytes.find(reference);
    if (at != std::string::npos) bytes.insert(at, std::string("%\0", 2));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes << '\x01';
    DriveIcons(m, 1);
}

TEST(FailureSweep, EveryCallFailingInTurnKeepsThePromise) {
    const std::string classKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";
    struct Machine {
        const char *name;
        const char *example;
        Tamper tamper;
        std::vector<std::string> othersKeys; // other devices' keys a clean run keeps
    };
    const Machine machines[] = {
        {"win98", "win98", nullptr, {}},
        {"win2000-sp4", "win2000-sp4", nullptr, {}},
        {"win2000-sp3", "win2000-sp3", nullptr, {}},
        {"winxp", "winxp", nullptr, {}},
        {"hostile win98",
         "win98",
         TamperWin98,
         {classKey + "HDC\\0000", classKey + "USB\\0000", classKey + "DiskDrive\\0000"}},
        {"hostile win2000-sp4", "win2000-sp4", TamperWin2000, {}},
    };
    size_t runs = 0, invariants = 0;
    for (const Machine &machine : machines) {
        const char *name = machine.name;
        if (!fs::exists(fs::path(EXAMPLES_DIR) / machine.example)) continue;
        ExampleRunner runner(machine.example, machine.tamper);
        RunResult clean = runner.Once(nullptr);
        ASSERT_EQ(clean.exitCode, 0) << name;
        for (const std::string &key : machine.othersKeys)
            EXPECT_TRUE(clean.after.keys.count(key)) << name << ": " << key;
        const auto cleanKeys = Removed(clean.before.keys, clean.after.keys);
        const auto cleanFiles = Removed(clean.before.files, clean.after.files);
        const auto cleanValues = ChangedValues(clean.before, clean.after);
        const std::string oldInf = UsbstorInf(clean.before), newInf = UsbstorInf(clean.after);
        // Keys no run may take away, whatever the registry holds.
        std::vector<std::string> kept;
        for (const auto &[path, values] : clean.before.keys) {
            size_t depth = std::count(path.begin(), path.end(), '\\');
            bool root = path == "HKEY_LOCAL_MACHINE\\Enum" ||
                        path.find("\\Services\\Class") + 15 == path.size() ||
                        path.find("\\Explorer\\DriveIcons") + 20 == path.size() ||
                        (path.rfind("HKEY_LOCAL_MACHINE\\SYSTEM\\", 0) == 0 && depth == 2) ||
                        (path.rfind("HKEY_LOCAL_MACHINE\\System\\", 0) == 0 && depth == 2);
            if (root) kept.push_back(path);
        }
        ASSERT_FALSE(kept.empty());

        // Every call fails in turn; then every call that reports a count or
        // a length reports too few bytes or far too many.
        std::vector<sim::Fault> faults;
        for (std::uint64_t k = 1; k <= clean.calls; ++k) {
            sim::Fault fault;
            fault.sequence = k;
            faults.push_back(fault);
            const std::string &call = clean.names[k - 1];
            if (call == "ReadFile" || call == "WriteFile") {
                fault.effect = sim::Fault::Effect::ShortCount;
                faults.push_back(fault);
            }
            if (call == "RegQueryValueExA" || call == "RegEnumKeyExA" ||
                call == "GetWindowsDirectoryA" || call == "SetFilePointer" ||
                call == "SetupDiGetDeviceInstanceIdA" ||
                call == "SetupDiGetDeviceRegistryPropertyA" || call == "SetupGetLineTextA") {
                fault.effect = sim::Fault::Effect::OversizedLength;
                faults.push_back(fault);
            }
        }
        static const char *const kEffects[] = {"fails", "reports a short count",
                                               "reports an oversized length"};
        for (const sim::Fault &fault : faults) {
            SCOPED_TRACE(std::string(name) + ", call " + std::to_string(fault.sequence) + " (" +
                         clean.names[fault.sequence - 1] + ") " +
                         kEffects[static_cast<int>(fault.effect)]);
            RunResult run = runner.Once(&fault);
            ++runs;
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_LE(run.messages.size(), 1u);
            for (const auto &box : run.messages) {
                EXPECT_EQ(box.text, "UnInstall finished!");
                EXPECT_EQ(box.caption, " Success!");
            }
            for (const auto &key : Removed(run.before.keys, run.after.keys))
                EXPECT_TRUE(cleanKeys.count(key)) << "deleted " << key;
            for (const auto &file : Removed(run.before.files, run.after.files))
                EXPECT_TRUE(cleanFiles.count(file)) << "deleted " << file;
            // A handle that fails to close keeps its file open, so the
            // patcher's temporary file is the one thing such a run may leave.
            for (const auto &[path, digest] : run.after.files)
                EXPECT_TRUE(
                    run.before.files.count(path) ||
                    (run.failedCall == "CloseHandle" && path.find("\\~wt") != std::string::npos))
                    << "left behind " << path;
            for (const auto &value : ChangedValues(run.before, run.after))
                EXPECT_TRUE(cleanValues.count(value) || IsDriveIconValue(value))
                    << "changed " << value;
            std::string inf = UsbstorInf(run.after);
            EXPECT_TRUE(inf == oldInf || inf == newInf) << "usbstor.inf is " << inf;
            for (const auto &key : kept)
                EXPECT_TRUE(run.after.keys.count(key)) << key;
            invariants += 8 + kept.size();
        }
    }
    std::printf("failure sweep: %zu runs, %zu invariants checked\n", runs, invariants);
    EXPECT_GT(runs, 0u);
}

} // namespace
