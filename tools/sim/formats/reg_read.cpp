#include "reg_file.h"
#include "reg_text.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace simio {

using namespace regtext;

std::string InputError::Text() const {
    return file + (line ? ":" + std::to_string(line) : std::string()) + ": " + message;
}

namespace {

// A unit that narrowing lost: where its '?' stands in the narrowed text.
struct LostUnit {
    size_t offset;
    char16_t unit;
};

// UTF-16LE to the ANSI code page: code units above 0xFF have no byte and
// become '?', as WideCharToMultiByte writes its default character; `lost`
// takes them, in order. With `joined`, the text is exports joined with copy
// /b, each with its own byte-order mark: one at the start of a line opens
// the next export and goes.
std::string Narrow(std::string_view utf16, bool joined = false,
                   std::vector<LostUnit> *lost = nullptr) {
    std::string out;
    out.reserve(utf16.size() / 2);
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
        unsigned unit =
            static_cast<unsigned char>(utf16[i]) | (static_cast<unsigned char>(utf16[i + 1]) << 8);
        if (unit == 0xFEFF && joined && (out.empty() || out.back() == '\n')) continue;
        if (unit > 0xFF && lost) lost->push_back({out.size(), static_cast<char16_t>(unit)});
        out += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return out;
}

// UTF-16LE bytes that Narrow() would not give back from its result.
bool NarrowLoses(const std::vector<BYTE> &bytes) {
    if (bytes.size() % 2) return true;
    for (size_t i = 1; i < bytes.size(); i += 2)
        if (bytes[i]) return true;
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A quoted string with regedit's escapes; `pos` is at the opening quote and
// ends behind the closing one. `sources`, if given, takes where in `line`
// each character of `out` stands.
bool ParseQuoted(std::string_view line, size_t &pos, std::string &out, std::string &message,
                 std::vector<const char *> *sources = nullptr) {
    ++pos;
    out.clear();
    if (sources) sources->clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"') return true;
        if (sources) sources->push_back(line.data() + pos - 1);
        if (c == '\\') {
            if (pos >= line.size()) break;
            char next = line[pos++];
            if (next == '\\' || next == '"')
                out += next;
            else if (next == 'n') // regedit 5 writes a line break in a string this way
                out += '\n';
            else if (next == 'r')
                out += '\r';
            else if (next == 't')
                out += '\t';
            else if (next == '0')
                out += '\0';
            else {
                message = std::string("unknown escape \\") + next + " in a string";
                return false;
            }
        } else {
            out += c;
        }
    }
    message = "string without its closing quote";
    return false;
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE> &out, std::string &message) {
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
    };
    skipBlanks();
    while (i < text.size()) {
        int hi = HexValue(text[i]);
        int lo = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            message = "expected two hex digits in the byte list";
            return false;
        }
        out.push_back(static_cast<BYTE>(hi * 16 + lo));
        i += 2;
        skipBlanks();
        if (i == text.size()) break;
        if (text[i] != ',') {
            message = "expected ',' between bytes";
            return false;
        }
        ++i;
        skipBlanks();
    }
    return true;
}

// Names in a key path, as Registry::SplitPath finds them.
size_t Components(std::string_view path) {
    size_t count = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i] != '\\' && (i == 0 || path[i - 1] == '\\')) ++count;
    return count;
}

