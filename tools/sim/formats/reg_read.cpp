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
bool NarrowLoses(const sim::Bytes &bytes) {
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
        if (!sources) { // the plain run up to the next quote or escape at once
            size_t stop = pos;
            while (stop < line.size() && line[stop] != '"' && line[stop] != '\\')
                ++stop;
            out.append(line.data() + pos, stop - pos);
            if ((pos = stop) == line.size()) break;
        }
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

bool ParseHexBytes(std::string_view text, sim::Bytes &out, std::string &message) {
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

// The lines of a file one at a time, without their line break ("\n" or
// "\r\n"), read a piece at a time: a line is a view into a window that holds
// it and the rest of the last piece, valid until the next line is asked for,
// so that a file of any size costs its longest line. UTF-16 is narrowed on
// the way (see Narrow), each lost unit noted where it stands in the whole
// narrowed text.
class LineReader {
  public:
    LineReader(const ReadPiece &more, RegFileFormat &format) : more_(more) {
        while (raw_.size() < 3 && Read()) {
        }
        if (raw_.size() >= 2 && static_cast<unsigned char>(raw_[0]) == 0xFF &&
            static_cast<unsigned char>(raw_[1]) == 0xFE) {
            format.utf16 = utf16_ = true;
            raw_.erase(0, 2);
        } else if (raw_.rfind("\xEF\xBB\xBF", 0) == 0) {
            raw_.erase(0, 3);
        }
        Take();
    }

    // A text that ends in a line break has an empty last line. A line longer
    // than kMaxLineLength comes cut there, for the caller to refuse.
    bool Next(std::string_view &line) {
        if (done_) return false;
        size_t end;
        while ((end = window_.find('\n', seen_)) == std::string::npos && !atEnd_) {
            seen_ = window_.size();
            if (window_.size() - pos_ > kMaxLineLength) break;
            window_.erase(0, pos_);
            base_ += pos_;
            seen_ -= pos_;
            pos_ = 0;
            atEnd_ = !Read();
            Take();
        }
        done_ = end == std::string::npos;
        if (done_) end = window_.size();
        line = std::string_view(window_).substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = seen_ = end + 1;
        if (number_ < INT_MAX) ++number_; // a file of billions of lines stays defined behaviour
        return true;
    }
    bool AtEnd() const { return done_; }
    int Number() const { return number_; }
    // Where `p`, in the last line, stands in the whole text.
    size_t OffsetOf(const char *p) const { return base_ + (p - window_.data()); }
    bool Holds(const char *p) const { return p >= window_.data() && p < window_.data() + pos_; }
    const std::vector<LostUnit> &Lost() const { return lost_; }

  private:
    static constexpr size_t kPiece = size_t{1} << 20;

    // Pieces grow with what was read, so that a small text costs no large piece.
    bool Read() {
        size_t want = std::clamp<size_t>(base_ + window_.size(), 4096, kPiece);
        if (piece_.size() < want) piece_.resize(want);
        size_t got = more_(piece_.data(), want);
        raw_.append(piece_.data(), got);
        return got > 0;
    }
    // What was read goes into the window, narrowed if it is UTF-16: a last odd byte waits.
    void Take() {
        if (!utf16_) {
            window_ += raw_;
            raw_.clear();
            return;
        }
        size_t even = raw_.size() & ~size_t{1};
        for (size_t i = 0; i < even; i += 2) {
            unsigned unit = static_cast<unsigned char>(raw_[i]) |
                            (static_cast<unsigned char>(raw_[i + 1]) << 8);
            if (unit == 0xFEFF && lineStart_) continue; // the next export's byte-order mark
            if (unit > 0xFF) lost_.push_back({base_ + window_.size(), static_cast<char16_t>(unit)});
            window_ += unit <= 0xFF ? static_cast<char>(unit) : '?';
            lineStart_ = unit == '\n';
        }
        raw_.erase(0, even);
    }

    const ReadPiece &more_;
    bool utf16_ = false, lineStart_ = true, atEnd_ = false, done_ = false;
    std::vector<char> piece_;
    std::string raw_;    // read, not yet in the window
    std::string window_; // from the start of the last line on
    size_t base_ = 0;    // where the window starts in the whole text
    size_t pos_ = 0;     // where the next line starts in the window
    size_t seen_ = 0;    // how far the window is known to hold no line break
    int number_ = 0;
    std::vector<LostUnit> lost_;
};

std::string LineTooLong() {
    return "line longer than " + std::to_string(kMaxLineLength >> 20) + " MiB";
}

struct Parser {
    const std::string &fileName;
    sim::Registry &registry;
    RegFileFormat &format;
    InputError &error;
    const LineReader &reader;          // the lines are views into its window
    const std::vector<LostUnit> &lost; // its lost units, when it narrowed UTF-16
    sim::RegKey *key = nullptr;
    std::vector<sim::RegKey *> chain = {}; // the last key line's keys, root first
    std::uint64_t pathBytes = 0;           // of every key made so far
    // A line joined from pieces is a copy: its first piece maps back to the text.
    std::string_view joined = {};
    size_t joinedOffset = 0, joinedMapped = 0;
    std::vector<const char *> sources = {};

    bool Fail(int line, std::string message) {
        error = {fileName, line, std::move(message)};
        return false;
    }

    // Where `p` stands in the text, or npos.
    size_t OffsetOf(const char *p) const {
        if (reader.Holds(p)) return reader.OffsetOf(p);
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
        if (key) key->values.shrink_to_fit(); // its section ends: no room to spare
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

    std::string name = {}, text = {}; // of the last value line, kept for their room

    bool ValueLine(int n, std::string_view line) {
        if (!key) return Fail(n, "value outside a key");
        size_t pos = 0;
        std::string message;
        name.clear();
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
            value.data.shrink_to_fit(); // a million values are read: none holds room to spare
            if (format.version5 && IsStringType(value.type)) {
                if (NarrowLoses(value.data)) exactData.assign(value.data.begin(), value.data.end());
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
    return ReadRegFile(
        [&bytes](char *to, size_t most) {
            size_t n = std::min(most, bytes.size());
            std::copy_n(bytes.data(), n, to);
            bytes.remove_prefix(n);
            return n;
        },
        fileName, registry, format, error);
}

bool ReadRegFile(const ReadPiece &more, const std::string &fileName, sim::Registry &registry,
                 RegFileFormat &format, InputError &error) {
    format = RegFileFormat{};
    LineReader reader(more, format);
    Parser parser{fileName, registry, format, error, reader, reader.Lost()};
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
            parser.joinedOffset = reader.OffsetOf(line.data());
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
