#include "test_machine.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

TestMachine::TestMachine() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "uninstall-test-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "WINDOWS");
    files.MapDrive('C', root_);
    sim::Install(this);
}

TestMachine::~TestMachine() {
    CloseAll();
    sim::Install(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void TestMachine::Win98(sim::Machine &m) {
    m.version = {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1998, " A "};
    m.windowsDirectory = "C:\\WINDOWS";
}

void TestMachine::Win2000(sim::Machine &m, const std::string &servicePack) {
    m.version = {VER_PLATFORM_WIN32_NT, 5, 0, 2195, servicePack};
    m.windowsDirectory = "C:\\WINDOWS";
}

std::filesystem::path TestMachine::Host(const std::string &windowsPath) const {
    std::string rest = windowsPath.substr(windowsPath.rfind(':', 2) == 1 ? 2 : 0);
    std::filesystem::path p = root_;
    std::stringstream in(rest);
    std::string part;
    while (std::getline(in, part, '\\'))
        if (!part.empty()) p /= part;
    return p;
}

void TestMachine::WriteFile(const std::string &windowsPath, const std::string &bytes) {
    auto path = Host(windowsPath);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string TestMachine::ReadFile(const std::string &windowsPath) const {
    std::ifstream in(Host(windowsPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool TestMachine::Exists(const std::string &windowsPath) const {
    return std::filesystem::exists(Host(windowsPath));
}

void TestMachine::SetString(const std::string &keyPath, const std::string &name,
                            const std::string &text, DWORD type) {
    Key(keyPath).values[name] = sim::MakeString(name, text, type);
}

void TestMachine::SetDword(const std::string &keyPath, const std::string &name, DWORD value) {
    Key(keyPath).values[name] = sim::MakeDword(name, value);
}

std::string TestMachine::Value(const std::string &keyPath, const std::string &name) const {
    sim::RegKey *key = registry.FindPath(keyPath);
    if (!key) return {};
    auto it = key->values.find(name);
    return it == key->values.end() ? std::string() : sim::ValueText(it->second);
}

std::vector<std::string> TestMachine::CallsTo(const std::string &name) const {
    std::vector<std::string> out;
    for (const auto &record : calls.Named(name))
        out.push_back(record.Text());
    return out;
}

void TestMachine::Fail(const std::string &name, DWORD error, unsigned occurrence,
                       const std::string &argContains) {
    sim::Fault fault;
    fault.name = name;
    fault.error = error;
    fault.occurrence = occurrence;
    fault.argContains = argContains;
    calls.AddFault(fault);
}
