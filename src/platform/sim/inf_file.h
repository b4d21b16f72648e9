// A setup information (INF) file as the device installer reads it: sections
// of lines, each line an optional key and comma-separated fields, with
// %strkey% texts replaced from the [Strings] section when a line is read.
#pragma once

#include "platform/sim/win32_types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct InfLine {
    bool hasKey = false;
    std::string key;
    std::vector<std::string> fields; // quotes removed, strings not yet substituted
    unsigned number = 0;             // line of the file where it starts, from 1
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

class InfFile {
  public:
    // Parses an INF's text (already ANSI). On a syntax error returns false
    // with the setupapi error and the line it was found on.
    bool Parse(std::string_view text, DWORD &error, unsigned &errorLine);

    // Sections are found without regard to case; a name given twice is one
    // section with the lines of both.
    const std::vector<InfSection> &Sections() const { return sections_; }
    const InfSection *Section(std::string_view name) const;
    const InfLine *FindLine(const InfSection &section, std::string_view key) const;

    // %strkey% replaced by its [Strings] text (key without regard to case),
    // %% by %, and an unknown %strkey% left as written.
    std::string Substitute(std::string_view text) const;
    // The line's fields, substituted and joined by commas; the key and its
    // '=' are left out.
    std::string LineText(const InfLine &line) const;
    // The first field of the first `key` line of `section`, substituted.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

    // [Version] Signature is $Chicago$, $Windows NT$ or $Windows 95$.
    bool HasWin4Signature() const;

  private:
    size_t AddSection(std::string_view name); // index of the new or merged section
    std::vector<InfSection> sections_;
};

// The ANSI text of an INF file's bytes: UTF-16LE when it starts with the
// byte-order mark (characters beyond Latin-1 become '?'), ANSI otherwise.
std::string InfText(const std::string &bytes);

} // namespace sim
