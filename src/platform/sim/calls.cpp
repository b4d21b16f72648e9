#include "platform/sim/calls.h"

#include "platform/sim/printable.h"

#include <cstdio>
#include <cstring>

namespace sim {

std::string CallRecord::Text() const {
    std::string text = name + "(";
    for (size_t i = 0; i < args.size(); ++i)
        text += (i ? ", " : "") + args[i];
    return text + ") = " + result;
}

std::uint64_t CallLog::Begin(const char *name, std::vector<std::string> args) {
    CallRecord record;
    record.sequence = next_++;
    record.name = name;
    record.args = std::move(args);
    records_.push_back(std::move(record));
    if (onBegin) onBegin(records_.back());
    return records_.back().sequence;
}

void CallLog::End(std::uint64_t sequence, std::string result) {
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (it->sequence != sequence) continue;
        it->result = std::move(result);
        if (echo) std::fprintf(stderr, "  %s\n", Printable(it->Text()).c_str());
        if (!keepRecords) records_.erase(std::next(it).base());
        return;
    }
}

bool CallLog::Matches(Rule &rule, std::uint64_t sequence) {
    const Fault &f = rule.fault;
    if (f.sequence) return f.sequence == sequence;
    const CallRecord *call = nullptr;
    for (auto it = records_.rbegin(); it != records_.rend() && !call; ++it)
        if (it->sequence == sequence) call = &*it;
    if (!call || f.name != call->name) return false;
    if (!f.argContains.empty()) {
        std::string joined;
        for (const auto &a : call->args)
            joined += a + "\n";
        if (joined.find(f.argContains) == std::string::npos) return false;
    }
    return !f.occurrence || ++rule.seen == f.occurrence;
}

std::optional<DWORD> CallLog::InjectedError(std::uint64_t sequence, DWORD defaultError) {
    for (Rule &rule : rules_)
        if (rule.fault.effect == Fault::Effect::Fail && Matches(rule, sequence))
            return rule.fault.error ? rule.fault.error : defaultError;
    return std::nullopt;
}

bool CallLog::Distorted(std::uint64_t sequence, Fault::Effect effect) {
    for (Rule &rule : rules_)
        if (rule.fault.effect == effect && Matches(rule, sequence)) return true;
    return false;
}

void CallLog::AddFault(Fault fault) {
    rules_.push_back({std::move(fault), 0});
}
void CallLog::ClearFaults() {
    rules_.clear();
}

std::vector<CallRecord> CallLog::Named(const std::string &name) const {
    std::vector<CallRecord> out;
    for (const auto &r : records_)
        if (r.name == name) out.push_back(r);
    return out;
}

void CallLog::Clear() {
    records_.clear();
    next_ = 1;
}

std::string Quote(const char *text) {
    if (!text) return "NULL";
    size_t length = std::strlen(text);
    std::string out;
    out.reserve(length + 2);
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += "\\\"";
        } else if (c < 0x20 || c == 0x7f) {
            static const char kDigits[] = "0123456789abcdef";
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            size_t run = i;
            while (run < length && text[run] != '"' &&
                   static_cast<unsigned char>(text[run]) >= 0x20 && text[run] != 0x7f)
                ++run;
            out.append(text + i, run - i);
            i = run - 1;
        }
    }
    out += '"';
    return out;
}

std::string Hex(std::uint64_t value) {
    char buf[20];
    char *p = buf + sizeof buf;
    do {
        *--p = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    *--p = 'x';
    *--p = '0';
    return std::string(p, buf + sizeof buf);
}

std::string Num(std::int64_t value) {
    return std::to_string(value);
}

std::string Ptr(const void *pointer) {
    return pointer ? "&" : "NULL";
}

} // namespace sim