std::string_view TrimLeft(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

void TrimRight(std::string_view &text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
}

void TrimRight(std::string &text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
}

// The lines of a text one at a time, without their line break ("\n" or
// "\r\n"): views into the text, so that reading needs no second copy of it.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}

    // A text that ends in a line break has an empty last line.
    bool Next(std::string_view &line) {
        if (pos_ > text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = end + 1;
        if (number_ < INT_MAX) ++number_; // a file of billions of lines stays defined behaviour
        return true;
    }
    bool AtEnd() const { return pos_ > text_.size(); }
    int Number() const { return number_; }

  private:
    std::string_view text_;
    size_t pos_ = 0;
    int number_ = 0;
};

std::string LineTooLong() {
    return "line longer than " + std::to_string(kMaxLineLength >> 20) + " MiB";
}

struct Parser {
    const std::string &fileName;
    sim::Registry &registry;
    RegFileFormat &format;
    InputError &error;
    std::string_view text;             // what the lines are views into
    const std::vector<LostUnit> &lost; // of `text`, when it was narrowed from UTF-16
    sim::RegKey *key = nullptr;
    std::vector<sim::RegKey *> chain = {}; // the last key line's keys, root first
    std::uint64_t pathBytes = 0;           // of every key made so far
    // A line joined from pieces is a copy: its first piece maps back to `text`.
    std::string_view joined = {};
    size_t joinedOffset = 0, joinedMapped = 0;
    std::vector<const char *> sources = {};

    bool Fail(int line, std::string message) {
        error = {fileName, line, std::move(message)};
        return false;
    }

    // Where `p` stands in `text`, or npos.
    size_t OffsetOf(const char *p) const {
        if (p >= text.data() && p < text.data() + text.size()) return p - text.data();
        if (p >= joined.data() && p < joined.data() + joinedMapped)
            return joinedOffset + (p - joined.data());
        return std::string_view::npos;
    }

    // The UTF-16 the characters at `chars` were narrowed from, or empty when
    // narrowing lost none of it.
    // `decoded`: the characters themselves, an escape's already read.
    std::u16string Exact(const std::vector<const char *> &chars, std::string_view decoded) const {
        std::u16string out;
        if (lost.empty() || chars.empty()) return out;
        size_t first = OffsetOf(chars.front()), last = OffsetOf(chars.back());
        if (first == std::string_view::npos || last == std::string_view::npos) return out;
        auto it = std::lower_bound(lost.begin(), lost.end(), first,
                                   [](const LostUnit &u, size_t at) { return u.offset < at; });
        if (it == lost.end() || it->offset > last) return out;
        for (size_t i = 0; i < chars.size(); ++i) {
            size_t at = OffsetOf(chars[i]);
            while (it != lost.end() && it->offset < at)
                ++it;
            bool gone = it != lost.end() && it->offset == at;
            out += gone ? it->unit : static_cast<char16_t>(static_cast<unsigned char>(decoded[i]));
        }
        return out;
    }

    std::u16string Exact(std::string_view piece) {
        if (lost.empty()) return {};
        sources.clear();
        for (const char &c : piece)
            sources.push_back(&c);
        return Exact(sources, piece);
    }

    // A name read as `narrow` (exactly `exact`, if not empty) names `key`
    // unless the two are only alike in ANSI: such keys and values cannot be
    // kept apart where the program sees them, and are refused.
    static bool SameName(std::u16string_view have, const std::u16string &haveExact,
                         std::string_view narrow, const std::u16string &exact) {
        if (haveExact.empty() && exact.empty()) return true;
        return sim::EqualNoCaseWide(haveExact.empty() ? have : std::u16string_view(haveExact),
                                    exact.empty() ? sim::WidenAnsi(narrow) : exact);
    }

    bool Clash(int n, const std::string &what, const std::u16string &a, const std::u16string &b) {
        auto show = [](const std::u16string &w) {
            std::string out;
            char buf[12];
            for (char16_t u : w) {
                if (u < 0x80) {
                    out += static_cast<char>(u);
                } else {
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
                    out += buf;
                }
            }
            return out;
        };
        return Fail(n, what + " \"" + show(a) + "\" and \"" + show(b) +
                           "\" have one ANSI name, which the simulator cannot keep apart");
    }

    bool KeyLine(int n, std::string_view line) {
        if (line.back() != ']') return Fail(n, "key line without its closing ']'");
        bool remove = line.size() > 1 && line[1] == '-';
        std::string_view path = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
        // Counted before the path is split, which would otherwise make
        // millions of parts of a hostile line first.
        if (Components(path) > kMaxKeyDepth)
            return Fail(n, "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels");
        auto parts = sim::Registry::SplitPath(path);
        if (parts.empty() || !registry.RootByName(parts[0]))
            return Fail(n, "unknown root key in [" + std::string(path) + "]");
        sim::RegKey *root = registry.RootByName(parts[0]);
        if (remove) {
            // Only the key of this exact name: one alike in ANSI is another key.
            sim::RegKey *target = root;
            for (size_t i = 1; target && i < parts.size(); ++i) {
                target = target->Child(parts[i]);
                if (target &&
                    !SameName(target->WideName(), target->ntName, parts[i], Exact(parts[i])))
                    target = nullptr;
            }
            if (target && target != root) registry.Delete(*target, sim::DeleteSemantics::WholeTree);
            key = nullptr;
            chain.clear();
            return true;
        }
        // Lookups among many siblings are most of the time a whole registry
        // takes to read. regedit writes a tree depth first, so a key line
        // mostly repeats the keys of the line before: those are taken from
        // there, and each further name is looked up once.
        if (chain.empty() || chain[0] != root) chain.assign(1, root);
        size_t same = 1, prefix = parts[0].size();
        while (same < chain.size() && same < parts.size() &&
               sim::EqualNoCase(chain[same]->name, parts[same]) &&
               (lost.empty() || SameName(chain[same]->WideName(), chain[same]->ntName, parts[same],
                                         Exact(parts[same]))))
            prefix += 1 + parts[same++].size();
        chain.resize(same);
        // Each key is written back, and listed in a snapshot, with its whole
        // path: deep new paths are what a hostile file could multiply.
        for (size_t i = same; i < parts.size(); ++i) {
            prefix += 1 + parts[i].size();
            std::u16string exact = Exact(parts[i]);
            sim::RegKey *child = chain.back()->Child(parts[i]);
            if (child && !SameName(child->WideName(), child->ntName, parts[i], exact))
                return Clash(n, "keys", child->WideName(),
                             exact.empty() ? sim::WidenAnsi(parts[i]) : exact);
            if (!child) {
                pathBytes += prefix;
                if (pathBytes > kMaxKeyPathBytes)
                    return Fail(n, "key paths longer than " +
                                       std::to_string(kMaxKeyPathBytes >> 20) + " MiB in all");
                child = &chain.back()->AddChild(parts[i]);
                child->ntName = std::move(exact);
            }
            chain.push_back(child);
        }
        key = chain.back();
        return true;
    }

    bool ValueLine(int n, std::string_view line) {
        if (!key) return Fail(n, "value outside a key");
        size_t pos = 0;
        std::string name, message;
        std::u16string exactName;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, pos, name, message, lost.empty() ? nullptr : &sources)) {
            return Fail(n, message);
        } else if (!lost.empty()) {
            exactName = Exact(sources, name);
        }
        if (pos >= line.size() || line[pos] != '=') return Fail(n, "expected '=' after the name");
        auto was = key->values.find(name);
        if (was != key->values.end() &&
            !SameName(was->second.WideName(), was->second.ntName, name, exactName)) {
            if (line.substr(pos + 1) == "-") return true; // another value: nothing to remove
            return Clash(n, "values", was->second.WideName(),
                         exactName.empty() ? sim::WidenAnsi(name) : exactName);
        }
        std::string_view data = line.substr(pos + 1);
        sim::RegValue value;
        value.name = name;
        if (data == "-") {
            key->values.erase(name);
            return true;
        }
        std::vector<BYTE> exactData;
        if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string text;
            if (!ParseQuoted(data, p, text, message, lost.empty() ? nullptr : &sources))
                return Fail(n, message);
            if (p != data.size()) return Fail(n, "text after the closing quote");
            value = sim::MakeString(name, text);
            if (!lost.empty()) {
                std::u16string exact = Exact(sources, text);
                if (!exact.empty()) exactData = Utf16Bytes(exact + u'\0');
            }
        } else if (data.rfind("dword:", 0) == 0) {
            std::string_view digits = data.substr(6);
            if (digits.empty() || digits.size() > 8)
                return Fail(n, "dword needs 1 to 8 hex digits");
            DWORD v = 0;
            for (char c : digits) {
                int h = HexValue(c);
                if (h < 0) return Fail(n, "dword needs 1 to 8 hex digits");
                v = v * 16 + static_cast<DWORD>(h);
            }
            value = sim::MakeDword(name, v);
        } else if (data.rfind("hex", 0) == 0) {
            size_t colon = data.find(':');
            if (colon == std::string_view::npos) return Fail(n, "hex data without ':'");
            std::string_view kind = data.substr(3, colon - 3);
            value.type = REG_BINARY;
            if (!kind.empty()) {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
                    return Fail(n, "expected hex(type):");
                DWORD t = 0;
                for (char c : kind.substr(1, kind.size() - 2)) {
                    int h = HexValue(c);
                    if (h < 0 || t > 0x0FFFFFFF) return Fail(n, "bad type in hex(type):");
                    t = t * 16 + static_cast<DWORD>(h);
                }
                value.type = t;
            }
            if (!ParseHexBytes(data.substr(colon + 1), value.data, message))
                return Fail(n, message);
            if (format.version5 && IsStringType(value.type)) {
                if (NarrowLoses(value.data)) exactData = value.data;
                std::string narrow = Narrow(std::string_view(
                    reinterpret_cast<const char *>(value.data.data()), value.data.size()));
                value.data.assign(narrow.begin(), narrow.end());
            }
        } else {
            return Fail(n, "unknown value data: " + std::string(data.substr(0, 20)));
        }
        value.ntName = std::move(exactName);
        value.ntData = std::move(exactData);
        key->values[name] = std::move(value);
        return true;
    }
};

} // namespace

