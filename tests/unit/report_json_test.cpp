// The report as JSON says what the text says: the example machines and
// captures are run, and every line of the text is rebuilt from the JSON's
// fields alone. Machine text that is not UTF-8, or holds control characters,
// still gives a document that parses and keeps its text.
#include "capture.h"
#include "machine_dir.h"
#include "report.h"
#include "test_machine.h"
#include "undo_kit.h"
#include "utf.h"

#include "app/uninstall.h"
#include "platform/sim/printable.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

struct Scratch {
    fs::path path;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "report-json-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Keeps the lines of `file` that `keep` accepts (regedit sections by their header).
void Filter(const fs::path &file, const std::function<bool(const std::string &)> &keep) {
    std::ifstream in(file, std::ios::binary);
    std::string line, out;
    bool section = true;
    while (std::getline(in, line)) {
        if (line.rfind('[', 0) == 0 || file.filename() != "registry.reg") section = keep(line);
        if (section) out += line + "\n";
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << out;
}

// The example run as uninstall-sim runs it, with the kit it would write. `onImage`: as
// read off a disk image whose entries hold other attributes for one file.
simio::Report RunExample(const fs::path &folder, const fs::path &drive, bool onImage,
                         const char *extraNote, void (*afterRun)(sim::Machine &)) {
    sim::Machine m;
    simio::MachineDir info;
    simio::InputError error;
    if (fs::exists(folder / "drive_c"))
        fs::copy(folder / "drive_c", drive, fs::copy_options::recursive);
    std::map<std::string, DWORD> entries;
    if (onImage) entries["windir\\inf\\other\\USBOEM01.inf"] = FILE_ATTRIBUTE_HIDDEN;
    EXPECT_TRUE(simio::LoadMachine(folder, drive, m, info, error, entries)) << error.Text();
    bool capture = !fs::exists(folder / "drive_c");
    simio::Report r = simio::MakeReport(folder.filename().string(),
                                        capture ? simio::Preview::Capture : simio::Preview::None);
    if (extraNote) info.notes.push_back({"note", extraNote});
    if (onImage)
        info.notes.insert(info.notes.begin(),
                          {"read-from", "Read from the folder CAPTURE of the image"});
    simio::AddMachine(r, m, info.notes);
    const simio::MachineState before = simio::CaptureState(m);
    simio::CaptureReads reads(info.capturedKeys, m.EnumRoot());
    m.calls.keepRecords = false;
    if (info.capturedList) m.calls.onBegin = [&](const sim::CallRecord &c) { reads.Observe(c); };
    sim::Install(&m);
    int exitCode = WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
    m.CloseAll();
    sim::Install(nullptr);
    if (afterRun) afterRun(m);
    const simio::MachineState after = simio::CaptureState(m);
    simio::AddRun(r, m, before, after, exitCode);
    r.readOutside = reads.Keys();
    r.dryRun = true;
    simio::UndoKit kit = simio::MakeUndoKit(m, info, before, after);
    r.nothingToUndo = kit.nothing;
    r.kit = simio::SummarizeUndoKit(kit, "kit.img", simio::KitSummary::Image);
    return r;
}

std::string S(const Json &j, const char *field) {
    return j.value(field, std::string());
}

std::string Count(const Json &j, const char *field, const char *one, const char *many) {
    size_t n = j.at(field).get<size_t>();
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Bytes(const Json &c, const char *field) {
    return c.at(field).dump() + " bytes";
}

std::string Below(const Json &c) {
    size_t n = c.at("keysBelow").get<size_t>();
    return n == 0 ? "" : " (and " + Count(c, "keysBelow", "key below it)", "keys below it)");
}

std::string Described(const Json &c) {
    return c.contains("description") ? " (" + S(c, "description") + ")" : "";
}

std::string Hex(const Json &c, const char *field) {
    std::ostringstream out;
    out << "0x" << std::hex << c.at(field).get<unsigned>();
    return out.str();
}

std::string Value(const Json &c) {
    return S(c, "key") + "\\" + (S(c, "valueName").empty() ? "(default)" : S(c, "valueName"));
}

// Each kind's line of text, from the JSON's fields alone.
const std::map<std::string, std::function<std::string(const Json &)>> kLines = {
    {"message-box",
     [](const Json &c) {
         return "Message box \"" + S(c, "caption") + "\": \"" + S(c, "text") + "\"";
     }},
    {"started",
     [](const Json &c) {
         return "Started " + S(c, "path") +
                (c.contains("parameters") ? " " + S(c, "parameters") : "");
     }},
    {"removed-product",
     [](const Json &c) { return "Removed product " + S(c, "product") + Described(c); }},
    {"removed-device",
     [](const Json &c) { return "Removed device " + S(c, "device") + Described(c) + Below(c); }},
    {"deleted-key", [](const Json &c) { return "Deleted key " + S(c, "key") + Below(c); }},
    {"created-key", [](const Json &c) { return "Created key " + S(c, "key"); }},
    {"set-value",
     [](const Json &c) {
         return "Set value " + Value(c) + " = " + S(c, "valueAfter") +
                (c.contains("valueBefore") ? " (was " + S(c, "valueBefore") + ")" : "");
     }},
    {"deleted-value", [](const Json &c) { return "Deleted value " + Value(c); }},
    {"deleted-file", [](const Json &c) { return "Deleted file " + S(c, "path"); }},
    {"changed-file",
     [](const Json &c) {
         return "Changed file " + S(c, "path") + " (" + Bytes(c, "sizeBefore") + " -> " +
                Bytes(c, "sizeAfter") + ")";
     }},
    {"created-file",
     [](const Json &c) {
         return "Created file " + S(c, "path") + " (" + Bytes(c, "sizeAfter") + ")";
     }},
    {"attributes",
     [](const Json &c) {
         return "Attributes of " + S(c, "path") + " " + Hex(c, "attributesBefore") + " -> " +
                Hex(c, "attributesAfter");
     }},
    {"closed-window", [](const Json &c) { return "Closed window \"" + S(c, "title") + "\""; }},
};

// The text's lines as the JSON tells them, in the order RenderText prints them.
std::vector<std::string> LinesFromJson(const Json &j) {
    std::vector<std::string> out;
    auto add = [&out](const std::string &line) { out.push_back(sim::Printable(line)); };
    if (j.contains("preview")) {
        EXPECT_EQ(j["preview"], "capture");
        add(S(j, "input") + " is a capture of a real machine: only previewed, as with --dry-run");
    }
    const Json &m = j["machine"];
    add("Machine " + S(j, "input") + ": " + S(m, "platform") + " " + m["major"].dump() + "." +
        m["minor"].dump() + " build " + m["build"].dump() + " \"" + S(m, "servicePack") +
        "\", Windows directory " + S(m, "windowsDirectory"));
    for (const Json &note : j["notes"])
        add(S(note, "text"));
    for (const Json &c : j["changes"]) {
        add(kLines.at(S(c, "kind"))(c));
        for (const Json &l : c.value("lines", Json::array())) {
            add("  line " + l["number"].dump() + " was: " + S(l, "before"));
            add("  line " + l["number"].dump() + " now: " + S(l, "after"));
        }
    }
    if (j["changes"].empty()) add("Nothing changed");
    for (const Json &key : j["readOutsideCapture"])
        add("Read outside the capture: " + key.get<std::string>() +
            " (the preview may not be complete)");
    add("Exit code " + j["exitCode"].dump() + " (" + j["windowsCalls"].dump() + " Windows calls)");
    if (j["dryRun"]) add("Dry run: the machine directory was not changed");
    if (j["nothingToUndo"]) add(simio::kNothingToUndo);
    const Json &k = j["kit"];
    add("Undo kit written to " + S(k, "path") + ": undo.reg puts back " +
        Count(k, "keys", "key", "keys") + " and " + Count(k, "values", "value", "values") +
        ", undo.bat copies back " + Count(k, "files", "file", "files") + " from files\\" +
        (k["attributesOnly"] > 0
             ? ", sets the attributes of " + Count(k, "attributesOnly", "more file", "more files")
             : "") +
        (k["removed"] > 0 ? ", deletes " + Count(k, "removed", "thing", "things") + " the run made"
                          : "") +
        (k["nothing"] ? ": " + std::string(simio::kNothingToUndo) : "") +
        "; README.txt tells what and how");
    return out;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// What an example lacks, or what a run does besides, to reach every note and change.
void NoAttrib(const fs::path &f) {
    fs::remove(f / "attrib.txt");
}

void NoLiveDeviceTree(const fs::path &f) {
    Filter(f / "registry.reg",
           [](const std::string &l) { return l.rfind("[HKEY_DYN_DATA", 0) != 0; });
}

void DriveIconsNotTried(const fs::path &f) {
    for (const char *name : {"captured.txt", "tried.txt"})
        Filter(f / name, [](const std::string &l) { return l.find("DriveIcons") == l.npos; });
}

void MakeMore(sim::Machine &m) {
    sim::RegValue one{"v", REG_DWORD, {1, 0, 0, 0}, {}, {}};
    m.registry.CreatePath("HKEY_LOCAL_MACHINE\\Software\\Made").values["v"] = one;
    sim::RegKey *printer = m.registry.FindPath("HKEY_LOCAL_MACHINE\\Enum\\Root\\PRINTER\\0000");
    ASSERT_TRUE(printer);
    printer->values.erase("DeviceDesc");
    sim::ResolvedPath other;
    ASSERT_EQ(m.files.Resolve("C:\\WINDOWS\\system32\\drivers\\OTHER.sys", other), 0u);
    m.files.SetAttributes(other.windows, FILE_ATTRIBUTE_HIDDEN);
    std::ofstream(other.host.parent_path() / "NEW.TXT") << "new\n";
}

struct ExampleCase {
    const char *what;
    const char *example;
    void (*prepare)(const fs::path &folder); // the copy, before it is read
    void (*afterRun)(sim::Machine &m);
    bool onImage;
    const char *extraNote; // or null
    // Known from the examples themselves: a fault both renderers shared shows here.
    size_t changes, removedDevices, warnings, readOutside;
    const char *noteKinds; // in order, after a space each
};

TEST(ReportJson, SaysWhatTheTextSaysForEveryExample) {
    const char *c98 = "captures/win98", *c2k = "captures/win2000-sp4";
    const ExampleCase cases[] = {
        {"win98", "win98", nullptr, nullptr, false, nullptr, 23, 7, 0, 0, ""},
        {"win2000-sp3", "win2000-sp3", nullptr, nullptr, false, nullptr, 6, 0, 0, 0, ""},
        {"win2000-sp4", "win2000-sp4", nullptr, nullptr, false, nullptr, 12, 0, 0, 0, ""},
        {"winxp", "winxp", nullptr, nullptr, false, nullptr, 7, 0, 0, 0, ""},
        {"capture of win98", c98, nullptr, nullptr, false, nullptr, 22, 7, 0, 0, ""},
        {"capture of win2000-sp4", c2k, nullptr, nullptr, false, nullptr, 11, 0, 0, 0, ""},
        {"no attrib.txt, off an image", c98, NoAttrib, nullptr, false, nullptr, 22, 7, 1, 0,
         " attributes-unknown"},
        {"off an image", c98, nullptr, nullptr, true, nullptr, 22, 7, 0, 0,
         " read-from attributes-differ"},
        {"no live device tree", c98, NoLiveDeviceTree, nullptr, false, nullptr, 26, 9, 1, 0,
         " no-live-device-tree"},
        {"drive icons not tried", c98, DriveIconsNotTried, nullptr, false, nullptr, 22, 7, 0, 33,
         ""},
        {"keys, values, files and attributes made", "win98", nullptr, MakeMore, false, "A note", 28,
         7, 0, 0, " note"},
    };
    for (const ExampleCase &c : cases) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        fs::path folder = scratch.path / "machine";
        fs::copy(fs::path(EXAMPLES_DIR) / c.example, folder, fs::copy_options::recursive);
        if (c.prepare) c.prepare(folder);
        simio::Report report =
            RunExample(folder, scratch.path / "drive_c", c.onImage, c.extraNote, c.afterRun);
        const std::string text = simio::RenderText(report), rendered = simio::RenderJson(report);
        EXPECT_EQ(rendered.rfind("{\n  \"version\": 1,\n", 0), 0u);
        EXPECT_EQ(rendered.back(), '\n');
        Json j = Json::parse(rendered);
        EXPECT_EQ(Lines(text), LinesFromJson(j));

        size_t devices = 0, warnings = 0;
        for (const Json &change : j["changes"])
            devices += change["kind"] == "removed-device";
        std::string kinds;
        for (const Json &note : j["notes"]) {
            kinds += " " + note["kind"].get<std::string>();
            warnings += note["warning"].get<bool>();
        }
        EXPECT_EQ(j["changes"].size(), c.changes);
        EXPECT_EQ(devices, c.removedDevices);
        EXPECT_EQ(kinds, c.noteKinds);
        EXPECT_EQ(warnings, c.warnings);
        EXPECT_EQ(j["readOutsideCapture"].size(), c.readOutside);
    }
}

// The JSON string's characters as one byte each: the machine's bytes, for text
// that held no UTF-8 of its own.
std::string Latin1(const std::string &utf8) {
    std::u16string wide;
    EXPECT_TRUE(simio::Utf16FromUtf8(utf8, wide));
    std::string out;
    for (char16_t unit : wide) {
        EXPECT_LT(unit, 0x100);
        out += static_cast<char>(unit);
    }
    return out;
}

struct TextCase {
    const char *what;
    std::string bytes; // as the machine holds them
    std::string json;  // the string the JSON gives, as UTF-8
    std::string shown; // as the text report shows it
    bool latin1;       // no UTF-8 of its own: the bytes come back exactly
};

TEST(ReportJson, MachineTextThatIsNotUtf8ParsesAndIsKept) {
    const TextCase cases[] = {
        {"terminal escapes", "\x1b]0;owned\x07\x1b[31m", "\x1b]0;owned\x07\x1b[31m",
         "\\x1b]0;owned\\x07\\x1b[31m", true},
        {"ANSI letters", "\xe9t\xe9", "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9", true},
        {"a C1 control byte",
         "a\x9b"
         "1m",
         "a\xc2\x9b"
         "1m",
         "a\\x9b1m", true},
        {"a cut sequence and a surrogate", "\xe2\x80 \xed\xa0\x80",
         "\xc3\xa2\xc2\x80 \xc3\xad\xc2\xa0\xc2\x80", "\xc3\xa2\\x80 \xc3\xad\xc2\xa0\\x80", true},
        {"DEL and the last byte", "\x7f\xff", "\x7f\xc3\xbf", "\\x7f\xc3\xbf", true},
        {"UTF-8 as it is", "\xc3\xa9", "\xc3\xa9", "\xc3\xa9", false},
        {"a bidirectional override",
         "\xe2\x80\xae"
         "evil",
         "\xe2\x80\xae"
         "evil",
         "\\u{202e}evil", false},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.what);
        TestMachine m;
        TestMachine::Win98(m);
        m.SetString("HKLM\\Software\\T" + c.bytes, "n" + c.bytes, "x");
        m.messageBoxes.push_back({c.bytes, "caption", 0});
        const simio::MachineState before = simio::CaptureState(m);
        m.SetString("HKLM\\Software\\T" + c.bytes, "n" + c.bytes, c.bytes);
        simio::Report r = simio::MakeReport("in" + c.bytes, simio::Preview::Zip);
        simio::AddMachine(r, m, {{"read-from", "Read from " + c.bytes}});
        simio::AddRun(r, m, before, simio::CaptureState(m), 0);
        r.readOutside = {"HKLM\\" + c.bytes};
        r.kit = simio::SummarizeUndoKit(simio::UndoKit{}, "kit" + c.bytes, simio::KitSummary::Zip);

        const std::string rendered = simio::RenderJson(r);
        for (char ch : rendered)
            ASSERT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7f)) << "raw byte " << int(ch);
        Json j;
        ASSERT_NO_THROW(j = Json::parse(rendered));
        ASSERT_EQ(j["changes"].size(), 2u);
        const Json &box = j["changes"][0], &set = j["changes"][1];
        const std::vector<std::pair<std::string, std::string>> strings = {
            {S(j, "input"), "in" + c.json},
            {S(j["notes"][0], "text"), "Read from " + c.json},
            {S(box, "text"), c.json},
            {S(set, "key"), "HKLM\\Software\\T" + c.json},
            {S(set, "valueName"), "n" + c.json},
            {S(set, "valueAfter"), "REG_SZ \"" + c.json + "\""},
            {j["readOutsideCapture"][0].get<std::string>(), "HKLM\\" + c.json},
            {S(j["kit"], "path"), "kit" + c.json},
        };
        for (const auto &[got, want] : strings)
            EXPECT_EQ(got, want);
        if (c.latin1) {
            EXPECT_EQ(Latin1(S(box, "text")), c.bytes);
        }
        EXPECT_EQ(j["notes"][0]["kind"], "read-from");
        EXPECT_EQ(j["preview"], "zip");
        EXPECT_EQ(j["kit"]["form"], "zip");
        // The text is as it was: machine text escaped where it always was.
        const std::string text = simio::RenderText(r);
        for (const std::string &line :
             {"in" + c.shown +
                  " is a zip archive, which is never written: only previewed, as "
                  "with --dry-run",
              "Message box \"caption\": \"" + c.shown + "\"",
              "Set value HKLM\\Software\\T" + c.shown + "\\n" + c.shown + " = REG_SZ \"" + c.shown +
                  "\" (was REG_SZ \"x\")"})
            EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;
    }
}

} // namespace
