// Every call that reaches the simulated machine is recorded, and any call can
// be told to fail with the error Windows would report for it.
#pragma once

#include "platform/sim/win32_types.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct CallRecord {
    std::uint64_t sequence = 0; // 1-based position among all calls
    std::string name;
    std::vector<std::string> args;
    std::string result;

    std::string Text() const; // Name(arg, arg) = result
};

// A rule that makes calls fail. A rule with a name matches calls of that name
// whose argument text contains `argContains`; `occurrence` picks the n-th such
// call (1-based, 0 = every one). A rule with `sequence` > 0 matches the call
// at that position among all calls, whatever its name.
struct Fault {
    // What the matching call does: fail with `error`, or succeed but report
    // fewer bytes than asked for (ReadFile, WriteFile), or report a length
    // far beyond the caller's buffer where the call reports one.
    enum class Effect { Fail, ShortCount, OversizedLength };
    Effect effect = Effect::Fail;
    std::string name;
    std::string argContains;
    unsigned occurrence = 0;
    std::uint64_t sequence = 0;
    DWORD error = 0; // 0: the error Windows gives for this call by default
};

class CallLog {
  public:
    std::uint64_t Begin(const char *name, std::vector<std::string> args);
    void End(std::uint64_t sequence, std::string result);

    // The error a fault rule sets for the call that has just begun, if any.
    std::optional<DWORD> InjectedError(std::uint64_t sequence, DWORD defaultError);
    // Whether a rule with that (non-failing) effect matches the call.
    bool Distorted(std::uint64_t sequence, Fault::Effect effect);

    void AddFault(Fault fault);
    void ClearFaults();

    const std::vector<CallRecord> &Records() const { return records_; }
    std::vector<CallRecord> Named(const std::string &name) const;
    void Clear();
    std::uint64_t Count() const { return next_ - 1; }

    // When set, each finished call is also printed to standard error.
    bool echo = false;
    // When cleared, a call's record lives only while the call runs (fault
    // rules and `echo` still see it): a long run then needs no memory for
    // its history, and Records() stays empty while Count() goes on.
    bool keepRecords = true;
    // When set, runs as each call begins, before the call does anything: a
    // test acts through it as another process would between two calls.
    std::function<void(const CallRecord &)> onBegin;

  private:
    struct Rule;
    bool Matches(Rule &rule, std::uint64_t sequence);
    struct Rule {
        Fault fault;
        unsigned seen = 0;
    };
    std::vector<CallRecord> records_;
    std::vector<Rule> rules_;
    std::uint64_t next_ = 1;
};

// Argument formatting for the record.
std::string Quote(const char *text); // "text", or NULL
std::string Hex(std::uint64_t value);
std::string Num(std::int64_t value);
std::string Ptr(const void *pointer); // NULL or &

} // namespace sim
