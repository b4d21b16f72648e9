// Machine directories: regedit text and the machine file, in and out.
#include "machine_dir.h"
#include "reg_file.h"

#include <gtest/gtest.h>

namespace {

std::string Utf16(const std::string &ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string ValueOf(const sim::Registry &r, const char *key, const char *name) {
    sim::RegKey *k = r.FindPath(key);
    if (!k) return "(no key)";
    auto it = k->values.find(name);
    return it == k->values.end() ? "(no value)" : sim::ValueText(it->second);
}

TEST(RegFile, ReadsEveryValueFormOfBothVersions) {
    const std::string body =
        "\r\n; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\USBSTOR]\r\n"
        "@=\"default \\\"quoted\\\" C:\\\\x\"\r\n"
        "\"Start\"=dword:00000003\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Link\"=hex(6):41,00\r\n"
        "[HKLM\\SOFTWARE\\Gone]\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n";
    const char *key = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\USBSTOR";
    // "System32\x" as REG_EXPAND_SZ and "a|b" as REG_MULTI_SZ, in each version's encoding.
    const std::string expand4 = "\"ImagePath\"=hex(2):53,79,73,74,65,6d,33,32,5c,78,00\r\n";
    const std::string expand5 = "\"ImagePath\"=hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,"
                                "32,00,5c,00,78,00,00,00\r\n";
    const std::string multi4 = "\"IDs\"=hex(7):61,00,62,00,00\r\n";
    const std::string multi5 = "\"IDs\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n";
    const std::string files[] = {
        "REGEDIT4\r\n" + body + "[" + key + "]\r\n" + expand4 + multi4,
        Utf16("Windows Registry Editor Version 5.00\r\n" + body + "[" + key + "]\r\n" + expand5 +
              multi5),
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n" + body + "[" + key + "]\n" + expand5 +
            multi5,
    };
    for (const std::string &file : files) {
        sim::Registry r;
        simio::RegFileFormat format;
        simio::InputError error;
        ASSERT_TRUE(simio::ReadRegFile(file, "t.reg", r, format, error)) << error.Text();
        EXPECT_EQ(ValueOf(r, key, ""), "REG_SZ \"default \"quoted\" C:\\x\"");
        EXPECT_EQ(ValueOf(r, key, "start"), "REG_DWORD 0x00000003");
        EXPECT_EQ(r.FindPath(key)->values["Blob"].data, (std::vector<BYTE>{1, 2, 3}));
        EXPECT_EQ(r.FindPath(key)->values["Empty"].data.size(), 0u);
        EXPECT_EQ(r.FindPath(key)->values["Link"].type, 6u);
        EXPECT_EQ(ValueOf(r, key, "ImagePath"), "REG_EXPAND_SZ \"System32\\x\"");
        EXPECT_EQ(ValueOf(r, key, "IDs"), "REG_MULTI_SZ \"a|b\"");
        EXPECT_EQ(r.FindPath("HKLM\\SOFTWARE\\Gone"), nullptr);

        // Written back in the same format, it reads as the same registry.
        std::string again = simio::WriteRegFile(r, format);
        EXPECT_EQ(again.substr(0, 2) == "\xFF\xFE", file.substr(0, 2) == "\xFF\xFE");
        sim::Registry r2;
        simio::RegFileFormat format2;
        ASSERT_TRUE(simio::ReadRegFile(again, "again.reg", r2, format2, error)) << error.Text();
        EXPECT_EQ(simio::WriteRegFile(r2, format2), again);
        EXPECT_EQ(ValueOf(r2, key, "ImagePath"), "REG_EXPAND_SZ \"System32\\x\"");
        EXPECT_EQ(ValueOf(r2, key, "Link"), ValueOf(r, key, "Link"));
    }
}

TEST(RegFile, MalformedLinesAreNamedByLine) {
    struct Case {
        const char *text;
        int line;
        const char *message;
    } cases[] = {
        {"", 1, "header"},
        {"REGEDIT5\n", 1, "expected \"REGEDIT4\""},
        {"REGEDIT4\n\n\"a\"=\"b\"\n", 3, "value outside a key"},
        {"REGEDIT4\n[HKEY_NOWHERE\\x]\n", 2, "unknown root key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\x\n", 2, "closing ']'"},
        {"REGEDIT4\n[HKLM\\x]\n\"a\"=\"b\n", 3, "closing quote"},
        {"REGEDIT4\n[HKLM\\x]\n\"a\"=dword:123456789\n", 3, "dword"},
        {"REGEDIT4\n[HKLM\\x]\n\"a\"=hex:1,02\n", 3, "two hex digits"},
        {"REGEDIT4\n[HKLM\\x]\n\"a\"=hex(z):01\n", 3, "type"},
        {"REGEDIT4\n[HKLM\\x]\n\"a\"=wrong\n", 3, "unknown value data"},
        {"REGEDIT4\n[HKLM\\x]\nnot a value\n", 3, "expected a [key]"},
    };
    for (const Case &c : cases) {
        sim::Registry r;
        simio::RegFileFormat format;
        simio::InputError error;
        EXPECT_FALSE(simio::ReadRegFile(c.text, "bad.reg", r, format, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.Text().find(c.message), std::string::npos) << error.Text();
        EXPECT_EQ(error.Text().rfind("bad.reg:", 0), 0u);
    }
}

TEST(MachineFile, ReadsEveryKeyAndRejectsWhatItDoesNotKnow) {
    const std::string text = "# Windows 98\n"
                             "version 1 4.10 2222 \" A \"\n"
                             "windows-directory \"C:\\WIN98\"\n"
                             "attributes \"C:\\WIN98\\a.sys\" readonly hidden 0x100\n"
                             "locked \"C:\\WIN98\\b.sys\"\n"
                             "modified \"C:\\WIN98\\c.inf\" 1975-06-01T00:00:00\n"
                             "window \"Quorbe\" class \"QuorbeMainWindow\"\n"
                             "window \"Other\"\n"
                             "absent-device \"USB\\VID_1234&PID_5678\\1\"\n"
                             "time-zone-bias -60\n"
                             "fail SetupDiRemoveDevice occurrence 2 error 5\n";
    sim::Machine m;
    simio::MachineDir info;
    simio::InputError error;
    ASSERT_TRUE(simio::ReadMachineFile(text, "machine.txt", m, info, error)) << error.Text();
    EXPECT_EQ(m.version.platformId, 1u);
    EXPECT_EQ(m.version.minor, 10u);
    EXPECT_EQ(m.version.servicePack, " A ");
    EXPECT_EQ(m.windowsDirectory, "C:\\WIN98");
    EXPECT_EQ(m.files.RecordedAttributes().at("c:\\win98\\A.SYS"), 0x103u);
    EXPECT_EQ(m.files.lockedByOthers.count("C:\\WIN98\\b.sys"), 1u);
    ASSERT_EQ(m.windows.size(), 2u);
    EXPECT_EQ(m.windows[0].className, "QuorbeMainWindow");
    EXPECT_EQ(m.absentDevices.count("USB\\VID_1234&PID_5678\\1"), 1u);
    EXPECT_EQ(m.files.timeZoneBias, -60);
    ASSERT_EQ(info.modified.size(), 1u);
    EXPECT_EQ(info.comments.size(), 1u);

    std::string written = simio::WriteMachineFile(m, info);
    EXPECT_NE(written.find("version 1 4.10 2222 \" A \""), std::string::npos);
    EXPECT_NE(written.find("fail SetupDiRemoveDevice occurrence 2 error 5"), std::string::npos);

    const char *bad[] = {"colour blue\n",
                         "version 1 four 2222\n",
                         "window \"Quorbe\" klass x\n",
                         "attributes \"C:\\x\" shiny\n",
                         "modified \"C:\\x\" yesterday\n",
                         "fail X sometimes 2\n",
                         "windows-directory \"C:\\x\n"};
    for (const char *line : bad) {
        sim::Machine other;
        simio::MachineDir otherInfo;
        EXPECT_FALSE(simio::ReadMachineFile(std::string("# ok\n") + line, "machine.txt", other,
                                            otherInfo, error))
            << line;
        EXPECT_EQ(error.line, 2) << line;
    }
}

} // namespace
