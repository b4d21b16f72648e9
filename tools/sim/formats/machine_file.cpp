#include "machine_file.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sys/stat.h>

namespace simio {

namespace {

// Splits a line into words; "double quotes" keep blanks inside one word.
bool Words(const std::string &line, std::vector<std::string> &out, std::string &message) {
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                message = "missing closing quote";
                return false;
            }
            out.push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = line.find_first_of(" \t", i);
            if (end == std::string::npos) end = line.size();
            out.push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool Number(const std::string &text, unsigned long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0';
}

struct AttributeName {
    const char *name;
    DWORD bit;
};
const AttributeName kAttributes[] = {
    {"readonly", FILE_ATTRIBUTE_READONLY},
    {"hidden", FILE_ATTRIBUTE_HIDDEN},
    {"system", FILE_ATTRIBUTE_SYSTEM},
    {"archive", FILE_ATTRIBUTE_ARCHIVE},
    {"normal", FILE_ATTRIBUTE_NORMAL},
    {"temporary", FILE_ATTRIBUTE_TEMPORARY},
    {"offline", FILE_ATTRIBUTE_OFFLINE},
    {"not-content-indexed", FILE_ATTRIBUTE_NOT_CONTENT_INDEXED},
};

std::string AttributeWords(DWORD attributes) {
    std::string out;
    for (const auto &a : kAttributes) {
        if (attributes & a.bit) {
            out += std::string(out.empty() ? "" : " ") + a.name;
            attributes &= ~a.bit;
        }
    }
    if (attributes) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(attributes));
        out += std::string(out.empty() ? "" : " ") + buf;
    }
    return out;
}

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// One line being read: its words, and where what it says goes.
struct Line {
    const std::vector<std::string> &w; // w[0] is the keyword
    const std::string &asWritten;      // from its first word on
    int number;
    sim::Machine &m;
    MachineFile &facts;
    std::string why; // set when a handler refuses the line for more than its shape
};

// Each returns false to refuse its line: with `why` set, for that reason,
// else for its shape, and the message gives the line's form.
bool ReadVersion(Line &l) {
    unsigned long platform, build;
    unsigned major = 0, minor = 0;
    if (!Number(l.w[1], platform) || !Number(l.w[3], build) ||
        std::sscanf(l.w[2].c_str(), "%u.%u", &major, &minor) != 2) {
        l.why = "version PLATFORM MAJOR.MINOR BUILD: numbers expected";
        return false;
    }
    l.m.version = {static_cast<DWORD>(platform), major, minor, static_cast<DWORD>(build),
                   l.w.size() > 4 ? l.w[4] : ""};
    l.facts.versionGiven = true;
    return true;
}

bool ReadWindowsDirectory(Line &l) {
    l.m.windowsDirectory = l.w[1];
    l.facts.windowsDirectoryLine = l.number;
    return true;
}

bool ReadAttributes(Line &l) {
    DWORD bits = 0;
    for (size_t i = 2; i < l.w.size(); ++i) {
        DWORD bit = 0;
        for (const auto &a : kAttributes)
            if (l.w[i] == a.name) bit = a.bit;
        unsigned long n;
        if (!bit && Number(l.w[i], n)) bit = static_cast<DWORD>(n);
        if (!bit) {
            l.why = "unknown attribute \"" + l.w[i] + "\"";
            return false;
        }
        bits |= bit;
    }
    l.m.files.SetAttributes(l.w[1], bits);
    return true;
}

bool ReadLocked(Line &l) {
    l.m.files.lockedByOthers.insert(l.w[1]);
    return true;
}

bool ReadModified(Line &l) {
    std::time_t t;
    if (!ParseMachineTime(l.w[2], t)) {
        l.why = "modified: time as YYYY-MM-DDTHH:MM:SS expected";
        return false;
    }
    l.facts.modified.emplace_back(l.w[1], l.w[2]);
    return true;
}

bool ReadWindow(Line &l) {
    if (!(l.w.size() == 2 || (l.w.size() == 4 && l.w[2] == "class"))) return false;
    l.m.windows.push_back({l.w.size() == 4 ? l.w[3] : "", l.w[1], true, {}});
    return true;
}

bool ReadAbsentDevice(Line &l) {
    l.m.absentDevices.insert(l.w[1]);
    return true;
}

bool ReadTimeZoneBias(Line &l) {
    char *end = nullptr;
    long bias = std::strtol(l.w[1].c_str(), &end, 10);
    if (*end) {
        l.why = "time-zone-bias: a number of minutes expected";
        return false;
    }
    l.m.files.timeZoneBias = bias;
    return true;
}

bool ReadFail(Line &l) {
    if (l.w.size() % 2) return false;
    sim::Fault fault;
    fault.name = l.w[1];
    for (size_t i = 2; i + 1 < l.w.size(); i += 2) {
        unsigned long n = 0;
        if (l.w[i] == "error" && Number(l.w[i + 1], n))
            fault.error = static_cast<DWORD>(n);
        else if (l.w[i] == "occurrence" && Number(l.w[i + 1], n))
            fault.occurrence = static_cast<unsigned>(n);
        else if (l.w[i] == "args")
            fault.argContains = l.w[i + 1];
        else {
            l.why = "fail: unknown option \"" + l.w[i] + "\"";
            return false;
        }
    }
    l.m.calls.AddFault(fault);
    l.facts.faults.push_back(l.asWritten);
    return true;
}

