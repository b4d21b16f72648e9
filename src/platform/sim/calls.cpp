#include "platform/sim/calls.h"

#include <cstdio>

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
        if (echo) std::fprintf(stderr, "  %s\n", it->Text().c_str());
        return;
    }
}

std::optional<DWORD> CallLog::InjectedError(std::uint64_t sequence, DWORD defaultError) {
    const CallRecord *call = nullptr;
    for (auto it = records_.rbegin(); it != records_.rend() && !call; ++it)
        if (it->sequence == sequence) call = &*it;
    if (!call) return std::nullopt;
    for (Rule &rule : rules_) {
        const Fault &f = rule.fault;
        bool match;
        if (f.sequence) {
            match = f.sequence == sequence;
        } else {
            match = f.name == call->name;
            if (match && !f.argContains.empty()) {
                std::string joined;
                for (const auto &a : call->args)
                    joined += a + "\n";
                match = joined.find(f.argContains) != std::string::npos;
            }
            if (match && f.occurrence) match = ++rule.seen == f.occurrence;
        }
        if (match) return f.error ? f.error : defaultError;
    }
    return std::nullopt;
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
    std::string out = "\"";
    for (const char *p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') {
            out += "\\\"";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += *p;
        }
    }
    return out + "\"";
}

std::string Hex(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

std::string Num(std::int64_t value) {
    return std::to_string(value);
}

std::string Ptr(const void *pointer) {
    return pointer ? "&" : "NULL";
}

} // namespace sim
