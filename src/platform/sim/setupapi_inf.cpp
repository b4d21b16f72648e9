// setupapi INF and setup-class functions over the simulated machine's files
// and registry.
#include "platform/sim/api_call.h"
#include "platform/sim/guid.h"
#include "platform/sim/inf_file.h"
#include "platform/sim/win32_api.h"

#include <cstring>
#include <fstream>
#include <iterator>

using namespace sim;

namespace {

std::string HandleText(HINF inf) {
    return inf == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE"
                                       : Hex(reinterpret_cast<std::uintptr_t>(inf));
}

const InfFile *InfOf(Machine &m, HINF inf) {
    auto it = m.openInfs.find(reinterpret_cast<std::uintptr_t>(inf));
    return it == m.openInfs.end() ? nullptr : it->second.get();
}

// Reads and parses an INF. A bare file name is looked for in the INF
// directory, as setupapi does. Returns a setupapi or file error.
DWORD LoadInf(Machine &m, const char *path, InfFile &inf, std::string &found, unsigned &errorLine) {
    std::string name = path;
    if (name.find_first_of("\\/") == std::string::npos)
        name = m.windowsDirectory + "\\inf\\" + name;
    ResolvedPath entry;
    if (DWORD error = m.files.Resolve(name, entry)) return error;
    if (!entry.exists) return ERROR_FILE_NOT_FOUND;
    if (entry.directory) return ERROR_ACCESS_DENIED;
    if (m.files.lockedByOthers.count(entry.windows)) return ERROR_SHARING_VIOLATION;
    std::ifstream in(entry.host, std::ios::binary);
    if (!in) return ERROR_ACCESS_DENIED;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    found = entry.windows;
    DWORD error = 0;
    if (!inf.Parse(InfText(bytes), error, errorLine)) return error;
    return ERROR_SUCCESS;
}

// The setup classes every Windows knows without asking the registry.
struct StandardClass {
    const char *name;
    const char *guid;
};
const StandardClass kStandardClasses[] = {
    {"1394", "{6BDD1FC1-810F-11D0-BEC7-08002BE2092F}"},
    {"Battery", "{72631E54-78A4-11D0-BCF7-00AA00B7B32A}"},
    {"CDROM", "{4D36E965-E325-11CE-BFC1-08002BE10318}"},
    {"Computer", "{4D36E966-E325-11CE-BFC1-08002BE10318}"},
    {"DiskDrive", "{4D36E967-E325-11CE-BFC1-08002BE10318}"},
    {"Display", "{4D36E968-E325-11CE-BFC1-08002BE10318}"},
    {"FDC", "{4D36E969-E325-11CE-BFC1-08002BE10318}"},
    {"FloppyDisk", "{4D36E980-E325-11CE-BFC1-08002BE10318}"},
    {"HDC", "{4D36E96A-E325-11CE-BFC1-08002BE10318}"},
    {"HIDClass", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
    {"Image", "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"},
    {"Infrared", "{6BDD1FC5-810F-11D0-BEC7-08002BE2092F}"},
    {"Keyboard", "{4D36E96B-E325-11CE-BFC1-08002BE10318}"},
    {"MEDIA", "{4D36E96C-E325-11CE-BFC1-08002BE10318}"},
    {"Modem", "{4D36E96D-E325-11CE-BFC1-08002BE10318}"},
    {"Monitor", "{4D36E96E-E325-11CE-BFC1-08002BE10318}"},
    {"Mouse", "{4D36E96F-E325-11CE-BFC1-08002BE10318}"},
    {"MTD", "{4D36E970-E325-11CE-BFC1-08002BE10318}"},
    {"MultiFunction", "{4D36E971-E325-11CE-BFC1-08002BE10318}"},
    {"Net", "{4D36E972-E325-11CE-BFC1-08002BE10318}"},
    {"NetClient", "{4D36E973-E325-11CE-BFC1-08002BE10318}"},
    {"NetService", "{4D36E974-E325-11CE-BFC1-08002BE10318}"},
    {"NetTrans", "{4D36E975-E325-11CE-BFC1-08002BE10318}"},
    {"PCMCIA", "{4D36E977-E325-11CE-BFC1-08002BE10318}"},
    {"Ports", "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
    {"Printer", "{4D36E979-E325-11CE-BFC1-08002BE10318}"},
    {"SCSIAdapter", "{4D36E97B-E325-11CE-BFC1-08002BE10318}"},
    {"System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
    {"TapeDrive", "{6D807884-7D21-11CF-801C-08002BE10318}"},
    {"Unknown", "{4D36E97E-E325-11CE-BFC1-08002BE10318}"},
    {"USB", "{36FC9E60-C465-11CF-8056-444553540000}"},
    {"Volume", "{71A27CDD-812A-11D0-BEC7-08002BE2092F}"},
};

std::string StringValue(const RegKey &key, const char *name) {
    auto it = key.values.find(name);
    if (it == key.values.end() || (it->second.type != REG_SZ && it->second.type != REG_EXPAND_SZ))
        return {};
    std::string s(it->second.data.begin(), it->second.data.end());
    return s.substr(0, s.find('\0'));
}

// A registered setup class: its name and GUID.
struct ClassEntry {
    std::string name;
    GUID guid{};
};

// Classes registered on the machine. Windows NT keys them by GUID under
// Control\Class, with the name in the Class value. Windows 98 keys them by
// name under Services\Class; such a key holds a GUID only in a ClassGUID
// value, which the device installer writes when it installs a class from an
// INF that gives one, so a class key without it adds no GUID here (the
// standard classes are known without the registry).
std::vector<ClassEntry> RegisteredClasses(const Machine &m) {
    std::vector<ClassEntry> classes;
    if (m.IsWin9x()) {
        RegKey *root =
            m.registry.FindPath("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class");
        for (size_t i = 0; root && root->ChildAt(i); ++i) {
            const RegKey &key = *root->ChildAt(i);
            ClassEntry c{key.name, {}};
            if (ParseGuid(StringValue(key, "ClassGUID"), c.guid)) classes.push_back(c);
        }
    } else {
        RegKey *root =
            m.registry.FindPath("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class");
        for (size_t i = 0; root && root->ChildAt(i); ++i) {
            const RegKey &key = *root->ChildAt(i);
            ClassEntry c{StringValue(key, "Class"), {}};
            if (!c.name.empty() && ParseGuid(key.name, c.guid)) classes.push_back(c);
        }
    }
    return classes;
}

// Every class of that name, standard ones first, each GUID once.
std::vector<GUID> ClassGuidsOf(const Machine &m, const std::string &name) {
    std::vector<GUID> guids;
    auto add = [&](const GUID &g) {
        for (const GUID &known : guids)
            if (SameGuid(known, g)) return;
        guids.push_back(g);
    };
    for (const StandardClass &c : kStandardClasses) {
        GUID g;
        if (EqualNoCase(name, c.name) && ParseGuid(c.guid, g)) add(g);
    }
    for (const ClassEntry &c : RegisteredClasses(m))
        if (EqualNoCase(name, c.name)) add(c.guid);
    return guids;
}

std::string ClassNameOf(const Machine &m, const GUID &guid) {
    for (const StandardClass &c : kStandardClasses) {
        GUID g;
        if (ParseGuid(c.guid, g) && SameGuid(g, guid)) return c.name;
    }
    for (const ClassEntry &c : RegisteredClasses(m))
        if (SameGuid(c.guid, guid)) return c.name;
    return {};
}

} // namespace

HINF WINAPI SetupOpenInfFileA(PCSTR path, PCSTR infClass, DWORD style, PUINT errorLine) {
    ApiCall call("SetupOpenInfFileA", Quote(path), Quote(infClass), Hex(style), Ptr(errorLine));
    if (errorLine) *errorLine = 0;
    if (!path) return call.InvalidHandle(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_FILE_NOT_FOUND)) return call.InvalidHandle(*error);
    auto inf = std::make_shared<InfFile>();
    std::string found;
    unsigned line = 0;
    if (DWORD error = LoadInf(call.m, path, *inf, found, line)) {
        if (errorLine) *errorLine = line;
        return call.InvalidHandle(error);
    }
    // Asked for a Windows 4.0 INF, the file has to say it is one.
    if ((style & INF_STYLE_WIN4) && !inf->HasWin4Signature())
        return call.InvalidHandle(ERROR_WRONG_INF_STYLE);
    if (infClass) {
        auto name = inf->Value("Version", "Class");
        if (!name || !EqualNoCase(*name, infClass)) return call.InvalidHandle(ERROR_CLASS_MISMATCH);
    }
    std::uintptr_t h = call.m.NewHandle();
    size_t sections = inf->Sections().size();
    call.m.openInfs[h] = std::move(inf);
    return call.Handle(reinterpret_cast<HINF>(h),
                       found + ", " + Num(static_cast<std::int64_t>(sections)) + " sections");
}

BOOL WINAPI SetupGetLineByIndexA(HINF inf, PCSTR section, DWORD index, PINFCONTEXT context) {
    ApiCall call("SetupGetLineByIndexA", HandleText(inf), Quote(section), Num(index), Ptr(context));
    if (auto error = call.Injected(ERROR_LINE_NOT_FOUND)) return call.Fail(*error);
    const InfFile *file = InfOf(call.m, inf);
    if (!file) return call.Fail(ERROR_INVALID_HANDLE);
    if (!section || !context) return call.Fail(ERROR_INVALID_PARAMETER);
    const auto &sections = file->Sections();
    for (size_t s = 0; s < sections.size(); ++s) {
        if (!EqualNoCase(sections[s].name, section)) continue;
        if (index >= sections[s].lines.size()) break;
        context->Inf = context->CurrentInf = inf;
        context->Section = static_cast<UINT>(s);
        context->Line = index;
        return call.Ok(Quote(file->LineText(sections[s].lines[index]).c_str()));
    }
    return call.Fail(ERROR_LINE_NOT_FOUND);
}

BOOL WINAPI SetupGetLineTextA(PINFCONTEXT context, HINF inf, PCSTR section, PCSTR key, PSTR buffer,
                              DWORD bufferSize, PDWORD requiredSize) {
    ApiCall call("SetupGetLineTextA", Ptr(context), inf ? HandleText(inf) : "NULL", Quote(section),
                 Quote(key), Ptr(buffer), Num(bufferSize), Ptr(requiredSize));
    if (auto error = call.Injected(ERROR_LINE_NOT_FOUND)) return call.Fail(*error);
    const InfFile *file = InfOf(call.m, context ? context->CurrentInf : inf);
    if (!file) return call.Fail(ERROR_INVALID_HANDLE);
    const InfLine *line = nullptr;
    if (context) {
        const auto &sections = file->Sections();
        if (context->Section < sections.size() &&
            context->Line < sections[context->Section].lines.size())
            line = &sections[context->Section].lines[context->Line];
    } else {
        if (!section || !key) return call.Fail(ERROR_INVALID_PARAMETER);
        const InfSection *s = file->Section(section);
        line = s ? file->FindLine(*s, key) : nullptr;
    }
    if (!line) return call.Fail(ERROR_LINE_NOT_FOUND);
    std::string text = file->LineText(*line);
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (buffer) {
        if (bufferSize < needed) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, text.c_str(), needed);
    }
    if (requiredSize && call.OversizedLength()) *requiredSize = ApiCall::kOversized;
    return call.Ok(Quote(text.c_str()));
}

void WINAPI SetupCloseInfFile(HINF inf) {
    ApiCall call("SetupCloseInfFile", HandleText(inf));
    if (call.Injected(ERROR_INVALID_HANDLE)) {
        call.Value(0, "not closed");
        return;
    }
    bool closed = call.m.openInfs.erase(reinterpret_cast<std::uintptr_t>(inf)) > 0;
    call.Value(0, closed ? "closed" : "not an open INF");
}

// The class of an INF from its [Version] section. The INF must be a Windows
// 4.0 one. With only a ClassGUID the name is that of the class registered
// under it (empty when none is); with only a Class the GUID is the first
// class of that name (GUID_NULL when none is).
BOOL WINAPI SetupDiGetINFClassA(PCSTR infPath, LPGUID classGuid, PSTR className,
                                DWORD classNameSize, PDWORD requiredSize) {
    ApiCall call("SetupDiGetINFClassA", Quote(infPath), Ptr(classGuid), Ptr(className),
                 Num(classNameSize), Ptr(requiredSize));
    if (!infPath || !classGuid || (!className && classNameSize))
        return call.Fail(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_FILE_NOT_FOUND)) return call.Fail(*error);
    InfFile inf;
    std::string found;
    unsigned line = 0;
    if (DWORD error = LoadInf(call.m, infPath, inf, found, line)) return call.Fail(error);
    if (!inf.HasWin4Signature()) return call.Fail(ERROR_WRONG_INF_STYLE);
    auto name = inf.Value("Version", "Class");
    auto guidText = inf.Value("Version", "ClassGUID");
    if (!name && !guidText) return call.Fail(ERROR_INVALID_CLASS);
    GUID guid{};
    if (guidText && !ParseGuid(*guidText, guid)) return call.Fail(ERROR_INVALID_PARAMETER);
    if (!guidText) {
        auto guids = ClassGuidsOf(call.m, *name);
        if (!guids.empty()) guid = guids[0];
    }
    std::string text = name ? *name : ClassNameOf(call.m, guid);
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (classNameSize < needed) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(className, text.c_str(), needed);
    *classGuid = guid;
    return call.Ok(Quote(text.c_str()) + " " + GuidText(guid));
}

