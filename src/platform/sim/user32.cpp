// user32 over the simulated desktop: message boxes and top-level windows.
#include "platform/sim/api_call.h"
#include "platform/sim/win32_api.h"

using namespace sim;

namespace {

constexpr std::uintptr_t kFirstWindow = 0x10000;

HWND WindowHandle(size_t index) {
    return reinterpret_cast<HWND>(kFirstWindow + 2 * static_cast<std::uintptr_t>(index));
}

TopLevelWindow *WindowOf(Machine &m, HWND handle) {
    std::uintptr_t h = reinterpret_cast<std::uintptr_t>(handle);
    if (h < kFirstWindow || (h - kFirstWindow) % 2) return nullptr;
    size_t index = (h - kFirstWindow) / 2;
    return index < m.windows.size() && m.windows[index].open ? &m.windows[index] : nullptr;
}

} // namespace

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    ApiCall call("MessageBoxA", Ptr(owner), Quote(text), Quote(caption), Hex(type));
    if (auto error = call.Injected(ERROR_INVALID_WINDOW_HANDLE)) {
        call.m.lastError = *error;
        return call.Value(0, "0");
    }
    // Modal: the user reads it and presses OK before the call returns.
    call.m.messageBoxes.push_back({text ? text : "", caption ? caption : "Error", type});
    return call.Value(IDOK, "IDOK");
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) {
    ApiCall call("FindWindowA", Quote(className), Quote(windowName));
    if (auto error = call.Injected(ERROR_CANNOT_FIND_WND_CLASS)) {
        call.m.lastError = *error;
        return call.Value<HWND>(nullptr, "NULL");
    }
    for (size_t i = 0; i < call.m.windows.size(); ++i) {
        const TopLevelWindow &w = call.m.windows[i];
        if (!w.open) continue;
        if (className && !EqualNoCase(className, w.className)) continue;
        if (windowName && !EqualNoCase(windowName, w.title)) continue;
        return call.Value(WindowHandle(i), Quote(w.title.c_str()));
    }
    call.m.lastError = ERROR_SUCCESS;
    return call.Value<HWND>(nullptr, "NULL");
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ApiCall call("SendMessageA", Hex(reinterpret_cast<std::uintptr_t>(window)), Hex(message),
                 Num(static_cast<std::int64_t>(wParam)), Num(lParam));
    if (auto error = call.Injected(ERROR_INVALID_WINDOW_HANDLE)) {
        call.m.lastError = *error;
        return call.Value<LRESULT>(0, "0");
    }
    TopLevelWindow *w = WindowOf(call.m, window);
    if (!w) {
        call.m.lastError = ERROR_INVALID_WINDOW_HANDLE;
        return call.Value<LRESULT>(0, "0 [no such window]");
    }
    w->received.push_back(message);
    // The default handling of WM_CLOSE destroys the window.
    if (message == WM_CLOSE) w->open = false;
    return call.Value<LRESULT>(0, "0");
}
