#include "platform/sim/machine.h"

#include "platform/sim/inf_file.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace sim {

namespace {
Machine *g_machine = nullptr;
}

void Install(Machine *machine) {
    g_machine = machine;
}

Machine &Current() {
    if (!g_machine) {
        std::fprintf(stderr, "simulated Windows call with no machine installed\n");
        std::abort();
    }
    return *g_machine;
}

Machine::Machine() = default;

Machine::~Machine() {
    CloseAll();
    if (g_machine == this) g_machine = nullptr;
}

RegKey *Machine::KeyOf(HKEY handle) {
    if (RegKey *root = registry.Root(handle)) return root;
    auto it = openKeys.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == openKeys.end() ? nullptr : it->second.key.get();
}

std::shared_ptr<RegKey> Machine::Shared(RegKey &key) {
    if (!key.parent) {
        for (const auto &root : registry.Roots())
            if (root.get() == &key) return root;
    }
    auto it = key.parent->subkeys.find(key.name);
    return it != key.parent->subkeys.end() ? it->second : nullptr;
}

HKEY Machine::OpenHandle(RegKey &key) {
    std::uintptr_t h = NewHandle();
    openKeys[h] = OpenKey{Shared(key)};
    return reinterpret_cast<HKEY>(h);
}

void Machine::CloseAll() {
    for (auto &entry : openFiles)
        if (entry.second.fd >= 0) ::close(entry.second.fd);
    openFiles.clear();
    openKeys.clear();
    openFinds.clear();
    deviceSets.clear();
    openInfs.clear();
}

} // namespace sim
