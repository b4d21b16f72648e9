#include "platform/sim/inf_file.h"

#include "platform/sim/registry.h"

namespace sim {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Ctrl+Z ends an INF file wherever it stands, as it ends an MS-DOS text file.
constexpr char kEndOfFile = '\x1a';

// Reads one entry line from `i` up to and including its line end. A
// backslash that only blanks follow continues the line on the next one.
class EntryReader {
  public:
    EntryReader(std::string_view text, size_t &i, unsigned &lineNo)
        : text_(text), i_(i), lineNo_(lineNo) {}

    InfLine Read() {
        InfLine line;
        line.number = lineNo_;
        bool keyAllowed = true;
        for (;;) {
            if (AtEnd()) break;
            char c = text_[i_];
            if (inQuotes_) {
                ReadQuoted(c);
                continue;
            }
            if (c == '\n') {
                ++i_;
                ++lineNo_;
                break;
            }
            if (c == ';') { // comment: up to the line end
                while (!AtEnd() && text_[i_] != '\n')
                    ++i_;
                continue;
            }
            if (c == '"') {
                Flush();
                inQuotes_ = quoted_ = true;
                ++i_;
                continue;
            }
            if (c == ',') {
                EndField(line);
                keyAllowed = false;
                ++i_;
                continue;
            }
            if (c == '=' && keyAllowed) {
                line.hasKey = true;
                line.key = token_;
                Reset();
                keyAllowed = false;
                ++i_;
                continue;
            }
            if (c == '\\' && Continues()) continue;
            if (IsSpace(c)) {
                if (!token_.empty() || quoted_) pending_ += c; // trailing blanks wait
                ++i_;
                continue;
            }
            Flush();
            token_ += c;
            ++i_;
        }
        EndField(line);
        return line;
    }

  private:
    bool AtEnd() const { return i_ >= text_.size() || text_[i_] == kEndOfFile; }

    // Inside quotes everything counts, "" is one quote, and the line end
    // closes what was left open.
    void ReadQuoted(char c) {
        if (c == '\n') {
            inQuotes_ = false;
        } else if (c == '"') {
            if (i_ + 1 < text_.size() && text_[i_ + 1] == '"') {
                token_ += '"';
                ++i_;
            } else {
                inQuotes_ = false;
            }
            ++i_;
        } else {
            token_ += c;
            ++i_;
        }
    }

    // At a backslash: when only blanks and backslashes follow up to the line
    // end, skips to the first non-blank of the next line and returns true.
    bool Continues() {
        size_t k = i_ + 1;
        while (k < text_.size() && (IsSpace(text_[k]) || text_[k] == '\\'))
            ++k;
        if (k < text_.size() && text_[k] != '\n' && text_[k] != kEndOfFile) return false;
        i_ = k;
        if (i_ < text_.size() && text_[i_] == '\n') {
            ++i_;
            ++lineNo_;
        }
        while (i_ < text_.size() && IsSpace(text_[i_]))
            ++i_;
        return true;
    }

    void Flush() {
        token_ += pending_;
        pending_.clear();
    }
    void Reset() {
        token_.clear();
        pending_.clear();
        quoted_ = false;
    }
    void EndField(InfLine &line) {
        line.fields.push_back(token_);
        Reset();
    }

    std::string_view text_;
    size_t &i_;
    unsigned &lineNo_;
    std::string token_;
    std::string pending_; // blanks after the token, kept only if more text follows
    bool inQuotes_ = false;
    bool quoted_ = false;
};

} // namespace

size_t InfFile::AddSection(std::string_view name) {
    for (size_t k = 0; k < sections_.size(); ++k)
        if (EqualNoCase(sections_[k].name, name)) return k;
    sections_.push_back({std::string(name), {}});
    return sections_.size() - 1;
}

bool InfFile::Parse(std::string_view text, DWORD &error, unsigned &errorLine) {
    sections_.clear();
    size_t current = 0; // index + 1 of the section lines go to; 0 before the first
    size_t i = 0;
    unsigned lineNo = 1;
    auto skipLine = [&] {
        while (i < text.size() && text[i] != '\n' && text[i] != kEndOfFile)
            ++i;
    };
    while (i < text.size() && text[i] != kEndOfFile) {
        char c = text[i];
        if (IsSpace(c)) {
            ++i;
        } else if (c == '\n') {
            ++i;
            ++lineNo;
        } else if (c == ';') {
            skipLine();
        } else if (c == '[') {
            size_t close = i + 1;
            while (close < text.size() && text[close] != ']' && text[close] != '\n')
                ++close;
            if (close >= text.size() || text[close] != ']') {
                error = ERROR_BAD_SECTION_NAME_LINE;
                errorLine = lineNo;
                return false;
            }
            std::string_view name = text.substr(i + 1, close - i - 1);
            if (name.size() > 255) {
                error = ERROR_SECTION_NAME_TOO_LONG;
                errorLine = lineNo;
                return false;
            }
            current = AddSection(name) + 1;
            i = close + 1;
            skipLine(); // the rest of a section line is ignored
        } else if (!current) {
            error = ERROR_EXPECTED_SECTION_NAME;
            errorLine = lineNo;
            return false;
        } else {
            InfLine line = EntryReader(text, i, lineNo).Read();
            sections_[current - 1].lines.push_back(std::move(line));
        }
    }
    return true;
}

const InfSection *InfFile::Section(std::string_view name) const {
    for (const InfSection &s : sections_)
        if (EqualNoCase(s.name, name)) return &s;
    return nullptr;
}

const InfLine *InfFile::FindLine(const InfSection &section, std::string_view key) const {
    for (const InfLine &line : section.lines)
        if (line.hasKey && EqualNoCase(line.key, key)) return &line;
    return nullptr;
}

std::string InfFile::Substitute(std::string_view text) const {
    const InfSection *strings = Section("Strings");
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        size_t close = text.find('%', i + 1);
        if (close == std::string_view::npos) { // a lone % stays
            out.append(text.substr(i));
            break;
        }
        std::string_view key = text.substr(i + 1, close - i - 1);
        const InfLine *line = strings && !key.empty() ? FindLine(*strings, key) : nullptr;
        if (key.empty())
            out += '%';
        else if (line)
            out += line->fields.empty() ? std::string() : line->fields[0];
        else
            out.append(text.substr(i, close - i + 1));
        i = close + 1;
    }
    return out;
}

std::string InfFile::LineText(const InfLine &line) const {
    std::string text;
    for (size_t f = 0; f < line.fields.size(); ++f)
        text += (f ? "," : "") + Substitute(line.fields[f]);
    return text;
}

std::optional<std::string> InfFile::Value(std::string_view section, std::string_view key) const {
    const InfSection *s = Section(section);
    const InfLine *line = s ? FindLine(*s, key) : nullptr;
    if (!line) return std::nullopt;
    return line->fields.empty() ? std::string() : Substitute(line->fields[0]);
}

bool InfFile::HasWin4Signature() const {
    const InfSection *version = Section("Version");
    const InfLine *line = version ? FindLine(*version, "Signature") : nullptr;
    if (!line || line->fields.empty()) return false;
    const std::string &s = line->fields[0]; // compared as written, not substituted
    return EqualNoCase(s, "$Chicago$") || EqualNoCase(s, "$Windows NT$") ||
           EqualNoCase(s, "$Windows 95$");
}

std::string InfText(const std::string &bytes) {
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
        return bytes;
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        unsigned unit = static_cast<unsigned char>(bytes[i]) |
                        (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
        text += unit < 0x100 ? static_cast<char>(unit) : '?';
    }
    return text;
}

} // namespace sim
