// shell32: starting programs. Windows Installer is the one program the
// simulated machine knows: "MsiExec.exe /X {code}" removes that product.
#include "platform/sim/api_call.h"
#include "platform/sim/win32_api.h"

#include <sstream>

using namespace sim;

namespace {

bool IsMsiExec(const std::string &file) {
    size_t slash = file.find_last_of("\\/");
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    return EqualNoCase(name, "msiexec.exe") || EqualNoCase(name, "msiexec");
}

// The product code after /X (or /x, -x), if the command line asks for a removal.
std::string ProductToRemove(const std::string &parameters) {
    std::istringstream in(parameters);
    std::string token;
    while (in >> token) {
        if (token.size() >= 2 && (token[0] == '/' || token[0] == '-') &&
            (token[1] == 'x' || token[1] == 'X')) {
            if (token.size() > 2) return token.substr(2);
            std::string code;
            in >> code;
            return code;
        }
    }
    return {};
}

} // namespace

HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show) {
    ApiCall call("ShellExecuteA", Ptr(owner), Quote(verb), Quote(file), Quote(parameters),
                 Quote(directory), Num(show));
    // ShellExecute reports failure as a value of 32 or less (2: file not found).
    if (auto error = call.Injected(ERROR_FILE_NOT_FOUND)) {
        call.m.lastError = *error;
        return call.Value(reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(*error)),
                          Num(*error));
    }
    if (!file) return call.Value(reinterpret_cast<HINSTANCE>(std::uintptr_t{2}), "2");
    call.m.processes.push_back({verb ? verb : "", file, parameters ? parameters : "", show});
    std::string detail;
    if (IsMsiExec(file)) {
        std::string code = ProductToRemove(parameters ? parameters : "");
        std::string key = std::string(kUninstallKey) + "\\" + code;
        if (!code.empty() && call.m.registry.FindPath(key)) {
            call.m.registry.DeletePath(key);
            detail = " [removed product " + code + "]";
        }
    }
    return call.Value(reinterpret_cast<HINSTANCE>(std::uintptr_t{42}), "42" + detail);
}
