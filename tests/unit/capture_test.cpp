// Captures of real machines: joined exports, the version from the registry
// or ver.txt, attrib's output, the live device tree and reads the capture
// cannot answer.
#include "capture.h"
#include "platform/win32.h"
#include "reg_file.h"
#include "test_machine.h"

#include <gtest/gtest.h>

namespace {

std::string Utf16(const std::string &ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii)
        out += std::string{c, '\0'};
    return out;
}

// Reads `text` into `r`: true, or false with the error.
bool Load(sim::Registry &r, const std::string &text, simio::InputError &error) {
    simio::RegFileFormat format;
    return simio::ReadRegFile(text, "t.reg", r, format, error);
}

std::string Text(const sim::Registry &r, const char *key, const char *name) {
    return r.FindPath(key) ? sim::ValueText(r.FindPath(key)->values[name]) : "(no key)";
}

TEST(Capture, JoinedExportsReadAsOne) {
    const std::string h5 = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string a = "[HKLM\\A]\r\n\"x\"=\"1#\"\r\n\r\n", b = "[HKLM\\B]\r\n\"y\"=\"2\"\r\n";
    std::string utf16 = Utf16(h5 + a) + Utf16(h5 + b);
    utf16.replace(Utf16(h5 + a).find('#'), 2, "\xFF\xFE"); // a mark inside a line stays
    for (const std::string &text : {"REGEDIT4\r\n" + a + "REGEDIT4\r\n" + b, utf16}) {
        sim::Registry r;
        simio::InputError error;
        ASSERT_TRUE(Load(r, text, error)) << error.Text();
        EXPECT_EQ(Text(r, "HKLM\\B", "y"), "REG_SZ \"2\""); // not under "?[HKLM\B]"
        EXPECT_EQ(Text(r, "HKLM\\A", "x"), text == utf16 ? "REG_SZ \"1?\"" : "REG_SZ \"1#\"");
    }
    // A later header ends the key before it; another kind is no part of a join.
    for (const std::string &text : {std::string("REGEDIT4\n[HKLM\\A]\nREGEDIT4\n\"x\"=\"1\"\n"),
                                    "REGEDIT4\n[HKLM\\A]\n\"x\"=\"1\"\n" + h5}) {
        sim::Registry r;
        simio::InputError error;
        EXPECT_FALSE(Load(r, text, error));
        EXPECT_EQ(error.line, 4) << error.Text();
    }
}

