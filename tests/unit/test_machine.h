// A simulated machine for one test: its drive C: is a fresh host directory,
// and it is the machine the Win32 names act on until the test ends.
#pragma once

#include "platform/sim/machine.h"

#include <filesystem>
#include <string>
#include <vector>

class TestMachine : public sim::Machine {
  public:
    // Windows 98 (4.10) or Windows 2000 (5.0) with the given service pack.
    static void Win98(sim::Machine &m);
    static void Win2000(sim::Machine &m, const std::string &servicePack);

    TestMachine();
    ~TestMachine();

    // Host path of a Windows path on drive C:.
    std::filesystem::path Host(const std::string &windowsPath) const;
    void WriteFile(const std::string &windowsPath, const std::string &bytes);
    std::string ReadFile(const std::string &windowsPath) const;
    bool Exists(const std::string &windowsPath) const;

    // Registry by full path (HKLM\... or HKEY_LOCAL_MACHINE\...).
    void SetString(const std::string &keyPath, const std::string &name, const std::string &text,
                   DWORD type = REG_SZ);
    void SetDword(const std::string &keyPath, const std::string &name, DWORD value);
    sim::RegKey &Key(const std::string &keyPath) { return registry.CreatePath(keyPath); }
    bool HasKey(const std::string &keyPath) const { return registry.FindPath(keyPath) != nullptr; }
    // The value's text as ValueText gives it, or "" when absent.
    std::string Value(const std::string &keyPath, const std::string &name) const;

    // Texts of the recorded calls of one name, "Name(args) = result".
    std::vector<std::string> CallsTo(const std::string &name) const;
    void Fail(const std::string &name, DWORD error = 0, unsigned occurrence = 0,
              const std::string &argContains = {});

  private:
    std::filesystem::path root_;
};
