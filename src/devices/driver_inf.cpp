#include "devices/driver_inf.h"

#include "common/windows_directory.h"
#include "devices/device_common.h"

#include <cstring>

const char *const kDriverInfName = "USBOEM01.inf";
const char *const kDriverInfSection = "MSOEM01SECTION";

HINF OpenDriverInf() {
    std::string path;
    if (!FormWindowsPath(path, "%s\\inf\\other\\%s", kDriverInfName)) return INVALID_HANDLE_VALUE;
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        FormWindowsPath(path, "%s\\inf\\%s", kDriverInfName);
    UINT errorLine = 0;
    return SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
}

int CountInfLines(HINF inf, const char *section) {
    // setupapi does not check the handle everywhere; a failed open must not
    // reach it.
    if (inf == INVALID_HANDLE_VALUE) return 0;
    INFCONTEXT context;
    int count = 0;
    while (SetupGetLineByIndexA(inf, section, static_cast<DWORD>(count), &context))
        ++count;
    return count;
}

bool ReadInfLineField(HINF inf, const char *section, int index, std::string &field) {
    INFCONTEXT context;
    if (!SetupGetLineByIndexA(inf, section, static_cast<DWORD>(index), &context)) return false;
    char line[kTextBufferSize];
    std::memset(line, 0, sizeof line);
    DWORD required = 0;
    if (!SetupGetLineTextA(&context, nullptr, nullptr, nullptr, line, kTextBufferSize, &required))
        return false;

    field = LineField(line);
    return true;
}

std::string LineField(const char *line) {
    char text[kTextBufferSize];
    std::memset(text, 0, sizeof text);
    bool inField = false;
    size_t out = 0;
    for (size_t p = 0; p < kTextBufferSize && line[p] != '\0'; ++p) {
        if (line[p] == ',') {
            if (inField) break;
            inField = true;
        } else if (inField) {
            text[out++] = line[p];
        }
    }
    text[out] = '\0';
    return text;
}

bool GetInfClassGuid(GUID &guid) {
    GUID local;
    std::memset(&local, 0, sizeof local);
    char className[kTextBufferSize];
    std::memset(className, 0, sizeof className);

    std::string path;
    bool found = false;
    if (FormWindowsPath(path, "%s\\inf\\Other\\%s", kDriverInfName))
        found = SetupDiGetINFClassA(path.c_str(), &local, className, kTextBufferSize, nullptr);
    if (!found && FormWindowsPath(path, "%s\\inf\\%s", kDriverInfName))
        found = SetupDiGetINFClassA(path.c_str(), &local, className, kTextBufferSize, nullptr);
    if (!found) return false;

    className[kTextBufferSize - 1] = '\0';
    DWORD required = 0;
    if (!SetupDiClassGuidsFromNameExA(className, &local, 1, &required, nullptr, nullptr))
        return false;

    guid.Data1 = local.Data1;
    guid.Data2 = local.Data2;
    guid.Data3 = local.Data3;
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = local.Data4[i];
    return true;
}