bool ReadRegFile(std::string_view bytes, const std::string &fileName, sim::Registry &registry,
                 RegFileFormat &format, InputError &error) {
    format = RegFileFormat{};
    std::string narrowed;
    std::vector<LostUnit> lost;
    std::string_view text = bytes;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        format.utf16 = true;
        narrowed = Narrow(bytes.substr(2), true, &lost);
        text = narrowed;
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        text = bytes.substr(3);
    }

    Parser parser{fileName, registry, format, error, text, lost};
    LineReader reader(text);
    std::string_view line;
    bool header = false;
    while (!header && reader.Next(line)) {
        if (line.size() > kMaxLineLength) return parser.Fail(reader.Number(), LineTooLong());
        header = line.find_first_not_of(" \t") != std::string_view::npos;
    }
    if (!header) return parser.Fail(1, "empty file: expected a REGEDIT4 header");
    if (line == kHeader5)
        format.version5 = true;
    else if (line != kHeader4)
        return parser.Fail(reader.Number(),
                           "expected \"REGEDIT4\" or \"" + std::string(kHeader5) + "\"");
    const std::string_view firstHeader = format.version5 ? kHeader5 : kHeader4;
    std::string joined;
    while (reader.Next(line)) {
        int number = reader.Number();
        if (line.size() > kMaxLineLength) return parser.Fail(number, LineTooLong());
        line = TrimLeft(line);
        if (line.empty() || line[0] == ';') continue;
        TrimRight(line);
        // A line of hex bytes ending in '\' goes on in the next line. The
        // joined line keeps its "=hex", so it is looked for once: once per
        // piece, a long value name would be searched again for every piece.
        if (line.back() == '\\' && line.find("=hex") != std::string_view::npos && !reader.AtEnd()) {
            parser.joinedOffset = line.data() - text.data();
            parser.joinedMapped = line.size() - 1;
            joined.assign(line);
            std::string_view next;
            while (joined.back() == '\\' && reader.Next(next)) {
                if (next.size() > kMaxLineLength)
                    return parser.Fail(reader.Number(), LineTooLong());
                joined.pop_back();
                joined += TrimLeft(next);
                TrimRight(joined);
            }
            if (joined.size() > kMaxLineLength) return parser.Fail(number, LineTooLong());
            line = joined;
            parser.joined = joined;
        }
        bool ok = true;
        if (line[0] == '[')
            ok = parser.KeyLine(number, line);
        else if (line[0] == '"' || line[0] == '@')
            ok = parser.ValueLine(number, line);
        else if (line == firstHeader) // the next of several exports joined with copy /b
            parser.key = nullptr;
        else
            ok = parser.Fail(number, "expected a [key], a value or a ; comment");
        if (!ok) return false;
        parser.joined = {};
    }
    return true;
}

} // namespace simio
