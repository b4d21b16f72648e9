// The simulated INF reader and setup-class lookup.
#include "platform/sim/guid.h"
#include "platform/win32.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const kPath = "C:\\WINDOWS\\inf\\test.inf";

// The compact text of every line of a section, read the way the uninstaller does.
std::vector<std::string> SectionText(const char *section, DWORD *openError = nullptr) {
    HINF inf = SetupOpenInfFileA(kPath, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        if (openError) *openError = GetLastError();
        return {"not opened"};
    }
    std::vector<std::string> lines;
    INFCONTEXT context;
    for (DWORD i = 0; SetupGetLineByIndexA(inf, section, i, &context); ++i) {
        char text[256] = {};
        DWORD required = 0;
        if (!SetupGetLineTextA(&context, nullptr, nullptr, nullptr, text, sizeof text, &required))
            lines.push_back("error " + std::to_string(GetLastError()));
        else
            lines.push_back(text);
    }
    SetupCloseInfFile(inf);
    return lines;
}

std::string GuidOf(const char *text) {
    GUID g{};
    return sim::ParseGuid(text, g) ? sim::GuidText(g) : "bad";
}

TEST(SimInf, LinesComeBackCompact) {
    TestMachine m;
    m.WriteFile(kPath, "; leading comment\r\n"
                       "[Version]\r\n"
                       "Signature=\"$CHICAGO$\"\r\n"
                       "\r\n"
                       "[models]   ; a comment after the section name\r\n"
                       "%Desc%=Install.Section,USB\\VID_1234&PID_5678\r\n"
                       "  Key  =  a ,  b c  ,\"  quoted, with ; and = \"  \r\n"
                       "%unknown%,%%,100%%,%desc%\r\n"
                       "\"say \"\"hi\"\"\",x=y ; trailing comment\r\n"
                       "first,sec\\\r\n"
                       "     ond,third\r\n"
                       "last\\   \r\n"
                       "\r\n"
                       "A,,B\r\n"
                       "path\\with\\backslash\r\n"
                       "[Strings]\r\n"
                       "DESC = \"Mass Storage\"\r\n"
                       "[MODELS]\r\n"
                       "merged\r\n");
    EXPECT_EQ(SectionText("Models"), (std::vector<std::string>{
                                         "Install.Section,USB\\VID_1234&PID_5678",
                                         "a,b c,  quoted, with ; and = ",
                                         "%unknown%,%,100%,Mass Storage",
                                         "say \"hi\",x=y",
                                         "first,second,third",
                                         "last",
                                         "A,,B",
                                         "path\\with\\backslash",
                                         "merged",
                                     }));
    EXPECT_EQ(SectionText("NoSuchSection"), std::vector<std::string>{});

    // UTF-16LE with its byte-order mark reads the same.
    std::string ansi = "[Version]\r\nSignature=$Windows NT$\r\n[S]\r\nk=v,%x%\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : ansi)
        wide += std::string{c, '\0'};
    m.WriteFile(kPath, wide);
    EXPECT_EQ(SectionText("s"), std::vector<std::string>{"v,%x%"});
}

