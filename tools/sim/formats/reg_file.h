// Registry files in the text format regedit imports and exports: REGEDIT4
// (ANSI) and "Windows Registry Editor Version 5.00" (UTF-16LE with a
// byte-order mark, or plain text).
#pragma once

#include "platform/sim/registry.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <functional>
#include <string>
#include <string_view>

namespace simio {

// Machine folders come from other people. These bounds lie far above any real
// export or machine file; a hostile one that goes beyond them is refused as a
// malformed line instead of being read into ever longer lines and ever deeper
// trees.
//
// Components of a key path in a [...] line, its root included: the depth
// Windows itself allows, and one the registry's recursive walks over a tree
// (write-back, delete, release) take with a small share of a thread's stack.
inline constexpr size_t kMaxKeyDepth = 512;
// Characters of one line of registry.reg or machine.txt without its line
// break; for hex data continued with '\', of the joined line as well.
inline constexpr size_t kMaxLineLength = size_t{64} << 20;
// Characters of the full paths of all keys a file makes, each counted once:
// every key is written back and compared with its whole path.
inline constexpr std::uint64_t kMaxKeyPathBytes = std::uint64_t{1} << 30;

struct RegFileFormat {
    bool version5 = false; // header "Windows Registry Editor Version 5.00"
    bool utf16 = false;    // the file itself is UTF-16LE with a byte-order mark
};

// A problem in an input file, named by file and line.
struct InputError {
    std::string file;
    int line = 0;
    std::string message;
    std::string Text() const;
};

// Applies the file's keys and values to `registry`. Returns false and fills
// `error` at the first malformed line; the registry may then hold the lines
// before it. Several exports joined byte for byte (copy /b a.reg+b.reg) read
// as one: a later header like the first, and in UTF-16 its byte-order mark,
// are skipped; `format` is the first export's.
bool ReadRegFile(std::string_view bytes, const std::string &fileName, sim::Registry &registry,
                 RegFileFormat &format, InputError &error);
// The same, the bytes read a piece at a time: `more` puts up to `most` of them at `to` and
// returns how many, 0 at the end. Only the longest line is held at once.
using ReadPiece = std::function<size_t(char *to, size_t most)>;
bool ReadRegFile(const ReadPiece &more, const std::string &fileName, sim::Registry &registry,
                 RegFileFormat &format, InputError &error);

// A value's name as a value line starts with it: @ for the default value,
// else the name between quotes with the simulator's escapes.
std::string QuotedValueName(const std::string &name);

struct RegWriteOptions {
    // For regedit itself: quoted text with no escapes but \\ and \", the only
    // ones it reads. Keys and values it could not read back by their name
    // (RegeditCannotName) are left out, keys with all below them.
    bool regeditOnly = false;
    // When given, only these keys have a [key] line; others only lead to them.
    const std::set<std::string, sim::CaseLess> *keys = nullptr;
};

// Why regedit cannot read a key or value of this name back from a file, or
// null when it can.
const char *RegeditCannotName(std::u16string_view name, bool key);

// A file's text as UTF-16 code units, lines ending in CRLF; for a file that
// is not UTF-16, each unit is one byte. Names and string data are written as
// NT holds them where the format can carry that: UTF-16 text in a UTF-16
// file, UTF-16 bytes in version 5 hex data.
std::u16string WriteRegText(const sim::Registry &registry, const RegFileFormat &format,
                            const RegWriteOptions &options = {});
// A value's name as WriteRegText starts its line with it.
std::u16string RegValueName(const sim::RegValue &value, const RegFileFormat &format,
                            const RegWriteOptions &options = {});
// The bytes of the file: UTF-16LE with a byte-order mark, or a byte a unit.
std::string EncodeRegText(std::u16string_view text, const RegFileFormat &format);

// Every key below the roots (and each root that holds values), in name order.
std::string WriteRegFile(const sim::Registry &registry, const RegFileFormat &format);

} // namespace simio