TEST(Capture, VersionFromTheRegistryOrElseVer) {
    const std::string v9x = "[HKLM\\Software\\Microsoft\\Windows\\CurrentVersion]\n"
                            "\"VersionNumber\"=\"4.10.2222\"\n\"SubVersionNumber\"=\" A \"\n"
                            "\"SystemRoot\"=\"C:\\\\WINDOWS\"\n";
    const std::string vNt = "[HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion]\n"
                            "\"CurrentVersion\"=\"5.0\"\n\"CurrentBuildNumber\"=\"2195\"\n"
                            "\"CSDVersion\"=\"Service Pack 4\"\n\"SystemRoot\"=\"C:\\\\WINNT\"\n";
    const std::string sp4 = "[HKLM\\SYSTEM\\CurrentControlSet\\Control\\Windows]\n"
                            "\"CSDVersion\"=dword:00000400\n";
    const std::string ver2k = "\r\nMicrosoft Windows 2000 [Version 5.00.2195]\r\n";
    struct Case {
        std::string registry;
        const char *ver;      // null: no ver.txt
        const char *expected; // platform major.minor build "service pack", or file:line refused
    } cases[] = {
        {v9x + vNt, ver2k.c_str(), "1 4.10 2222 \" A \" C:\\WINDOWS"}, // the registry first
        {vNt, nullptr, "2 5.0 2195 \"Service Pack 4\" C:\\WINNT"},
        {sp4, "\r\nWindows 98 [Version 4.10.2222]\r\n", "1 4.10 2222 \"\" "},
        {sp4, ver2k.c_str(), "2 5.0 2195 \"Service Pack 4\" "},
        {"", ver2k.c_str(), "2 5.0 2195 \"\" "},
        {"", "Windows NT [Version 4.00.1381]", "2 4.0 1381 \"\" "},
        {"", "\r\nMicrosoft Windows 4.10.2222\r\n", "1 4.10 2222 \"\" "}, // Wine's cmd
        {"", nullptr, "ver.txt:0"},
        {"", "\r\nWindows 98 [Version 4.10]\r\n", "ver.txt:2"},
        {"", "Bad command or file name\r\n", "ver.txt:0"},
        {"[HKLM\\Software\\Microsoft\\Windows\\CurrentVersion]\n\"VersionNumber\"=\"4.10\"\n",
         ver2k.c_str(), "registry.reg:0"},
        {sp4 + "\"CSDVersion\"=\"4\"\n", ver2k.c_str(), "registry.reg:0"},
    };
    for (const Case &c : cases) {
        sim::Registry r;
        simio::InputError error;
        ASSERT_TRUE(Load(r, "REGEDIT4\n" + c.registry, error)) << error.Text();
        std::string ver = c.ver ? c.ver : "", got;
        sim::VersionRecord v;
        if (simio::VersionFromCapture(r, "registry.reg", c.ver ? &ver : nullptr, "ver.txt", v,
                                      error))
            got = std::to_string(v.platformId) + " " + std::to_string(v.major) + "." +
                  std::to_string(v.minor) + " " + std::to_string(v.build) + " \"" + v.servicePack +
                  "\" " + simio::SystemRootFromRegistry(r, v.platformId == 2);
        else
            got = error.file + ":" + std::to_string(error.line);
        EXPECT_EQ(got, c.expected) << c.registry << ver << error.Text();
    }
}

TEST(Capture, AttribLinesSetTheAttributesOfFilesThatAreThere) {
    TestMachine m;
    for (const char *file : {"inf\\USBOEM01.inf", "inf\\usbstor.inf", "x.pnf", "a.sys"})
        m.WriteFile(std::string("C:\\WINDOWS\\") + file, "x");
    simio::InputError error;
    ASSERT_TRUE(simio::ApplyAttribFile("  A  R       C:\\WINDOWS\\INF\\USBOEM01.INF\r\n\r\n"
                                       "A  SH       C:\\WINDOWS\\inf\\usbstor.inf\r\n"
                                       "            C:\\WINDOWS\\X.PNF  \r\n"
                                       "  A  R       C:\\WINDOWS\\GONE.INF\r\n",
                                       "attrib.txt", m.files, error))
        << error.Text();
    auto attributes = [&](const char *path) {
        sim::ResolvedPath entry;
        m.files.Resolve(std::string("C:\\WINDOWS\\") + path, entry);
        return m.files.AttributesOf(entry);
    };
    EXPECT_EQ(attributes("inf\\USBOEM01.inf"),
              DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY});
    EXPECT_EQ(attributes("inf\\usbstor.inf"),
              DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(attributes("x.pnf"), DWORD{FILE_ATTRIBUTE_NORMAL});
    EXPECT_EQ(attributes("a.sys"), DWORD{FILE_ATTRIBUTE_ARCHIVE}); // named by no line

    for (const char *line :
         {"File not found - C:\\WINDOWS\\a.sys", "  A  R", "A R WINDOWS\\a.sys"}) {
        EXPECT_FALSE(simio::ApplyAttribFile(std::string("A  C:\\WINDOWS\\a.sys\r\n") + line,
                                            "attrib.txt", m.files, error));
        EXPECT_EQ(error.line, 2) << line;
    }
}