constexpr size_t kAny = std::numeric_limits<size_t>::max();

// Every line a machine file may hold, as README's "Machine directories" lists them.
struct Keyword {
    const char *name;
    const char *form;   // the words after it, as a refused line's message shows them
    const char *means;  // what the line says
    size_t least, most; // how many words may follow it
    bool (*read)(Line &);
};
const Keyword kKeywords[] = {
    {"version", "PLATFORM MAJOR.MINOR BUILD [\"SERVICE PACK\"]", "1 = Windows 9x, 2 = NT", 3, 4,
     ReadVersion},
    {"windows-directory", "\"C:\\WINDOWS\"", "where Windows is", 1, 1, ReadWindowsDirectory},
    {"attributes", "\"PATH\" readonly|hidden|system|archive|...", "a file's attributes", 2, 9,
     ReadAttributes},
    {"locked", "\"PATH\"", "held open by another process", 1, 1, ReadLocked},
    {"modified", "\"PATH\" YYYY-MM-DDTHH:MM:SS", "last-write time (UTC), which git can't keep", 2,
     2, ReadModified},
    {"window", "\"TITLE\" [class \"CLASS\"]", "an open top-level window", 1, 3, ReadWindow},
    {"absent-device", "\"INSTANCE ID\"", "installed but not plugged in", 1, 1, ReadAbsentDevice},
    {"time-zone-bias", "MINUTES", "UTC minus local time", 1, 1, ReadTimeZoneBias},
    {"fail", "FUNCTION [error N] [occurrence N] [args \"TEXT\"]", "make a call fail", 1, kAny,
     ReadFail},
};

// Reads one line that is neither blank nor a comment; false with `message` set.
bool ReadLine(const std::string &line, size_t first, int number, sim::Machine &m,
              MachineFile &facts, std::string &message) {
    std::vector<std::string> w;
    if (!Words(line, w, message)) return false;
    for (const Keyword &k : kKeywords) {
        if (w[0] != k.name) continue;
        Line l{w, line.substr(first), number, m, facts, {}};
        size_t given = w.size() - 1;
        if (given >= k.least && given <= k.most && k.read(l)) return true;
        message = l.why.empty() ? "expected: " + std::string(k.name) + " " + k.form : l.why;
        return false;
    }
    message = "unknown key \"" + w[0] + "\"";
    return false;
}

} // namespace

bool ParseMachineTime(const std::string &text, std::time_t &out) {
    std::tm tm{};
    int n = std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    if (n != 6) return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    out = timegm(&tm);
    return true;
}

bool ReadMachineFile(const std::string &text, const std::string &fileName, sim::Machine &m,
                     MachineFile &facts, InputError &error) {
    std::string line, message;
    int number = 0;
    bool leading = true;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t length = end - start;
        if (length && text[end - 1] == '\r') --length;
        ++number;
        // Measured before the line is copied, so that a hostile one never is.
        if (length > kMaxLineLength) {
            error = {fileName, number,
                     "line longer than " + std::to_string(kMaxLineLength >> 20) + " MiB"};
            return false;
        }
        line.assign(text, start, length);
        start = end + 1;
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        if (line[first] == '#') {
            if (leading) facts.comments.push_back(line);
            continue;
        }
        leading = false;
        if (!ReadLine(line, first, number, m, facts, message)) {
            error = {fileName, number, message};
            return false;
        }
    }
    return true;
}

std::string WriteMachineFile(const sim::Machine &m, const MachineFile &facts) {
    std::string out;
    for (const auto &c : facts.comments)
        out += c + "\n";
    const sim::VersionRecord &v = m.version;
    out += "version " + std::to_string(v.platformId) + " " + std::to_string(v.major) + "." +
           std::to_string(v.minor) + " " + std::to_string(v.build) + " " + Quoted(v.servicePack) +
           "\n";
    out += "windows-directory " + Quoted(m.windowsDirectory) + "\n";
    if (m.files.timeZoneBias)
        out += "time-zone-bias " + std::to_string(m.files.timeZoneBias) + "\n";
    for (const auto &[path, attributes] : m.files.RecordedAttributes()) {
        sim::ResolvedPath entry;
        if (m.files.Resolve(path, entry) == ERROR_SUCCESS && entry.exists)
            out += "attributes " + Quoted(entry.windows) + " " + AttributeWords(attributes) + "\n";
    }
    for (const auto &path : m.files.lockedByOthers)
        out += "locked " + Quoted(path) + "\n";
    // A time the run changed is the file's own now, and not written back.
    for (const auto &[path, when] : facts.modified) {
        sim::ResolvedPath entry;
        std::time_t t = 0;
        ParseMachineTime(when, t);
        struct stat st {};
        if (m.files.Resolve(path, entry) == ERROR_SUCCESS && entry.exists &&
            ::stat(entry.host.c_str(), &st) == 0 && st.st_mtime == t)
            out += "modified " + Quoted(path) + " " + when + "\n";
    }
    for (const auto &w : m.windows)
        if (w.open)
            out += "window " + Quoted(w.title) +
                   (w.className.empty() ? "" : " class " + Quoted(w.className)) + "\n";
    for (const auto &id : m.absentDevices)
        out += "absent-device " + Quoted(id) + "\n";
    for (const auto &f : facts.faults)
        out += f + "\n";
    return out;
}

} // namespace simio
