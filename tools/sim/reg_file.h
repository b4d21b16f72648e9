// Registry files in the text format regedit imports and exports: REGEDIT4
// (ANSI) and "Windows Registry Editor Version 5.00" (UTF-16LE with a
// byte-order mark, or plain text).
#pragma once

#include "platform/sim/registry.h"

#include <string>
#include <string_view>

namespace simio {

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
// before it.
bool ReadRegFile(std::string_view bytes, const std::string &fileName, sim::Registry &registry,
                 RegFileFormat &format, InputError &error);

// Every key below the roots (and each root that holds values), in name order.
std::string WriteRegFile(const sim::Registry &registry, const RegFileFormat &format);

} // namespace simio
