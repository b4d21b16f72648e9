// Example machines as a damaged or tampered system could leave them: registry
// values and key names of any length, driver INFs and usbstor.inf files of
// any shape, drive-icon entries at every position. Each runs the whole
// program, which must keep its promise (exit code 0, no text but the final
// message, nothing deleted or changed that is not the package's, the roots
// of the registry trees still there, usbstor.inf as it was or exactly
// patched) and must give the result that such a machine calls for.
#include "machine_dir.h"
#include "reference_patch.h"
#include "report.h"
#include "test_machine.h"

#include "app/uninstall.h"
#include "common/windows_directory.h"
#include "devices/inventory.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>

namespace fs = std::filesystem;

namespace {

using Keys = std::set<std::string>;

std::string Upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Registry paths are compared as "HKLM\..." in upper case, as the registry
// compares names.
std::string Norm(const std::string &path) {
    const std::string full = "HKEY_LOCAL_MACHINE";
    return Upper(path.rfind(full, 0) == 0 ? "HKLM" + path.substr(full.size()) : path);
}

Keys KeySet(std::initializer_list<std::string> relative) {
    Keys keys;
    for (const std::string &k : relative)
        keys.insert(Norm("HKLM\\" + k));
    return keys;
}

Keys With(Keys a, const Keys &b) {
    a.insert(b.begin(), b.end());
    return a;
}

Keys Without(Keys a, const Keys &b) {
    for (const std::string &k : b)
        a.erase(k);
    return a;
}

// Whether `path` is `key` or lies below it.
bool Within(const std::string &path, const std::string &key) {
    return path == key || path.rfind(key + "\\", 0) == 0;
}

const std::string kClass = "System\\CurrentControlSet\\Services\\Class\\";
const std::string kClassRoot = Norm("HKLM\\System\\CurrentControlSet\\Services\\Class");
const std::string kIcons = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
const std::string kProduct =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5B0E7A13-2C64-4D9F-9E21-"
    "3A7C55D0B8F6}";
const char *const kHdc = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const std::string kSystemDriver = "REG_EXPAND_SZ \"System32\\DRIVERS\\USBSTOR.SYS\"";

// What the Windows 98 example holds of the package: the stick in E: with its
// disk, the card reader with a card (F:) and the one without, the disk
// interface of the first reader; and the companion's product and drive icon.
const std::string kStickId = "USB\\VID_1234&PID_5678\\5&1A2B3C&0&1";
const std::string kReaderId = "USB\\VID_1234&PID_5679\\0001";
const std::string kInterfaceId = "XBUS\\DISK\\USB&VID_1234&PID_5679&0001";
const Keys kStick =
    KeySet({"Enum\\" + kStickId, "Enum\\XDISK\\GENERIC\\USB&VID_1234&PID_5678&5&1A2B3C&0&100",
            kClass + "DiskDrive\\0003", kClass + "HDC\\0001"});
const Keys kReader =
    KeySet({"Enum\\" + kReaderId, "Enum\\XDISK\\GENERIC\\USB&VID_1234&PID_5679&000100",
            kClass + "DiskDrive\\0004", kClass + "HDC\\0003"});
const Keys kSecondReader = KeySet({"Enum\\USB\\VID_1234&PID_5679\\0002",
                                   "Enum\\XDISK\\GENERIC\\USB&VID_1234&PID_5679&000200",
                                   kClass + "DiskDrive\\0005", kClass + "HDC\\0002"});
const Keys kInterface = KeySet({"Enum\\" + kInterfaceId, kClass + "HDC\\0004"});
const Keys kCompanion = KeySet({kIcons + "\\E", kProduct});
const Keys kWin98Clean =
    With(With(With(kStick, kReader), With(kSecondReader, kInterface)), kCompanion);

const char *const kPackageFiles[] = {"\\SYSTEM32\\DRIVERS\\WDMOEM01.SYS",
                                     "\\SYSTEM\\IOSUBSYS\\PDROEM01.PDR",
                                     "\\INF\\OTHER\\USBOEM01.INF",
                                     "\\INF\\USBOEM01.INF",
                                     "\\INF\\MSZEVUMSS.PNF",
                                     "\\SYSTEM32\\DRIVERS\\USBSTORSP3.SYS"};

struct Tally {
    size_t machines = 0;
    size_t invariants = 0;
    void Print(const char *what) const {
        std::printf("%s: %zu machines, %zu invariants checked\n", what, machines, invariants);
    }
};

struct Outcome {
    Keys deleted; // the topmost of the deleted keys
    std::set<std::string> deletedFiles;
    std::optional<std::string> infBefore, infAfter; // usbstor.inf, when a file
    size_t removedDevices = 0;
};

// One of the example machines on a drive of its own, to be made hostile and
// run.
class HostileMachine : public TestMachine {
  public:
    explicit HostileMachine(const std::string &example) {
        fs::path dir = fs::path(EXAMPLES_DIR) / example;
        fs::copy(dir / "drive_c", Host("C:\\"),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        simio::MachineDir info;
        simio::InputError error;
        if (!simio::LoadMachine(dir, Host("C:\\"), *this, info, error))
            ADD_FAILURE() << error.Text();
    }
    ~HostileMachine() {
        DeviceTable.reset();
        RecordCount = 0;
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
    }

    std::string Win(const std::string &rest) const { return windowsDirectory + "\\" + rest; }

    // A value with exactly these bytes, terminated or not.
    void SetRaw(const std::string &key, const std::string &name, DWORD type,
                const std::string &bytes) {
        sim::RegValue value;
        value.name = name;
        value.type = type;
        value.data.assign(bytes.begin(), bytes.end());
        Key(key).values[name] = value;
    }

    void AddDevice(const std::string &id, const std::string &driver) {
        SetString("HKLM\\Enum\\" + id, "ClassGUID", kHdc);
        SetString("HKLM\\Enum\\" + id, "Driver", driver);
        Key("HKLM\\" + kClass + driver);
    }

    std::optional<std::string> Bytes(const std::string &windowsPath) const {
        if (!fs::is_regular_file(Host(windowsPath))) return std::nullopt;
        return ReadFile(windowsPath);
    }

    // The records the inventory makes of this machine; it changes nothing.
    std::vector<my_devdriData> Inventory() {
        std::strcpy(WindowsDirectory, windowsDirectory.c_str());
        BuildDeviceInventory();
        std::vector<my_devdriData> records(DeviceTable.get(), DeviceTable.get() + RecordCount);
        DeviceTable.reset();
        RecordCount = 0;
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
        CloseAll();
        calls.Clear();
        return records;
    }

    // The whole program, with its promise checked. `package` holds the keys
    // that are the package's; the marked drive-icon entries are added here.
    Outcome Run(const Keys &package, Tally &tally);
};

Outcome HostileMachine::Run(const Keys &package, Tally &tally) {
    const std::string inf = Win("inf\\usbstor.inf");
    const bool infWasDirectory = fs::is_directory(Host(inf));
    Outcome o;
    o.infBefore = Bytes(inf);
    simio::Snapshot before = simio::TakeSnapshot(*this);
    calls.Clear();
    messageBoxes.clear();

    const int exitCode = WinMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
    CloseAll();

    simio::Snapshot after = simio::TakeSnapshot(*this);
    o.infAfter = Bytes(inf);
    for (const auto &call : calls.Named("SetupDiRemoveDevice"))
        o.removedDevices += call.result.rfind("TRUE", 0) == 0;
    Keys beforeKeys, afterKeys;
    for (const auto &entry : before.keys)
        beforeKeys.insert(Norm(entry.first));
    for (const auto &entry : after.keys)
        afterKeys.insert(Norm(entry.first));
    for (const std::string &key : beforeKeys) {
        const std::string parent = key.substr(0, key.rfind('\\'));
        if (!afterKeys.count(key) && (!beforeKeys.count(parent) || afterKeys.count(parent)))
            o.deleted.insert(key);
    }
    for (const auto &entry : before.files)
        if (!after.files.count(entry.first)) o.deletedFiles.insert(Upper(entry.first));

    ++tally.machines;
    EXPECT_EQ(exitCode, 0);
    EXPECT_LE(messageBoxes.size(), 1u);
    for (const auto &box : messageBoxes) {
        EXPECT_EQ(box.text, "UnInstall finished!");
        EXPECT_EQ(box.caption, " Success!");
    }
    tally.invariants += 2;

    // Keys: only the package's and marked drive-icon entries go; the roots of
    // the trees the program deletes in, the keys directly below them and
    // every control set stay; nothing is created.
    const std::string icons = Norm("HKLM\\" + kIcons);
    auto marked = [&](const std::string &key) {
        return key.rfind(icons + "\\", 0) == 0 && key.size() == icons.size() + 2 &&
               beforeKeys.count(key + "\\ZEVDRIVE");
    };
    for (const std::string &key : o.deleted) {
        bool allowed = marked(key);
        for (const std::string &own : package)
            allowed = allowed || Within(key, own);
        EXPECT_TRUE(allowed) << "deleted " << key;
        ++tally.invariants;
    }
    const std::string roots[] = {Norm("HKLM\\Enum"), kClassRoot, Norm("HKLM\\SYSTEM")};
    for (const std::string &key : beforeKeys) {
        const std::string parent = key.substr(0, key.rfind('\\'));
        bool root = key == icons;
        for (const std::string &r : roots)
            root = root || key == r || parent == r;
        if (!root) continue;
        EXPECT_TRUE(afterKeys.count(key)) << "lost " << key;
        ++tally.invariants;
    }
    for (const std::string &key : afterKeys)
        EXPECT_TRUE(beforeKeys.count(key)) << "created " << key;
    ++tally.invariants;

    // Values: only ImagePath of a USBSTOR service and the icon and label of
    // a marked entry change.
    for (const auto &[path, values] : after.keys) {
        const std::string key = Norm(path);
        auto old = before.keys.find(path);
        for (const auto &[name, text] : values) {
            if (old != before.keys.end() && old->second.count(name) && old->second.at(name) == text)
                continue;
            const std::string entry = key.substr(0, key.rfind('\\'));
            const bool service = key.size() > 17 &&
                                 key.compare(key.size() - 17, 17, "\\SERVICES\\USBSTOR") == 0 &&
                                 name == "ImagePath";
            const bool icon = (Within(key, icons) && name.empty() && marked(entry) &&
                               (key == entry + "\\DEFAULTICON" || key == entry + "\\DEFAULTLABEL"));
            EXPECT_TRUE(service || icon) << "changed " << path << "\\" << name;
        }
    }
    ++tally.invariants;

    // Files: only the package's driver files go, nothing is left behind, and
    // usbstor.inf is as it was or exactly patched.
    const std::string windows = Upper(windowsDirectory);
    for (const std::string &file : o.deletedFiles) {
        bool own = false;
        for (const char *name : kPackageFiles)
            own = own || file == windows + name;
        EXPECT_TRUE(own) << "deleted " << file;
        ++tally.invariants;
    }
    for (const auto &entry : after.files)
        EXPECT_TRUE(before.files.count(entry.first)) << "left behind " << entry.first;
    if (o.infBefore) {
        EXPECT_TRUE(o.infAfter == o.infBefore || o.infAfter == ReferencePatch(*o.infBefore))
            << "usbstor.inf is neither the old nor the patched bytes";
    } else {
        EXPECT_FALSE(o.infAfter.has_value());
    }
    EXPECT_EQ(fs::is_directory(Host(inf)), infWasDirectory);
    tally.invariants += 3;
    return o;
}

const my_devdriData *RecordOf(const std::vector<my_devdriData> &records, const std::string &id) {
    for (const my_devdriData &r : records)
        if (r.InstanceId == id) return &r;
    return nullptr;
}

TEST(HostileMachines, DriverValuesThatNameNoDriverKeyOfTheirOwnDeleteNothing) {
    // Driver values that, cut to the 255 characters a 256-byte buffer holds,
    // would name HDC\0000 (the IDE controller's driver key): 300 characters,
    // and 256 characters stored without a terminator.
    const std::string cutToIde = "HDC\\0000" + std::string(247, '\\');
    struct Value {
        const char *what;
        std::string bytes;
        std::string read; // what the record's field holds
    };
    const Value values[] = {
        {"empty", std::string(1, '\0'), ""},
        {"a bare class name", std::string("HDC\0", 4), "HDC"},
        {"only backslashes", std::string("\\\\\\\\\0", 5), "\\\\\\\\"},
        {"300 characters", cutToIde + std::string(45, 'Z') + '\0', ""},
        {"256 characters without a terminator", cutToIde + "Z", ""},
    };
    struct Position {
        const char *what;
        std::string device; // whose Driver value it is
        std::vector<std::pair<std::string, std::string my_devdriData::*>> readInto; // by whom
        Keys kept;
    };
    using R = my_devdriData;
    const Position positions[] = {
        {"the stick's own", kStickId, {{kStickId, &R::DriverKey}}, KeySet({kClass + "HDC\\0001"})},
        {"its disk's",
         "XDISK\\GENERIC\\USB&VID_1234&PID_5678&5&1A2B3C&0&100",
         {{kStickId, &R::DiskDriverKey}},
         KeySet({kClass + "DiskDrive\\0003"})},
        {"the card reader's, which is also its disk interface's USB key",
         kReaderId,
         {{kReaderId, &R::DriverKey},
          {kReaderId, &R::UsbDriverKey},
          {kInterfaceId, &R::UsbDriverKey}},
         KeySet({kClass + "HDC\\0003"})},
    };
    Tally tally;
    for (const Position &position : positions) {
        for (const Value &value : values) {
            SCOPED_TRACE(std::string(position.what) + " Driver value, " + value.what);
            HostileMachine m("win98");
            m.SetRaw("HKLM\\Enum\\" + position.device, "Driver", REG_SZ, value.bytes);
            const auto records = m.Inventory();
            ASSERT_EQ(records.size(), 4u);
            for (const auto &[id, field] : position.readInto) {
                ASSERT_NE(RecordOf(records, id), nullptr) << id;
                EXPECT_EQ(RecordOf(records, id)->*field, value.read) << id;
            }
            Outcome o = m.Run(kWin98Clean, tally);
            EXPECT_EQ(o.deleted, Without(kWin98Clean, position.kept));
            EXPECT_TRUE(m.HasKey("HKLM\\" + kClass + "HDC\\0000"));
        }
    }

    // A device without a tail in its ID reads the Driver value of the USB
    // enumerator itself, and one with a one-name tail that of a model key
    // below it; neither is a device's, so neither may send the purge to the
    // root hub's driver key.
    struct Tampered {
        const char *what;
        std::string device, usbKey;
    };
    const Tampered tampered[] = {
        {"the USB enumerator", "XBUS\\DISK\\0001", "USB"},
        {"a model key below the USB enumerator", "XBUS\\DISK\\USB&VID", "USB\\VID"},
    };
    for (const Tampered &t : tampered) {
        SCOPED_TRACE(std::string("a Driver value on ") + t.what);
        HostileMachine m("win98");
        m.AddDevice(t.device, "HDC\\0012");
        m.SetString("HKLM\\Enum\\" + t.usbKey, "Driver", "USB\\0000");
        const auto records = m.Inventory();
        ASSERT_NE(RecordOf(records, t.device), nullptr);
        EXPECT_EQ(RecordOf(records, t.device)->DriverKey, "HDC\\0012");
        EXPECT_EQ(RecordOf(records, t.device)->UsbDriverKey, "");
        const Keys own = KeySet({"Enum\\" + t.device, kClass + "HDC\\0012"});
        Outcome o = m.Run(With(kWin98Clean, own), tally);
        EXPECT_EQ(o.deleted, With(kWin98Clean, own));
        EXPECT_TRUE(m.HasKey("HKLM\\" + kClass + "USB\\0000"));
    }
    tally.Print("hostile Driver values");
}

TEST(HostileMachines, InstanceIdsAndSubkeyNamesAtAndBeyondTheBuffer) {
    // Devices below the stick's hardware ID, "USB\VID_1234&PID_5678\" and a
    // subkey name: an instance ID of up to 253 characters leaves room for
    // the "00" its text gets; longer ones are not the inventory's, and a
    // name the 256-byte buffer can't hold ends the walk over that hardware
    // ID's subkeys, hiding those listed after it.
    struct Case {
        const char *what;
        std::string name;
        bool removed, hidesStick;
    };
    const Case cases[] = {
        {"instance ID of 253 characters", std::string(231, '9'), true, false},
        {"instance ID of 254 characters", std::string(232, '9'), false, false},
        {"instance ID of 255 characters", std::string(233, '9'), false, false},
        {"instance ID of 256 characters", std::string(234, '9'), false, false},
        {"subkey name of 255 characters", std::string(255, '9'), false, false},
        {"subkey name of 256 characters, listed last", std::string(256, 'Z'), false, false},
        {"subkey name of 256 characters, listed first", std::string(256, '0'), false, true},
    };
    Tally tally;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HostileMachine m("win98");
        const std::string id = "USB\\VID_1234&PID_5678\\" + c.name;
        m.AddDevice(id, "HDC\\0020");
        const auto records = m.Inventory();
        EXPECT_EQ(records.size(), 4u + c.removed - c.hidesStick);
        EXPECT_EQ(RecordOf(records, kStickId) != nullptr, !c.hidesStick);
        const my_devdriData *r = RecordOf(records, id);
        ASSERT_EQ(r != nullptr, c.removed);
        if (r) {
            EXPECT_EQ(r->InstanceIdText.size(), 255u);
            EXPECT_EQ(r->InstanceIdText.substr(251), "9900");
            EXPECT_EQ(r->DriverKey, "HDC\\0020");
        }
        const Keys own = KeySet({"Enum\\" + id, kClass + "HDC\\0020"});
        Outcome o = m.Run(With(kWin98Clean, own), tally);
        EXPECT_EQ(o.deleted, With(Without(kWin98Clean, c.hidesStick ? kStick : Keys{}),
                                  c.removed ? own : Keys{}));
        EXPECT_EQ(o.removedDevices, 4u + c.removed - c.hidesStick);
    }
    tally.Print("long instance IDs and subkey names");
}

// A Windows 98 driver INF with `lines` as its models section.
std::string DriverInf(const std::vector<std::string> &lines, const std::string &strings = "",
                      const std::string &version =
                          "Class=HDC\r\nClassGUID={4D36E96A-E325-11CE-BFC1-08002BE10318}\r\n",
                      const std::string &header = "[MSOEM01SECTION]") {
    std::string inf = "[Version]\r\nSignature=\"$CHICAGO$\"\r\n" + version +
                      "\r\n[Strings]\r\nStick=\"USB Mass Storage Controller\"\r\n"
                      "Reader=\"USB Card Reader\"\r\n" +
                      strings + "\r\n" + header + "\r\n";
    for (const std::string &line : lines)
        inf += line + (line.empty() || line.back() != '\n' ? "\r\n" : "");
    return inf;
}

TEST(HostileMachines, DriverInfLinesOfAnyShape) {
    const std::string stick = "%Stick%=USBOEM01.Install,USB\\VID_1234&PID_5678";
    const std::string reader = "%Reader%=USBOEM01.Install,USB\\VID_1234&PID_5679,USB\\CLASS_08";
    const std::string disk = "%Stick%=USBOEM01.Install,XBUS\\DISK";
    std::string thousandFields = stick, readerThousand = reader;
    for (int f = 2; f < 1000; ++f)
        thousandFields += ",x";
    for (int f = 3; f < 1000; ++f)
        readerThousand += ",x";
    const Keys loopDevice = KeySet({"Enum\\%b%\\M\\1", kClass + "HDC\\0010"});
    const Keys allDevices = Without(kWin98Clean, kCompanion);
    struct Case {
        const char *what;
        std::string inf;
        Keys kept, added;
        size_t records;
    };
    const Case cases[] = {
        {"the example's own lines", DriverInf({stick, reader, disk}), {}, {}, 4},
        {"the stick's line without a comma",
         DriverInf({"USB\\VID_1234&PID_5678", reader, disk}),
         kStick,
         {},
         3},
        {"the stick's line with 1,000 fields",
         DriverInf({thousandFields, reader, disk}),
         kStick,
         {},
         3},
        // The disk interface, now nobody's sibling, purges its own keys: its
        // USB key is the first reader's, whose driver key goes with them.
        {"the reader's line with 1,000 fields",
         DriverInf({stick, readerThousand, disk}),
         Without(With(kReader, kSecondReader), KeySet({kClass + "HDC\\0003"})),
         {},
         2},
        {"a quote left open before the stick's ID",
         DriverInf({"%Stick%=USBOEM01.Install,\"USB\\VID_1234&PID_5678", reader, disk}),
         kStick,
         {},
         3},
        {"a quote left open before the stick's ID, the line ending in LF alone",
         DriverInf({"%Stick%=USBOEM01.Install,\"USB\\VID_1234&PID_5678\n", reader, disk}),
         {},
         {},
         4},
        {"a quote left open over the comma after the reader's ID",
         DriverInf(
             {stick, "%Reader%=USBOEM01.Install,\"USB\\VID_1234&PID_5679,USB\\CLASS_08", disk}),
         {},
         {},
         4},
        {"a quote left open before the key",
         DriverInf({"\"%Stick%=USBOEM01.Install,USB\\VID_1234&PID_5678", reader, disk}),
         kStick,
         {},
         3},
        // Strings are replaced once: %a% gives the text "%b%", nothing more.
        {"strings that name each other",
         DriverInf({stick, reader, disk, "%a%=USBOEM01.Install,%a%\\M"},
                   "a=\"%b%\"\r\nb=\"%a%\"\r\n"),
         {},
         loopDevice,
         5},
        // A class that names no class resolves to no class at all: the
        // device installer finds none of that name and reports success.
        {"a class name that is a string naming itself",
         DriverInf({stick, reader, disk}, "cls=\"%cls%\"\r\n", "Class=%cls%\r\n"),
         allDevices,
         {},
         0},
        {"the section's header never closed",
         DriverInf({stick, reader, disk}, "", "Class=HDC\r\n", "[MSOEM01SECTION"),
         allDevices,
         {},
         0},
        // (A backslash at the end of a line would join the next one to it.)
        {"an ID of backslashes only and a bare enumerator",
         DriverInf({stick, reader, disk, "%Stick%=USBOEM01.Install,\\\\\\,x",
                    "%Stick%=USBOEM01.Install,USB", "%Stick%=USBOEM01.Install,Enum"}),
         {},
         {},
         4},
        // Each present device makes a second record, whose text is no disk's;
        // that copy is not the device's sibling, so the second reader still
        // purges its own disk.
        {"every line twice", DriverInf({stick, stick, reader, reader, disk, disk}), {}, {}, 8},
    };
    Tally tally;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HostileMachine m("win98");
        m.WriteFile(m.Win("inf\\other\\USBOEM01.inf"), c.inf);
        m.AddDevice("%b%\\M\\1", "HDC\\0010");
        m.AddDevice("%a%\\M\\1", "HDC\\0011");
        const auto records = m.Inventory();
        EXPECT_EQ(records.size(), c.records);
        for (const my_devdriData &r : records) {
            // A second record of a device follows its first, its text that
            // of the first with "00" more.
            const my_devdriData *first = RecordOf(records, r.InstanceId);
            if (first != &r) {
                EXPECT_EQ(r.InstanceIdText, first->InstanceIdText + "00");
            }
        }
        Outcome o = m.Run(With(kWin98Clean, loopDevice), tally);
        EXPECT_EQ(o.deleted, With(Without(kWin98Clean, c.kept), c.added));
        // The driver files go whatever the INF held.
        EXPECT_EQ(o.deletedFiles.size(), 4u);
    }
    tally.Print("hostile driver INFs");
}

