#include "save_machine.h"

#include "machine_dir.h"
#include "machine_file.h"
#include "reg_file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace simio {

bool SaveMachine(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
                 std::string &error, const SaveObserver &observe) {
    // Anything else a person keeps in the folder stays.
    auto keep = [](const std::string &name) {
        return !sim::EqualNoCase(name, "drive_c") && !sim::EqualNoCase(name, "registry.reg") &&
               !sim::EqualNoCase(name, "machine.txt");
    };
    auto fill = [&](const fs::path &into, std::string &message) {
        return CopyTree(driveRoot, into / "drive_c", true, message, observe) &&
               WriteNewFile(into / "registry.reg", WriteRegFile(m.registry, info.registryFormat),
                            message, observe) &&
               WriteNewFile(into / "machine.txt", WriteMachineFile(m, info), message, observe);
    };
    return ReplaceFolder(info.dir, keep, fill, error, observe);
}

bool SaveMachineAs(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
                   const fs::path &dir, std::string &error) {
    std::error_code ec;
    fs::path target = fs::absolute(dir, ec).lexically_normal();
    if (!target.has_filename()) target = target.parent_path();
    fs::create_directories(target.parent_path(), ec);
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".saving-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        error = target.parent_path().string() + ": cannot make a folder";
        return false;
    }
    fs::path fresh = pattern;
    ::chmod(fresh.c_str(), 0755);
    bool ok = CopyTree(driveRoot, fresh / "drive_c", true, error) &&
              WriteNewFile(fresh / "registry.reg", WriteRegFile(m.registry, info.registryFormat),
                           error) &&
              WriteNewFile(fresh / "machine.txt", WriteMachineFile(m, info), error);
    // rename() replaces an empty folder and nothing else.
    if (ok && ::rename(fresh.c_str(), target.c_str()) != 0) {
        error = target.string() + ": cannot put the machine there";
        ok = false;
    }
    if (!ok) fs::remove_all(fresh, ec);
    return ok;
}

} // namespace simio
