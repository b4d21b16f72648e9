#include "platform/sim/printable.h"

#include <gtest/gtest.h>

using sim::Printable;

TEST(Printable, TextPassesAndControlsAreEscaped) {
    // UTF-8, and Latin-1 as a Windows 98 export holds it, both read the same.
    EXPECT_EQ(Printable("C:\\WINDOWS\\inf\\Caf\xc3\xa9.inf"), "C:\\WINDOWS\\inf\\Caf\xc3\xa9.inf");
    EXPECT_EQ(Printable("Caf\xe9 \xd7"), "Caf\xc3\xa9 \xc3\x97");
    // Terminal escapes, C1 controls in either form, bidirectional overrides.
    EXPECT_EQ(Printable("a\x1b]0;t\x07\x1b[31mb\r\n\t\x7f"),
              "a\\x1b]0;t\\x07\\x1b[31mb\\x0d\\x0a\\x09\\x7f");
    EXPECT_EQ(Printable("\x9b"
                        "31m \xc2\x9b"),
              "\\x9b31m \\u{009b}");
    EXPECT_EQ(Printable("abc\xe2\x80\xae"
                        "cba"),
              "abc\\u{202e}cba");
    // What is not valid UTF-8 (overlong, surrogate, cut short) is taken byte by byte.
    EXPECT_EQ(Printable("\xc0\x80"), "\xc3\x80\\x80");
    EXPECT_EQ(Printable("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\\x80");
    EXPECT_EQ(Printable("\xe2\x82"), "\xc3\xa2\\x82");
    EXPECT_EQ(Printable(std::string("a\0b", 3)), "a\\x00b");
}