TEST(HostileMachines, ControlSetNamesOfAnyLength) {
    // The restoration walks every subkey of System; a name the 256-byte
    // buffer can't hold ends the walk. usbstor.inf is patched after it
    // either way.
    const std::vector<std::string> sets = {"ControlSet001", "ControlSet002", "CurrentControlSet"};
    struct Case {
        const char *what;
        std::string name;
        bool restored;
        bool othersRestored;
    };
    const Case cases[] = {
        {"255 characters", "B" + std::string(254, 'x'), true, true},
        {"256 characters, listed first", std::string(256, 'A'), false, false},
        {"256 characters, listed last", std::string(256, 'Z'), false, true},
        {"format directives", "%s%n%s%n%x", true, true},
    };
    Tally tally;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HostileMachine m("win2000-sp4");
        const std::string service = "HKLM\\SYSTEM\\" + c.name + "\\Services\\USBSTOR";
        m.SetString(service, "ImagePath", "System32\\DRIVERS\\USBSTORSP3.SYS", REG_EXPAND_SZ);
        const std::string old = m.Value(service, "ImagePath");
        Outcome o = m.Run(KeySet({kProduct}), tally);
        EXPECT_EQ(o.deleted, KeySet({kProduct}));
        EXPECT_EQ(m.Value(service, "ImagePath"), c.restored ? kSystemDriver : old);
        for (const std::string &set : sets)
            EXPECT_EQ(m.Value("HKLM\\SYSTEM\\" + set + "\\Services\\USBSTOR", "ImagePath"),
                      c.othersRestored ? kSystemDriver : old)
                << set;
        ASSERT_TRUE(o.infAfter.has_value());
        EXPECT_EQ(*o.infAfter, ReferencePatch(*o.infBefore));
    }
    tally.Print("hostile control sets");
}

