#include "reg_file.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace simio {

std::string InputError::Text() const {
    return file + (line ? ":" + std::to_string(line) : std::string()) + ": " + message;
}

namespace {

const char *const kHeader4 = "REGEDIT4";
const char *const kHeader5 = "Windows Registry Editor Version 5.00";

// UTF-16LE to the ANSI code page: code units above 0xFF have no byte and
// become '?', as WideCharToMultiByte writes its default character. With
// `joined`, the text is exports joined with copy /b, each with its own
// byte-order mark: one at the start of a line opens the next export and goes.
std::string Narrow(std::string_view utf16, bool joined = false) {
    std::string out;
    out.reserve(utf16.size() / 2);
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
        unsigned unit =
            static_cast<unsigned char>(utf16[i]) | (static_cast<unsigned char>(utf16[i + 1]) << 8);
        if (unit == 0xFEFF && joined && (out.empty() || out.back() == '\n')) continue;
        out += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return out;
}

std::string Widen(std::string_view ansi) {
    std::string out;
    for (char c : ansi) {
        out += c;
        out += '\0';
    }
    return out;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A quoted string with regedit's escapes; `pos` is at the opening quote and
// ends behind the closing one.
bool ParseQuoted(std::string_view line, size_t &pos, std::string &out, std::string &message) {
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"') return true;
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
    sim::RegKey *key = nullptr;
    std::vector<sim::RegKey *> chain = {}; // the last key line's keys, root first
    std::uint64_t pathBytes = 0;           // of every key made so far

    bool Fail(int line, std::string message) {
        error = {fileName, line, std::move(message)};
        return false;
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
        if (remove) {
            registry.DeletePath(path);
            key = nullptr;
            chain.clear();
            return true;
        }
        // Lookups among many siblings are most of the time a whole registry
        // takes to read. regedit writes a tree depth first, so a key line
        // mostly repeats the keys of the line before: those are taken from
        // there, and each further name is looked up once.
        sim::RegKey *root = registry.RootByName(parts[0]);
        if (chain.empty() || chain[0] != root) chain.assign(1, root);
        size_t same = 1, prefix = parts[0].size();
        while (same < chain.size() && same < parts.size() &&
               sim::EqualNoCase(chain[same]->name, parts[same]))
            prefix += 1 + parts[same++].size();
        chain.resize(same);
        // Each key is written back, and listed in a snapshot, with its whole
        // path: deep new paths are what a hostile file could multiply.
        for (size_t i = same; i < parts.size(); ++i) {
            prefix += 1 + parts[i].size();
            sim::RegKey *child = chain.back()->Child(parts[i]);
            if (!child) {
                pathBytes += prefix;
                if (pathBytes > kMaxKeyPathBytes)
                    return Fail(n, "key paths longer than " +
                                       std::to_string(kMaxKeyPathBytes >> 20) + " MiB in all");
                child = &chain.back()->AddChild(parts[i]);
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
        if (line[0] == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, pos, name, message)) {
            return Fail(n, message);
        }
        if (pos >= line.size() || line[pos] != '=') return Fail(n, "expected '=' after the name");
        std::string_view data = line.substr(pos + 1);
        sim::RegValue value;
        value.name = name;
        if (data == "-") {
            key->values.erase(name);
            return true;
        }
        if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string text;
            if (!ParseQuoted(data, p, text, message)) return Fail(n, message);
            if (p != data.size()) return Fail(n, "text after the closing quote");
            value = sim::MakeString(name, text);
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
                std::string narrow = Narrow(std::string_view(
                    reinterpret_cast<const char *>(value.data.data()), value.data.size()));
                value.data.assign(narrow.begin(), narrow.end());
            }
        } else {
            return Fail(n, "unknown value data: " + std::string(data.substr(0, 20)));
        }
        key->values[name] = std::move(value);
        return true;
    }
};

} // namespace

bool ReadRegFile(std::string_view bytes, const std::string &fileName, sim::Registry &registry,
                 RegFileFormat &format, InputError &error) {
    format = RegFileFormat{};
    std::string narrowed;
    std::string_view text = bytes;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        format.utf16 = true;
        narrowed = Narrow(bytes.substr(2), true);
        text = narrowed;
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        text = bytes.substr(3);
    }

    Parser parser{fileName, registry, format, error};
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
    }
    return true;
}

namespace {

std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        // A line break would end the line: written as the reader's escape.
        if (c == '\n' || c == '\r') {
            out += c == '\n' ? "\\n" : "\\r";
            continue;
        }
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

} // namespace

std::string QuotedValueName(const std::string &name) {
    return name.empty() ? "@" : "\"" + Escape(name) + "\"";
}

namespace {

// A plain "..." string is exact only for text with one terminating zero and
// no other zero, line break or byte that would not survive the round trip.
bool WritableAsString(const sim::RegValue &v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i)
        if (v.data[i] == 0 || v.data[i] == '\n' || v.data[i] == '\r') return false;
    return true;
}

void WriteValue(std::string &out, const sim::RegValue &v, const RegFileFormat &format) {
    std::string head = QuotedValueName(v.name) + "=";
    if (WritableAsString(v)) {
        out += head + "\"" + Escape(std::string(v.data.begin(), v.data.end() - 1)) + "\"\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                          (static_cast<unsigned>(v.data[3]) << 24));
        out += head + buf + "\n";
        return;
    }
    std::string bytes(v.data.begin(), v.data.end());
    if (format.version5 && IsStringType(v.type)) bytes = Widen(bytes);
    char kind[24];
    if (v.type == REG_BINARY)
        std::snprintf(kind, sizeof kind, "hex:");
    else
        std::snprintf(kind, sizeof kind, "hex(%x):", static_cast<unsigned>(v.type));
    std::string line = head + kind;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(bytes[i]));
        line += b;
        if (i + 1 < bytes.size()) {
            line += ",";
            if (line.size() > 76) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    out += line + "\n";
}

void WriteKey(std::string &out, const sim::RegKey &key, const RegFileFormat &format) {
    bool root = key.parent == nullptr;
    if (!root || !key.values.empty()) {
        out += "[" + key.Path() + "]\n";
        for (const auto &entry : key.values)
            WriteValue(out, entry.second, format);
        out += "\n";
    }
    for (const auto &entry : key.subkeys)
        WriteKey(out, *entry.second, format);
}

} // namespace

std::string WriteRegFile(const sim::Registry &registry, const RegFileFormat &format) {
    std::string out = std::string(format.version5 ? kHeader5 : kHeader4) + "\n\n";
    for (const auto &root : registry.Roots())
        WriteKey(out, *root, format);
    std::string crlf;
    for (char c : out) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    if (!format.utf16) return crlf;
    return "\xFF\xFE" + Widen(crlf);
}

} // namespace simio
