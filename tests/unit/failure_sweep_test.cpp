// Whatever call fails, the uninstaller keeps its promise: exit code 0, no
// text but the final message, nothing deleted or changed that a clean run
// would leave alone, and usbstor.inf either as it was or exactly patched.
#include "machine_dir.h"
#include "report.h"

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

class ExampleRunner {
  public:
    explicit ExampleRunner(const std::string &name) : source_(fs::path(EXAMPLES_DIR) / name) {
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

TEST(FailureSweep, EveryCallFailingInTurnKeepsThePromise) {
    const char *examples[] = {"win98", "win2000-sp4", "win2000-sp3", "winxp"};
    size_t runs = 0, invariants = 0;
    for (const char *name : examples) {
        if (!fs::exists(fs::path(EXAMPLES_DIR) / name)) continue;
        ExampleRunner runner(name);
        RunResult clean = runner.Once(nullptr);
        ASSERT_EQ(clean.exitCode, 0) << name;
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
