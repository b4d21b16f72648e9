// regedit files read a piece at a time read as they do whole, wherever the
// pieces end: in a UTF-16 unit, a CRLF, a byte-order mark or a joined line.
#include "reg_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Utf16(std::u16string_view text) {
    std::string out = "\xFF\xFE";
    for (char16_t u : text)
        out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return out;
}

// What reading gives: the registry as a file, or the refusal.
std::string Read(std::string_view bytes, size_t piece) {
    sim::Registry registry;
    simio::RegFileFormat format;
    simio::InputError error;
    bool ok = piece ? simio::ReadRegFile(
                          [&](char *to, size_t most) {
                              size_t n = std::min({most, piece, bytes.size()});
                              std::copy_n(bytes.data(), n, to);
                              bytes.remove_prefix(n);
                              return n;
                          },
                          "t.reg", registry, format, error)
                    : simio::ReadRegFile(bytes, "t.reg", registry, format, error);
    return ok ? simio::WriteRegFile(registry, format) : error.Text();
}

TEST(RegPieces, ReadAsTheWholeFile) {
    const std::u16string nt = u"Windows Registry Editor Version 5.00\r\n\r\n"
                              u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\\u041a\u043b\u044e\u0447]\r\n"
                              u"\"\u20ac\"=\"\U0001F4BE x\"\r\n\"Blob\"=hex:01,02,\\\r\n  03\r\n"
                              u"@=hex(2):25,00,1e,20,00,00\r\n";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"UTF-16 with text ANSI loses", Utf16(nt)},
        {"two UTF-16 exports joined", Utf16(nt) + Utf16(nt)},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBFREGEDIT4\n[HKLM\\A]\n\"x\"=\"y\""},
        {"a refusal on line 3", "REGEDIT4\r\n[HKLM\\A]\r\n\"x\"=what\r\n"},
        {"a line break only at the end", "REGEDIT4\r\n[HKLM\\A]\r\n\"x\"=hex:01,\\\r\n"},
    };
    for (const char *machine : {"win98", "win2000-sp4", "captures/win98", "captures/win2000-sp4"}) {
        std::ifstream in(fs::path(EXAMPLES_DIR) / machine / "registry.reg", std::ios::binary);
        cases.push_back({machine, std::string(std::istreambuf_iterator<char>(in), {})});
    }
    for (const auto &[what, bytes] : cases) {
        SCOPED_TRACE(what);
        const std::string whole = Read(bytes, 0);
        EXPECT_GT(whole.size(), 20u) << whole;
        for (size_t piece : {1, 2, 3, 5, 4096})
            EXPECT_EQ(Read(bytes, piece), whole) << "in pieces of " << piece;
    }
}

} // namespace