TEST(SimInf, OnlyWindows4InfsOpen) {
    TestMachine m;
    struct Case {
        const char *text;
        DWORD error; // 0: opens
    };
    const Case cases[] = {
        {"[Version]\nSignature=$chicago$\n", 0},
        {"[version]\nsignature = \"$WINDOWS 95$\"\n", 0},
        {"[Version]\nSignature=\"$Windows NT$\"\n", 0},
        {"[Version]\nSignature=$Windows 2000$\n", ERROR_WRONG_INF_STYLE},
        {"[Version]\nClass=HDC\n", ERROR_WRONG_INF_STYLE},
        {"[Strings]\nx=1\n", ERROR_WRONG_INF_STYLE},
        {"Signature=$Chicago$\n[Version]\n", ERROR_EXPECTED_SECTION_NAME},
        {"[Version\nSignature=$Chicago$\n", ERROR_BAD_SECTION_NAME_LINE},
        {"\x7f\x45\x4c\x46\x02\x01", ERROR_EXPECTED_SECTION_NAME},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        m.WriteFile(kPath, c.text);
        DWORD error = 0;
        std::vector<std::string> lines = SectionText("Version", &error);
        EXPECT_EQ(lines == std::vector<std::string>{"not opened"}, c.error != 0);
        EXPECT_EQ(error, c.error);
    }
    UINT errorLine = 99;
    m.WriteFile(kPath, "; comment\n\n[Version\n");
    EXPECT_EQ(SetupOpenInfFileA(kPath, nullptr, INF_STYLE_WIN4, &errorLine), INVALID_HANDLE_VALUE);
    EXPECT_EQ(errorLine, 3u);

    std::filesystem::remove(m.Host(kPath));
    EXPECT_EQ(SetupOpenInfFileA(kPath, nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::filesystem::create_directories(m.Host(kPath));
    EXPECT_EQ(SetupOpenInfFileA(kPath, nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(SimInf, LineTextNeedsRoomForTheWholeLine) {
    TestMachine m;
    m.WriteFile(kPath, "[Version]\nSignature=$Chicago$\n[S]\nkey=abc,%s%\n[Strings]\ns=defgh\n");
    HINF inf = SetupOpenInfFileA(kPath, nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    ASSERT_TRUE(SetupGetLineByIndexA(inf, "S", 0, &context));
    EXPECT_FALSE(SetupGetLineByIndexA(inf, "S", 1, &context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));

    char text[16];
    std::memset(text, 'x', sizeof text);
    DWORD required = 0;
    EXPECT_FALSE(SetupGetLineTextA(&context, nullptr, nullptr, nullptr, text, 9, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 10u); // "abc,defgh" and its terminator
    EXPECT_EQ(text[0], 'x');
    EXPECT_TRUE(SetupGetLineTextA(&context, nullptr, nullptr, nullptr, text, 10, &required));
    EXPECT_STREQ(text, "abc,defgh");
    // Without a context the line is found by section and key.
    EXPECT_TRUE(SetupGetLineTextA(nullptr, inf, "s", "KEY", text, sizeof text, nullptr));
    EXPECT_STREQ(text, "abc,defgh");

    SetupCloseInfFile(inf);
    EXPECT_FALSE(SetupGetLineByIndexA(inf, "S", 0, &context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupGetLineByIndexA(INVALID_HANDLE_VALUE, "S", 0, &context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SimInf, ClassOfAnInfAndGuidsOfAClassName) {
    TestMachine m;
    TestMachine::Win98(m);
    struct Case {
        const char *version;
        bool ok;
        const char *name;
        const char *guid;
    };
    const Case cases[] = {
        {"Class=%cls%\nClassGUID={4d36e96a-e325-11ce-bfc1-08002be10318}\n", true, "HDC",
         "{4D36E96A-E325-11CE-BFC1-08002BE10318}"},
        {"Class=DiskDrive\n", true, "DiskDrive", "{4D36E967-E325-11CE-BFC1-08002BE10318}"},
        {"Class=Gadget\n", true, "Gadget", "{00000000-0000-0000-0000-000000000000}"},
        {"ClassGUID={36FC9E60-C465-11CF-8056-444553540000}\n", true, "USB",
         "{36FC9E60-C465-11CF-8056-444553540000}"},
        {"Provider=OEM\n", false, "", ""},
        {"Class=HDC\nClassGUID={not-a-guid}\n", false, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version);
        m.WriteFile(kPath, std::string("[Version]\nSignature=$Chicago$\n") + c.version +
                               "[Strings]\ncls=HDC\n");
        GUID guid{};
        char name[256] = {};
        EXPECT_EQ(SetupDiGetINFClassA(kPath, &guid, name, sizeof name, nullptr) != FALSE, c.ok);
        if (!c.ok) continue;
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(sim::GuidText(guid), c.guid);
    }
    GUID guid{};
    char name[4] = {};
    DWORD required = 0;
    m.WriteFile(kPath, "[Version]\nSignature=$Chicago$\nClass=DiskDrive\n");
    EXPECT_FALSE(SetupDiGetINFClassA(kPath, &guid, name, sizeof name, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 10u);
    m.WriteFile(kPath, "[Version]\nClass=DiskDrive\n");
    EXPECT_FALSE(SetupDiGetINFClassA(kPath, &guid, name, sizeof name, &required));
    EXPECT_FALSE(SetupDiGetINFClassA("C:\\WINDOWS\\inf\\none.inf", &guid, name, 4, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    auto lookup = [](const char *className, DWORD &count) {
        GUID list[2] = {};
        count = 99;
        if (!SetupDiClassGuidsFromNameExA(className, list, 1, &count, nullptr, nullptr))
            return std::string("error ") + std::to_string(GetLastError());
        return count ? sim::GuidText(list[0]) : std::string("none");
    };
    DWORD count;
    EXPECT_EQ(lookup("hdc", count), GuidOf("{4D36E96A-E325-11CE-BFC1-08002BE10318}"));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(lookup("Gadget", count), "none");
    EXPECT_EQ(count, 0u);
    // Windows 98 registers a class by name; its GUID is in a ClassGUID value.
    const std::string classes98 = "HKLM\\System\\CurrentControlSet\\Services\\Class\\";
    m.Key(classes98 + "Gadget");
    EXPECT_EQ(lookup("Gadget", count), "none");
    m.SetString(classes98 + "Gadget", "ClassGUID", "{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(lookup("GADGET", count), "{11111111-2222-3333-4444-555555555555}");
    // Windows NT keys classes by GUID and names them in a Class value.
    const std::string classesNt = "HKLM\\System\\CurrentControlSet\\Control\\Class\\";
    m.SetString(classesNt + "{66666666-2222-3333-4444-555555555555}", "Class", "Gadget");
    EXPECT_EQ(lookup("Gadget", count), "{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(count, 1u);
    TestMachine::Win2000(m, "");
    m.SetString(classesNt + "{77777777-2222-3333-4444-555555555555}", "Class", "gadget");
    EXPECT_EQ(lookup("Gadget", count), "error " + std::to_string(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(count, 2u);
    m.Fail("SetupDiClassGuidsFromNameExA");
    EXPECT_EQ(lookup("HDC", count), "error " + std::to_string(ERROR_INVALID_CLASS));
}

} // namespace
