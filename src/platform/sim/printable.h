// Text from a machine folder made safe to show on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// UTF-8 text passes as it is. A byte that does not start a valid UTF-8
// sequence is a character of the machine's ANSI code page (Latin-1 here, as
// regedit's exports hold it) and is shown as that character. Control
// characters (C0, DEL, C1) and the invisible characters that reorder or
// hide text (bidirectional overrides, zero-width marks) are shown escaped,
// as \xNN or \u{NNNN}, so nothing read from a machine can drive the terminal.
std::string Printable(std::string_view text);

} // namespace sim
