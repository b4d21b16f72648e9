#include "save_machine.h"

#include "machine_dir.h"
#include "machine_file.h"
#include "reg_file.h"

namespace fs = std::filesystem;

namespace simio {

namespace {

bool Fill(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
          const fs::path &into, std::string &error, const SaveObserver &observe) {
    return CopyTree(driveRoot, into / "drive_c", true, error, observe) &&
           WriteNewFile(into / "registry.reg", WriteRegFile(m.registry, info.registryFormat), error,
                        observe) &&
           WriteNewFile(into / "machine.txt", WriteMachineFile(m, info), error, observe);
}

} // namespace

bool SaveMachine(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
                 std::string &error, const SaveObserver &observe) {
    // Anything else a person keeps in the folder stays.
    auto keep = [](const std::string &name) {
        return !sim::EqualNoCase(name, "drive_c") && !sim::EqualNoCase(name, "registry.reg") &&
               !sim::EqualNoCase(name, "machine.txt");
    };
    auto fill = [&](const fs::path &into, std::string &message) {
        return Fill(m, info, driveRoot, into, message, observe);
    };
    return ReplaceFolder(info.dir, keep, fill, error, observe);
}

bool SaveMachineAs(const sim::Machine &m, const MachineDir &info, const fs::path &driveRoot,
                   const fs::path &dir, std::string &error) {
    auto fill = [&](const fs::path &into, std::string &message) {
        return Fill(m, info, driveRoot, into, message, {});
    };
    return BuildFolder(dir,
                       {"saving", false, "cannot make a folder", "cannot put the machine there"},
                       fill, error);
}

} // namespace simio
