// setupapi device functions. As on Windows, the devices are the registry's:
// a device is a key three levels below the Enum key (enumerator, device,
// instance) whose ClassGUID value names its setup class.
#include "platform/sim/api_call.h"
#include "platform/sim/guid.h"
#include "platform/sim/win32_api.h"

#include <cstring>

using namespace sim;

namespace {

std::string HandleText(HDEVINFO set) {
    return Hex(reinterpret_cast<std::uintptr_t>(set));
}

std::vector<Machine::ListedDevice> *SetOf(Machine &m, HDEVINFO set) {
    auto it = m.deviceSets.find(reinterpret_cast<std::uintptr_t>(set));
    return it == m.deviceSets.end() ? nullptr : &it->second;
}

// The listed device an element refers to, or the error Windows gives. Only
// SetupDiEnumDeviceInfo answers a wrong cbSize with ERROR_INVALID_USER_BUFFER;
// the functions that take an element already filled call it a bad parameter.
DWORD ElementOf(Machine &m, HDEVINFO set, PSP_DEVINFO_DATA data, Machine::ListedDevice **device) {
    auto *devices = SetOf(m, set);
    if (!devices) return ERROR_INVALID_HANDLE;
    if (!data) return ERROR_INVALID_PARAMETER;
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_PARAMETER;
    if (data->Reserved == 0 || data->Reserved > devices->size()) return ERROR_INVALID_PARAMETER;
    *device = &(*devices)[data->Reserved - 1];
    return (*device)->removed ? ERROR_NO_SUCH_DEVINST : ERROR_SUCCESS;
}

RegKey *DeviceKey(Machine &m, const Machine::ListedDevice &device) {
    return m.registry.FindPath(m.EnumRoot() + "\\" + device.instanceId);
}

std::string ClassRoot(const Machine &m) {
    return m.IsWin9x() ? "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"
                       : "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class";
}

bool IsString(const RegValue &value) {
    return value.type == REG_SZ || value.type == REG_EXPAND_SZ;
}

std::string TextOf(const RegValue &value) {
    std::string s(value.data.begin(), value.data.end());
    return s.substr(0, s.find('\0'));
}

// A string value's text; nothing for a missing value or one of another type.
std::string StringValue(const RegKey &key, const char *name) {
    auto it = key.values.find(name);
    if (it == key.values.end() || !IsString(it->second)) return {};
    return TextOf(it->second);
}

// The class a device key names: a ClassGUID string that is a GUID. A key
// without one is no device, whatever lies below it.
bool DeviceClass(const RegKey &key, GUID &guid) {
    auto it = key.values.find("ClassGUID");
    if (it == key.values.end() || it->second.type != REG_SZ) return false;
    std::string_view text(reinterpret_cast<const char *>(it->second.data.data()),
                          it->second.data.size());
    return ParseGuid(text.substr(0, text.find('\0')), guid);
}

const char *PropertyValueName(DWORD property) {
    switch (property) {
    case SPDRP_DEVICEDESC:
        return "DeviceDesc";
    case SPDRP_HARDWAREID:
        return "HardwareID";
    case SPDRP_CLASS:
        return "Class";
    case SPDRP_CLASSGUID:
        return "ClassGUID";
    case SPDRP_DRIVER:
        return "Driver";
    case SPDRP_MFG:
        return "Mfg";
    default:
        return nullptr;
    }
}

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
    ApiCall call("SetupDiGetClassDevsA", classGuid ? GuidText(*classGuid) : "NULL",
                 Quote(enumerator), Ptr(parent), Hex(flags));
    if (!classGuid && !(flags & DIGCF_ALLCLASSES))
        return call.InvalidHandle(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_INVALID_PARAMETER)) return call.InvalidHandle(*error);
    Machine &m = call.m;
    std::vector<Machine::ListedDevice> devices;
    std::string id;
    if (RegKey *root = m.registry.FindPath(m.EnumRoot())) {
        for (size_t a = 0; RegKey *bus = root->ChildAt(a); ++a) {
            if (enumerator && !EqualNoCase(enumerator, bus->name)) continue;
            for (size_t b = 0; RegKey *model = bus->ChildAt(b); ++b) {
                for (size_t c = 0; RegKey *instance = model->ChildAt(c); ++c) {
                    Machine::ListedDevice d;
                    if (!DeviceClass(*instance, d.classGuid)) continue;
                    if (!(flags & DIGCF_ALLCLASSES) && !SameGuid(d.classGuid, *classGuid)) continue;
                    // Made in one buffer: a long device history is mostly absent devices.
                    id.assign(bus->name).append(1, '\\').append(model->name);
                    id.append(1, '\\').append(instance->name);
                    if ((flags & DIGCF_PRESENT) && m.absentDevices.count(id)) continue;
                    d.instanceId = id;
                    devices.push_back(std::move(d));
                }
            }
        }
    }
    std::uintptr_t h = m.NewHandle();
    size_t count = devices.size();
    m.deviceSets[h] = std::move(devices);
    return call.Handle(reinterpret_cast<HDEVINFO>(h),
                       Num(static_cast<std::int64_t>(count)) + " devices");
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    ApiCall call("SetupDiEnumDeviceInfo", HandleText(set), Num(index),
                 data ? "cbSize " + Num(data->cbSize) : "NULL");
    if (auto error = call.Injected(ERROR_NO_MORE_ITEMS)) return call.Fail(*error);
    auto *devices = SetOf(call.m, set);
    if (!devices) return call.Fail(ERROR_INVALID_HANDLE);
    if (!data) return call.Fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return call.Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= devices->size()) return call.Fail(ERROR_NO_MORE_ITEMS);
    const Machine::ListedDevice &d = (*devices)[index];
    data->ClassGuid = d.classGuid;
    data->DevInst = index + 1;
    data->Reserved = index + 1;
    return call.Ok(d.instanceId + " " + GuidText(d.classGuid));
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD idSize,
                                        PDWORD requiredSize) {
    ApiCall call("SetupDiGetDeviceInstanceIdA", HandleText(set), Ptr(data), Ptr(id), Num(idSize),
                 Ptr(requiredSize));
    if (auto error = call.Injected(ERROR_INVALID_PARAMETER)) return call.Fail(*error);
    Machine::ListedDevice *d;
    if (DWORD error = ElementOf(call.m, set, data, &d)) return call.Fail(error);
    DWORD needed = static_cast<DWORD>(d->instanceId.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (!id || idSize < needed) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(id, d->instanceId.c_str(), needed);
    if (requiredSize && call.OversizedLength()) *requiredSize = ApiCall::kOversized;
    return call.Ok(Quote(id));
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD type, LPBYTE buffer, DWORD bufferSize,
                                              PDWORD requiredSize) {
    ApiCall call("SetupDiGetDeviceRegistryPropertyA", HandleText(set), Ptr(data), Num(property),
                 Ptr(type), Ptr(buffer), Num(bufferSize), Ptr(requiredSize));
    if (auto error = call.Injected(ERROR_INVALID_DATA)) return call.Fail(*error);
    Machine::ListedDevice *d;
    if (DWORD error = ElementOf(call.m, set, data, &d)) return call.Fail(error);
    const char *valueName = PropertyValueName(property);
    if (!valueName) return call.Fail(ERROR_INVALID_PARAMETER);
    RegKey *key = DeviceKey(call.m, *d);
    auto value = key ? key->values.find(valueName) : decltype(key->values.end()){};
    if (!key || value == key->values.end()) return call.Fail(ERROR_INVALID_DATA);
    const RegValue &v = value->second;
    // A text property comes back as its text and one terminator, however the
    // value was stored; the size counts that terminator.
    std::vector<BYTE> bytes(v.data.begin(), v.data.end());
    if (IsString(v)) {
        std::string text = TextOf(v);
        bytes.assign(text.begin(), text.end());
        bytes.push_back(0);
    }
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (requiredSize) *requiredSize = needed;
    if (type) *type = v.type;
    if (!buffer || bufferSize < needed) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    if (needed) std::memcpy(buffer, bytes.data(), needed);
    if (requiredSize && call.OversizedLength()) *requiredSize = ApiCall::kOversized;
    return call.Ok(ValueText(v));
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data) {
    ApiCall call("SetupDiRemoveDevice", HandleText(set), Ptr(data));
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Fail(*error);
    Machine &m = call.m;
    Machine::ListedDevice *d;
    if (DWORD error = ElementOf(m, set, data, &d)) return call.Fail(error);
    RegKey *key = DeviceKey(m, *d);
    if (!key) return call.Fail(ERROR_NO_SUCH_DEVINST);
    // The device's driver key goes with it when its Driver value names one: a
    // key two levels below the class root (class\instance), never a class.
    std::string driver = StringValue(*key, "Driver");
    std::string removed = m.EnumRoot() + "\\" + d->instanceId;
    m.registry.Delete(*key, DeleteSemantics::WholeTree);
    RegKey *classRoot = m.registry.FindPath(ClassRoot(m));
    RegKey *driverKey = nullptr;
    if (classRoot && !driver.empty() &&
        m.registry.Find(*classRoot, driver, &driverKey) == ERROR_SUCCESS && driverKey->parent &&
        driverKey->parent->parent == classRoot) {
        removed += ", " + driverKey->Path();
        m.registry.Delete(*driverKey, DeleteSemantics::WholeTree);
    }
    d->removed = true;
    return call.Ok(removed);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    ApiCall call("SetupDiDestroyDeviceInfoList", HandleText(set));
    if (auto error = call.Injected(ERROR_INVALID_HANDLE)) return call.Fail(*error);
    if (!call.m.deviceSets.erase(reinterpret_cast<std::uintptr_t>(set)))
        return call.Fail(ERROR_INVALID_HANDLE);
    return call.Ok();
}