// Succeeds with no GUID for a name no class bears, as Windows does; fails
// only when more classes bear it than the list holds.
BOOL WINAPI SetupDiClassGuidsFromNameExA(PCSTR className, LPGUID guids, DWORD guidsSize,
                                         PDWORD requiredSize, PCSTR machine, PVOID reserved) {
    ApiCall call("SetupDiClassGuidsFromNameExA", Quote(className), Ptr(guids), Num(guidsSize),
                 Ptr(requiredSize), Quote(machine), Ptr(reserved));
    if (!className || reserved || (!guids && guidsSize)) return call.Fail(ERROR_INVALID_PARAMETER);
    if (machine && *machine) return call.Fail(ERROR_INVALID_MACHINENAME);
    if (auto error = call.Injected(ERROR_INVALID_CLASS)) return call.Fail(*error);
    std::vector<GUID> found = ClassGuidsOf(call.m, className);
    std::string shown;
    for (size_t i = 0; i < found.size(); ++i) {
        if (i < guidsSize) guids[i] = found[i];
        shown += (i ? " " : "") + GuidText(found[i]);
    }
    if (requiredSize) *requiredSize = static_cast<DWORD>(found.size());
    if (found.size() > guidsSize) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    return call.Ok(found.empty() ? "no class" : shown);
}
