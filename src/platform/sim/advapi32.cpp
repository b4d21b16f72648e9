// Registry functions of advapi32 over the simulated registry.
#include "platform/sim/api_call.h"
#include "platform/sim/win32_api.h"

#include <cstring>

using namespace sim;

namespace sim {

std::string KeyText(HKEY key) {
    Machine &m = Current();
    RegKey *k = m.KeyOf(key);
    if (!k) return Hex(reinterpret_cast<std::uintptr_t>(key));
    std::string path = k->Path();
    static const std::pair<const char *, const char *> kShort[] = {{"HKEY_LOCAL_MACHINE", "HKLM"},
                                                                   {"HKEY_CURRENT_USER", "HKCU"},
                                                                   {"HKEY_CLASSES_ROOT", "HKCR"},
                                                                   {"HKEY_USERS", "HKU"}};
    for (const auto &[full, abbreviation] : kShort)
        if (path.rfind(full, 0) == 0) path = abbreviation + path.substr(std::strlen(full));
    return k->deleted ? path + " (deleted)" : path;
}

} // namespace sim

namespace {

// The key behind a handle, or the error Windows gives for it.
LONG Resolve(Machine &m, HKEY handle, RegKey **key) {
    *key = m.KeyOf(handle);
    if (!*key) return ERROR_INVALID_HANDLE;
    if ((*key)->deleted) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

LONG EnumKey(ApiCall &call, HKEY key, DWORD index, LPSTR name, DWORD capacity, DWORD *length) {
    RegKey *k;
    if (LONG status = Resolve(call.m, key, &k)) return call.Status(status);
    RegKey *child = k->ChildAt(index);
    if (!child) return call.Status(ERROR_NO_MORE_ITEMS);
    if (!name || child->name.size() + 1 > capacity) return call.Status(ERROR_MORE_DATA);
    std::memcpy(name, child->name.c_str(), child->name.size() + 1);
    if (length)
        *length =
            call.OversizedLength() ? ApiCall::kOversized : static_cast<DWORD>(child->name.size());
    return call.Status(ERROR_SUCCESS, Quote(child->name.c_str()));
}

} // namespace

LONG WINAPI RegOpenKeyA(HKEY parent, LPCSTR subKey, PHKEY result) {
    ApiCall call("RegOpenKeyA", KeyText(parent), Quote(subKey), Ptr(result));
    if (!result) return call.Status(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Status(*error);
    RegKey *from;
    if (LONG status = Resolve(call.m, parent, &from)) return call.Status(status);
    if (!subKey || !*subKey) {
        *result = parent; // the same handle comes back
        return call.Status(ERROR_SUCCESS, KeyText(parent));
    }
    RegKey *found;
    if (LONG status = call.m.registry.Find(*from, subKey, &found)) return call.Status(status);
    *result = call.m.OpenHandle(*found);
    return call.Status(ERROR_SUCCESS, KeyText(*result));
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    ApiCall call("RegEnumKeyA", KeyText(key), Num(index), Ptr(name), Num(nameSize));
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Status(*error);
    return EnumKey(call, key, index, name, nameSize, nullptr);
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                          LPSTR className, LPDWORD classSize, PFILETIME lastWrite) {
    ApiCall call("RegEnumKeyExA", KeyText(key), Num(index), Ptr(name),
                 nameSize ? Num(*nameSize) : "NULL", Ptr(reserved), Ptr(className), Ptr(classSize),
                 Ptr(lastWrite));
    if (!nameSize || reserved) return call.Status(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Status(*error);
    LONG status = EnumKey(call, key, index, name, *nameSize, nameSize);
    if (status == ERROR_SUCCESS) {
        if (className && classSize && *classSize) className[0] = '\0';
        if (classSize) *classSize = 0;
        if (lastWrite) *lastWrite = FILETIME{0, 0};
    }
    return status;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
    ApiCall call("RegQueryValueExA", KeyText(key), Quote(name), Ptr(reserved), Ptr(type), Ptr(data),
                 dataSize ? Num(*dataSize) : "NULL");
    if (reserved || (data && !dataSize)) return call.Status(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_FILE_NOT_FOUND)) return call.Status(*error);
    RegKey *k;
    if (LONG status = Resolve(call.m, key, &k)) return call.Status(status);
    auto it = k->values.find(name ? name : "");
    if (it == k->values.end()) return call.Status(ERROR_FILE_NOT_FOUND);
    const RegValue &value = it->second;
    if (type) *type = value.type;
    DWORD needed = static_cast<DWORD>(value.data.size());
    if (data && needed > *dataSize) {
        *dataSize = needed;
        return call.Status(ERROR_MORE_DATA, "needs " + Num(needed));
    }
    if (data && needed) std::memcpy(data, value.data.data(), needed);
    if (dataSize) *dataSize = call.OversizedLength() ? ApiCall::kOversized : needed;
    return call.Status(ERROR_SUCCESS, ValueText(value));
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD dataSize) {
    ApiCall call("RegSetValueExA", KeyText(key), Quote(name), Num(reserved), Num(type), Ptr(data),
                 Num(dataSize));
    // Windows 9x measures a REG_SZ itself, up to and with its terminator,
    // whatever length it is given; without text it has nothing to measure.
    if (call.m.IsWin9x() && type == REG_SZ) {
        if (!data) return call.Status(ERROR_INVALID_PARAMETER);
        dataSize = static_cast<DWORD>(std::strlen(reinterpret_cast<const char *>(data)) + 1);
    }
    if (!data && dataSize) return call.Status(ERROR_NOACCESS);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Status(*error);
    RegKey *k;
    if (LONG status = Resolve(call.m, key, &k)) return call.Status(status);
    RegValue value;
    value.name = name ? name : "";
    value.type = type;
    if (dataSize) value.data.assign(data, data + dataSize);
    std::string shown = ValueText(value);
    call.m.registry.Changing(*k);
    k->values[value.name] = std::move(value);
    return call.Status(ERROR_SUCCESS, shown);
}

LONG WINAPI RegDeleteKeyA(HKEY parent, LPCSTR subKey) {
    ApiCall call("RegDeleteKeyA", KeyText(parent), Quote(subKey));
    if (!subKey) return call.Status(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Status(*error);
    RegKey *from;
    if (LONG status = Resolve(call.m, parent, &from)) return call.Status(status);
    RegKey *target;
    if (LONG status = call.m.registry.Find(*from, subKey, &target)) return call.Status(status);
    std::string path = target->Path();
    LONG status = call.m.registry.Delete(*target, call.m.RegistryDeletes());
    return call.Status(status, path);
}

LONG WINAPI RegCloseKey(HKEY key) {
    ApiCall call("RegCloseKey", KeyText(key));
    if (auto error = call.Injected(ERROR_INVALID_HANDLE)) return call.Status(*error);
    if (call.m.registry.Root(key)) return call.Status(ERROR_SUCCESS);
    auto erased = call.m.openKeys.erase(reinterpret_cast<std::uintptr_t>(key));
    return call.Status(erased ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}
