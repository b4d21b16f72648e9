// The bookkeeping around one simulated Win32 call: it is recorded with its
// arguments, may be failed by a fault rule, and records its result.
#pragma once

#include "platform/sim/machine.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

class ApiCall {
  public:
    template <class... Args>
    explicit ApiCall(const char *name, Args &&...args)
        : m(Current()), sequence_(m.calls.Begin(name, Collect(std::forward<Args>(args)...))) {}

    // The error of a matching fault rule (or `defaultError` when the rule
    // names none); the caller then fails the call with it.
    std::optional<DWORD> Injected(DWORD defaultError) {
        return m.calls.InjectedError(sequence_, defaultError);
    }

    // Whether a fault rule makes this call report fewer bytes than it moved,
    // or a length far beyond the caller's buffer.
    bool ShortCount() { return m.calls.Distorted(sequence_, Fault::Effect::ShortCount); }
    bool OversizedLength() { return m.calls.Distorted(sequence_, Fault::Effect::OversizedLength); }
    static constexpr DWORD kOversized = 0x10000;

    // Registry style: the result is the error code.
    LONG Status(LONG status, const std::string &detail = {}) {
        Finish(status == ERROR_SUCCESS ? "0" : "error " + std::to_string(status), detail);
        return status;
    }
    // BOOL style: FALSE sets the last error.
    BOOL Ok(const std::string &detail = {}) {
        Finish("TRUE", detail);
        return TRUE;
    }
    BOOL Fail(DWORD error) {
        m.lastError = error;
        Finish("FALSE", "error " + std::to_string(error));
        return FALSE;
    }
    // Handle style: INVALID_HANDLE_VALUE sets the last error.
    HANDLE Handle(HANDLE handle, const std::string &detail = {}) {
        Finish(Hex(reinterpret_cast<std::uintptr_t>(handle)), detail);
        return handle;
    }
    HANDLE InvalidHandle(DWORD error) {
        m.lastError = error;
        Finish("INVALID_HANDLE_VALUE", "error " + std::to_string(error));
        return INVALID_HANDLE_VALUE;
    }
    // Any other result, recorded as text.
    template <class T> T Value(T value, const std::string &text) {
        Finish(text, {});
        return value;
    }

    Machine &m;

  private:
    template <class... Args> static std::vector<std::string> Collect(Args &&...args) {
        std::vector<std::string> all;
        all.reserve(sizeof...(args));
        (all.emplace_back(std::forward<Args>(args)), ...);
        return all;
    }
    void Finish(const std::string &result, const std::string &detail) {
        m.calls.End(sequence_, detail.empty() ? result : result + " [" + detail + "]");
    }
    std::uint64_t sequence_;
};

// Registry handle as text for the record: HKLM, or the key's path.
std::string KeyText(HKEY key);

} // namespace sim
