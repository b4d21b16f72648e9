// kernel32 outside the file functions: last error, the Windows directory, the
// version record, modules, text comparison and time conversion.
#include "platform/sim/api_call.h"
#include "platform/sim/calendar.h"
#include "platform/sim/win32_api.h"

#include <cstring>

using namespace sim;

DWORD WINAPI GetLastError() {
    return Current().lastError;
}
void WINAPI SetLastError(DWORD error) {
    Current().lastError = error;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    ApiCall call("GetWindowsDirectoryA", Ptr(buffer), Num(size));
    if (auto error = call.Injected(ERROR_INVALID_FUNCTION)) {
        call.m.lastError = *error;
        return call.Value<UINT>(0, "0");
    }
    const std::string &dir = call.m.windowsDirectory;
    UINT length = static_cast<UINT>(dir.size());
    // Too small a buffer: the size needed, terminator included, and nothing written.
    if (!buffer || length + 1 > size) return call.Value(length + 1, Num(length + 1));
    std::memcpy(buffer, dir.c_str(), length + 1);
    if (call.OversizedLength()) return call.Value(ApiCall::kOversized, Num(ApiCall::kOversized));
    return call.Value(length, Num(length) + " [" + Quote(dir.c_str()) + "]");
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    ApiCall call("GetVersionExA",
                 info ? "size " + Num(info->dwOSVersionInfoSize) : std::string("NULL"));
    if (!info) return call.Fail(ERROR_NOACCESS);
    // OSVERSIONINFOA, or OSVERSIONINFOEXA with its 8 further bytes.
    if (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156)
        return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    if (auto error = call.Injected(ERROR_INVALID_PARAMETER)) return call.Fail(*error);
    const VersionRecord &v = call.m.version;
    info->dwPlatformId = v.platformId;
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, v.servicePack.c_str(), sizeof info->szCSDVersion - 1);
    return call.Ok(Num(v.platformId) + " " + Num(v.major) + "." + Num(v.minor) + " " +
                   Quote(info->szCSDVersion));
}

namespace {

// The one module the program asks for by name.
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(std::uintptr_t{0x7fe00000});

// Any function as the FARPROC that GetProcAddress hands out.
template <class F> FARPROC Proc(F *function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

struct Export {
    const char *name;
    FARPROC address;
    bool ntOnly; // absent from the Windows 95/98/ME kernel32
};

const Export kExports[] = {
    {"MoveFileExA", Proc(&MoveFileExA), true},
    {"FlushFileBuffers", Proc(&FlushFileBuffers), false},
    {"GetTempFileNameA", Proc(&GetTempFileNameA), false},
};

} // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR module) {
    ApiCall call("GetModuleHandleA", Quote(module));
    auto fail = [&](DWORD error) {
        call.m.lastError = error;
        return call.Value<HMODULE>(nullptr, "NULL [error " + Num(error) + "]");
    };
    if (auto error = call.Injected(ERROR_MOD_NOT_FOUND)) return fail(*error);
    if (module && (EqualNoCase(module, "kernel32.dll") || EqualNoCase(module, "kernel32")))
        return call.Value(kKernel32, "kernel32");
    return fail(ERROR_MOD_NOT_FOUND);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    // A "name" below 0x10000 is an ordinal, not a pointer to text.
    bool ordinal = reinterpret_cast<std::uintptr_t>(name) < 0x10000;
    ApiCall call("GetProcAddress", module == kKernel32 ? "kernel32" : Ptr(module),
                 ordinal
                     ? "#" + Num(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(name)))
                     : Quote(name));
    if (auto error = call.Injected(ERROR_PROC_NOT_FOUND)) {
        call.m.lastError = *error;
        return call.Value<FARPROC>(nullptr, "NULL");
    }
    if (module == kKernel32 && !ordinal) {
        for (const Export &e : kExports)
            if (std::strcmp(e.name, name) == 0 && !(e.ntOnly && call.m.IsWin9x()))
                return call.Value(e.address, "&" + std::string(name));
    }
    call.m.lastError = ERROR_PROC_NOT_FOUND;
    return call.Value<FARPROC>(nullptr, "NULL");
}

int WINAPI CompareStringA(LCID locale, DWORD flags, LPCSTR a, int lengthA, LPCSTR b, int lengthB) {
    ApiCall call("CompareStringA", Hex(locale), Hex(flags), Quote(a), Num(lengthA), Quote(b),
                 Num(lengthB));
    if (auto error = call.Injected(ERROR_INVALID_PARAMETER)) {
        call.m.lastError = *error;
        return call.Value(0, "0 [error " + Num(*error) + "]");
    }
    if (!a || !b) {
        call.m.lastError = ERROR_INVALID_PARAMETER;
        return call.Value(0, "0");
    }
    std::string_view x(a, lengthA < 0 ? std::strlen(a) : static_cast<size_t>(lengthA));
    std::string_view y(b, lengthB < 0 ? std::strlen(b) : static_cast<size_t>(lengthB));
    // Without flags the comparison is case-sensitive: only the same text is
    // equal. Order: alphabetic first, then lower case before upper case.
    int order = x == y ? 0 : CompareNoCase(x, y);
    if (order == 0 && x != y) order = x > y ? -1 : 1; // 'a' (0x61) sorts before 'A' (0x41)
    int result = order < 0 ? CSTR_LESS_THAN : order > 0 ? CSTR_GREATER_THAN : CSTR_EQUAL;
    static const char *const kNames[] = {"0", "CSTR_LESS_THAN", "CSTR_EQUAL", "CSTR_GREATER_THAN"};
    return call.Value(result, kNames[result]);
}

namespace {

constexpr long long kTicksPerSecond = 10000000LL;

long long Ticks(const FILETIME &t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
}

} // namespace

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME *utc, LPFILETIME local) {
    ApiCall call("FileTimeToLocalFileTime", Ptr(utc), Ptr(local));
    if (!utc || !local) return call.Fail(ERROR_NOACCESS);
    if (auto error = call.Injected(ERROR_INVALID_PARAMETER)) return call.Fail(*error);
    long long ticks = Ticks(*utc) - call.m.files.timeZoneBias * 60 * kTicksPerSecond;
    local->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    local->dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
    return call.Ok();
}

BOOL WINAPI FileTimeToDosDateTime(const FILETIME *time, WORD *date, WORD *dosTime) {
    ApiCall call("FileTimeToDosDateTime", Ptr(time), Ptr(date), Ptr(dosTime));
    if (!time || !date || !dosTime) return call.Fail(ERROR_NOACCESS);
    if (auto error = call.Injected(ERROR_INVALID_PARAMETER)) return call.Fail(*error);
    long long ticks = Ticks(*time);
    if (ticks < 0) return call.Fail(ERROR_INVALID_PARAMETER);
    long long seconds = ticks / kTicksPerSecond;
    // FILETIMEs count from 1601-01-01, 134774 days before 1970-01-01.
    std::int64_t year;
    unsigned month, day;
    CivilFromDays(seconds / 86400 - 134774, year, month, day);
    if (year < 1980 || year > 2107) return call.Fail(ERROR_INVALID_PARAMETER);
    unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
    *date = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
    *dosTime = static_cast<WORD>(((secondOfDay / 3600) << 11) | (((secondOfDay / 60) % 60) << 5) |
                                 ((secondOfDay % 60) / 2));
    return call.Ok(Num(year) + "-" + Num(month) + "-" + Num(day));
}