TEST(Capture, TheLiveDeviceTreeTellsWhichDevicesArePresent) {
    TestMachine m;
    for (const char *id :
         {"USB\\VID_1234&PID_5678\\0001", "USB\\VID_1234&PID_5678\\0002", "Root\\PRINTER\\0000"})
        m.SetString(std::string("HKLM\\Enum\\") + id, "ClassGUID", "{x}");
    EXPECT_FALSE(simio::MarkAbsentDevices(m)); // no tree: all present
    EXPECT_TRUE(m.absentDevices.empty());

    const std::string tree = "HKEY_DYN_DATA\\Config Manager\\Enum\\";
    m.SetString(tree + "C1000000", "HardWareKey", "HTREE\\ROOT\\0");
    m.SetString(tree + "C1000034", "HardWareKey", "USB\\VID_1234&PID_5678\\0002");
    m.SetString(tree + "C1000068", "HardWareKey", "ROOT\\PRINTER\\0000");
    EXPECT_TRUE(simio::MarkAbsentDevices(m));
    EXPECT_EQ(m.absentDevices,
              (std::set<std::string, sim::CaseLess>{"USB\\VID_1234&PID_5678\\0001"}));
}

TEST(Capture, ReadsOutsideTheCapturedKeysAreNamedOnce) {
    std::vector<std::string> keys, bad;
    simio::InputError error;
    ASSERT_TRUE(simio::ReadCapturedKeys("\"HKEY_LOCAL_MACHINE\\Enum\"\r\n\r\n"
                                        "HKLM\\SYSTEM\\ControlSet001\\Services\\USBSTOR\r\n",
                                        "captured.txt", keys, error))
        << error.Text();
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_FALSE(
        simio::ReadCapturedKeys("HKLM\\Enum\r\nEnum\\USB\r\n", "captured.txt", bad, error));
    EXPECT_EQ(error.line, 2);

    // The program's own calls, as the simulated machine records them.
    TestMachine m;
    m.SetString("HKLM\\Enum\\USB\\VID_1234&PID_5678\\0001", "Driver", "HDC\\0001");
    m.SetDword("HKLM\\SYSTEM\\ControlSet001\\Services\\USBSTOR", "Start", 3);
    m.SetDword("HKLM\\SYSTEM\\ControlSet002\\Services\\USBSTOR", "Start", 3);
    m.SetDword("HKLM\\SYSTEM\\Select", "Current", 1);
    simio::CaptureReads reads(keys, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum");
    m.calls.onBegin = [&](const sim::CallRecord &call) { reads.Observe(call); };
    HKEY system, key;
    char name[256];
    DWORD size = sizeof name;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System", &system), ERROR_SUCCESS);
    RegEnumKeyExA(system, 0, name, &size, nullptr, nullptr, nullptr, nullptr); // on the way
    RegOpenKeyA(system, "ControlSet001\\Services\\USBSTOR", &key);             // captured
    RegQueryValueExA(key, "Start", nullptr, nullptr, nullptr, nullptr);
    RegOpenKeyA(system, "ControlSet002\\Services\\USBSTOR", &key);
    RegOpenKeyA(system, "controlset002\\services\\usbstor", &key); // the same key again
    RegOpenKeyA(HKEY_LOCAL_MACHINE, "enum\\usb\\VID_1234&PID_5678\\0001", &key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_1234&PID_5678\\0001");
    RegQueryValueExA(system, "Current", nullptr, nullptr, nullptr, nullptr); // values above
    RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Missing", &key); // missing here, maybe not there
    SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    RegDeleteKeyA(system, "ControlSet001\\Services"); // with everything below it
    RegOpenKeyA(system, "Select", &key);
    RegDeleteKeyA(system, "Select");
    RegQueryValueExA(key, "Current", nullptr, nullptr, nullptr, nullptr); // reads nothing
    m.calls.onBegin = nullptr;
    const std::vector<std::string> expected = {
        "HKLM\\SYSTEM\\ControlSet002\\Services\\USBSTOR", "HKLM\\SYSTEM", "HKLM\\Software\\Missing",
        "HKLM\\System\\CurrentControlSet\\Enum", "HKLM\\SYSTEM\\ControlSet001\\Services",
        "HKLM\\SYSTEM\\Select"};
    EXPECT_EQ(reads.Keys(), expected);
}

} // namespace
