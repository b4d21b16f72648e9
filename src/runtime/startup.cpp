// The program's own start-up, in place of the toolchain's crt2.o. That
// object, like the rest of the prebuilt mingw-w64 runtime, is built for the
// Pentium Pro: it runs a CMOV before WinMain and so faults on the 486,
// Pentium and K6 machines that Windows 98 runs on. This program needs only
// the little done here; msvcrt.dll does the rest.
#include <windows.h>

#include <stdlib.h>

extern "C" void __cdecl __set_app_type(int type); // msvcrt.dll

namespace {

constexpr int kGuiApp = 2; // _GUI_APP: msvcrt reports its errors in a box, not on a console

// The linker lays out the static constructors as
// { -1, constructor..., 0 }; they run last to first, as libgcc's __main runs them.
using Constructor = void (*)();
extern "C" Constructor __CTOR_LIST__[];

void RunStaticConstructors() {
    unsigned count = 0;
    while (__CTOR_LIST__[count + 1])
        ++count;
    while (count)
        __CTOR_LIST__[count--]();
}

// What follows the program name on the command line, as crt2.o gives it.
char *SkipProgramName(char *line) {
    bool quoted = false;
    for (; *line && (quoted || static_cast<unsigned char>(*line) > ' '); ++line)
        if (*line == '"') quoted = !quoted;
    while (*line && static_cast<unsigned char>(*line) <= ' ')
        ++line;
    return line;
}

} // namespace

// The compiler registers each static destructor with atexit; msvcrt's exit
// runs what _onexit holds. (The import library leaves atexit to crt2.o.)
extern "C" int __cdecl atexit(void(__cdecl *function)()) {
    return _onexit(reinterpret_cast<_onexit_t>(function)) ? 0 : -1;
}

extern "C" void WinMainCRTStartup() {
    __set_app_type(kGuiApp);
    RunStaticConstructors();

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;

    // exit, not ExitProcess: msvcrt then runs the static destructors that
    // the constructors registered with atexit.
    exit(WinMain(GetModuleHandleA(nullptr), nullptr, SkipProgramName(GetCommandLineA()), show));
}