TEST(HostileMachines, UsbstorInfOfAnyShape) {
    const std::string inf = "C:\\WINNT\\inf\\usbstor.inf";
    const std::string bom = "\xFF\xFE";
    std::string bigEndian = "\xFE\xFF";
    for (char ch : "[Files]\r\n" + kUsbstorSearch + "\r\n")
        bigEndian += std::string{'\0', ch};
    const std::string wide = WideText(kUsbstorSearch);
    // `written`: the file is written back, as the patch makes it of its
    // bytes; `changes`: those bytes differ from the old ones.
    struct Case {
        const char *what;
        std::function<void(HostileMachine &)> make;
        bool written, changes;
    };
    const Case cases[] = {
        {"as installed", [](HostileMachine &) {}, true, true},
        {"8-bit text", [&](HostileMachine &m) { m.WriteFile(inf, "x=" + kUsbstorSearch + "\r\n"); },
         true, false},
        // Big-endian code units put the characters at odd offsets, where the
        // comparison finds them as well.
        {"UTF-16 big-endian", [&](HostileMachine &m) { m.WriteFile(inf, bigEndian); }, true, true},
        {"empty", [&](HostileMachine &m) { m.WriteFile(inf, ""); }, true, false},
        {"only a byte-order mark", [&](HostileMachine &m) { m.WriteFile(inf, bom); }, true, false},
        {"a stray byte after the text",
         [&](HostileMachine &m) { m.WriteFile(inf, bom + wide + "\x01"); }, true, true},
        {"the text cut by the end of the file",
         [&](HostileMachine &m) { m.WriteFile(inf, bom + wide.substr(0, wide.size() - 2)); }, true,
         false},
        {"a directory",
         [&](HostileMachine &m) {
             fs::remove(m.Host(inf));
             m.WriteFile(inf + "\\inside.txt", wide);
         },
         false, false},
        {"absent", [&](HostileMachine &m) { fs::remove(m.Host(inf)); }, false, false},
        {"read-only",
         [&](HostileMachine &m) { m.files.SetAttributes(inf, FILE_ATTRIBUTE_READONLY); }, false,
         false},
    };
    Tally tally;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HostileMachine m("win2000-sp4");
        c.make(m);
        Outcome o = m.Run(KeySet({kProduct}), tally);
        ASSERT_EQ(o.infAfter.has_value(), o.infBefore.has_value());
        if (o.infBefore) {
            EXPECT_EQ(*o.infAfter, c.written ? ReferencePatch(*o.infBefore) : *o.infBefore);
            EXPECT_EQ(*o.infAfter != *o.infBefore, c.changes);
        }
        EXPECT_EQ(m.CallsTo("MoveFileExA").size(), c.written ? 1u : 0u);
        EXPECT_EQ(m.Exists(inf + "\\inside.txt"), std::string(c.what) == "a directory");
        // Everything else of the restoration happens whatever the file is.
        EXPECT_EQ(o.deletedFiles,
                  std::set<std::string>{"C:\\WINNT\\SYSTEM32\\DRIVERS\\USBSTORSP3.SYS"});
        for (const char *set : {"ControlSet001", "ControlSet002", "CurrentControlSet"})
            EXPECT_EQ(
                m.Value(std::string("HKLM\\SYSTEM\\") + set + "\\Services\\USBSTOR", "ImagePath"),
                kSystemDriver);
    }
    tally.Print("hostile usbstor.inf files");
}

