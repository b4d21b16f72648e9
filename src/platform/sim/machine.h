// The simulated Windows machine behind the Win32 names of win32_api.h. A test
// or the simulator builds one, installs it, and runs the program against it.
#pragma once

#include "platform/sim/calls.h"
#include "platform/sim/files.h"
#include "platform/sim/registry.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

class InfFile;

struct VersionRecord {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 5;
    DWORD minor = 0;
    DWORD build = 2195;
    std::string servicePack;
};

struct TopLevelWindow {
    std::string className;
    std::string title;
    bool open = true;
    std::vector<UINT> received; // messages sent to it
};

struct MessageBoxShown {
    std::string text;
    std::string caption;
    UINT type = 0;
};

struct ProcessStarted {
    std::string verb;
    std::string file;
    std::string parameters;
    INT show = 0;
};

// Where Windows Installer registers the products it has installed.
inline constexpr const char *kUninstallKey =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

class Machine {
  public:
    Machine();

    VersionRecord version;
    std::string windowsDirectory = "C:\\WINDOWS";
    Registry registry;
    FileSystem files;
    std::vector<TopLevelWindow> windows;
    // Device instance IDs (as stored under Enum) that are installed but not present.
    std::set<std::string, CaseLess> absentDevices;

    std::vector<MessageBoxShown> messageBoxes;
    std::vector<ProcessStarted> processes;
    CallLog calls;

    bool IsWin9x() const { return version.platformId == VER_PLATFORM_WIN32_WINDOWS; }
    DeleteSemantics RegistryDeletes() const {
        return IsWin9x() ? DeleteSemantics::WholeTree : DeleteSemantics::RefuseWithSubkeys;
    }
    // The key under which the device installer keeps its devices.
    std::string EnumRoot() const {
        return IsWin9x() ? "HKEY_LOCAL_MACHINE\\Enum"
                         : "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum";
    }

    // State of the running program: last error and handle tables.
    DWORD lastError = 0;

    struct OpenKey {
        std::shared_ptr<RegKey> key; // keeps a deleted key alive while open
    };
    struct OpenFile {
        int fd = -1;
        std::string path; // Windows path as resolved
        DWORD access = 0;
        DWORD share = 0;
    };
    struct OpenFind {
        std::vector<std::string> remaining;
    };
    std::map<std::uintptr_t, OpenKey> openKeys;
    std::map<std::uintptr_t, OpenFile> openFiles;
    std::map<std::uintptr_t, OpenFind> openFinds;
    struct ListedDevice {
        std::string instanceId; // as stored under the Enum key
        GUID classGuid{};
        bool removed = false;
    };
    std::map<std::uintptr_t, std::vector<ListedDevice>> deviceSets;
    std::map<std::uintptr_t, std::shared_ptr<const InfFile>> openInfs;
    std::uintptr_t NewHandle() { return nextHandle_ += 4; }

    // Registry handle to key, following predefined roots; null when invalid.
    RegKey *KeyOf(HKEY handle);
    HKEY OpenHandle(RegKey &key);
    std::shared_ptr<RegKey> Shared(RegKey &key);

    // Closes every handle the program left open (host descriptors included).
    void CloseAll();
    ~Machine();

  private:
    std::uintptr_t nextHandle_ = 0x1000;
};

// The machine that the Win32 names act on. Install(nullptr) detaches it.
void Install(Machine *machine);
Machine &Current();

} // namespace sim