TEST(HostileMachines, DriveIconEntriesAtEveryPosition) {
    // An entry at each of the 32 positions but the backslash (code 92), which
    // no key can be named; every other position marked in one round and
    // unmarked in the other. Entries no position names (a lower-case
    // letter folds to its upper-case one) and a marker directly below the
    // drive-icon key stay whatever they hold.
    const std::string icons = "HKLM\\" + kIcons;
    const std::vector<std::string> strangers = {"{", "EE", std::string(255, 'E'),
                                                std::string(256, 'F')};
    Tally tally;
    for (const char *example : {"win98", "win2000-sp4"}) {
        for (int parity = 0; parity < 2; ++parity) {
            SCOPED_TRACE(std::string(example) + (parity ? ", odd positions" : ", even positions"));
            HostileMachine m(example);
            const bool win98 = m.IsWin9x();
            m.registry.DeletePath(icons);
            m.Key(icons + "\\ZEVDRIVE");
            std::vector<std::string> marked, unmarked;
            for (int i = 0; i < 32; ++i) {
                const std::string c(1, static_cast<char>(65 + i));
                if (c == "\\") continue;
                m.SetString(icons + "\\" + c + "\\DefaultIcon", "", "icon " + c);
                m.SetString(icons + "\\" + c + "\\DefaultLabel", "", "label " + c);
                if (i % 2 == parity) {
                    m.Key(icons + "\\" + c + "\\ZEVDRIVE");
                    m.Key(icons + "\\" + c + "\\" + std::string(256, 'S'));
                    marked.push_back(c);
                } else {
                    unmarked.push_back(c);
                }
            }
            for (const std::string &name : strangers) {
                m.Key(icons + "\\" + name + "\\ZEVDRIVE");
                m.SetString(icons + "\\" + name + "\\DefaultIcon", "", "icon");
            }
            EXPECT_EQ(marked.size(), parity ? 15u : 16u);

            Keys markedKeys, package = win98 ? kWin98Clean : KeySet({kProduct});
            for (const std::string &c : marked)
                markedKeys.insert(Norm(icons + "\\" + c));
            package = Without(package, KeySet({kIcons + "\\E"}));
            Outcome o = m.Run(package, tally);
            EXPECT_EQ(o.deleted, win98 ? With(package, markedKeys) : package);

            // Windows NT won't delete an entry with subkeys: its icon and
            // label are emptied instead.
            for (const std::string &c : marked) {
                EXPECT_EQ(m.HasKey(icons + "\\" + c), !win98) << c;
                if (win98) continue;
                EXPECT_EQ(m.Value(icons + "\\" + c + "\\DefaultIcon", ""), "REG_SZ \"\"") << c;
                EXPECT_EQ(m.Value(icons + "\\" + c + "\\DefaultLabel", ""), "REG_SZ \"\"") << c;
            }
            for (const std::string &c : unmarked) {
                EXPECT_EQ(m.Value(icons + "\\" + c + "\\DefaultIcon", ""),
                          "REG_SZ \"icon " + c + "\"");
                EXPECT_EQ(m.Value(icons + "\\" + c + "\\DefaultLabel", ""),
                          "REG_SZ \"label " + c + "\"");
            }
            for (const std::string &name : strangers)
                EXPECT_EQ(m.Value(icons + "\\" + name + "\\DefaultIcon", ""), "REG_SZ \"icon\"");
            EXPECT_TRUE(m.HasKey(icons + "\\ZEVDRIVE"));

            // 32 positions, each with the drive-icon key opened afresh; no
            // path below it starts at a backslash.
            size_t opens = 0;
            for (const auto &call : m.calls.Named("RegOpenKeyA")) {
                opens += call.args[1] == "\"" + kIcons + "\"";
                EXPECT_NE(call.args[1].rfind("\"\\", 0), 0u) << call.Text();
            }
            for (const auto &call : m.calls.Named("RegDeleteKeyA"))
                EXPECT_NE(call.args[1].rfind("\"\\", 0), 0u) << call.Text();
            EXPECT_EQ(opens, 32u);
        }
    }
    tally.Print("drive icons at every position");
}

} // namespace
