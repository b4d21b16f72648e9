// Machine folders come from other people: the bounds on key depth and line
// length hold exactly at their values and name the file and line when they
// refuse, and a tree as deep as they allow can be written, read and deleted.
#include "machine_dir.h"
#include "reg_file.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using simio::kMaxKeyDepth;
using simio::kMaxLineLength;

// A path of `depth` components, the root included, each joined by `separator`.
std::string DeepPath(size_t depth, const std::string &separator = "\\") {
    std::string path = "HKEY_LOCAL_MACHINE";
    for (size_t i = 1; i < depth; ++i)
        path += separator + "k" + std::to_string(i % 10);
    return path;
}

struct Result {
    bool ok;
    simio::InputError error;
};

Result ReadReg(const std::string &text, sim::Registry &registry) {
    simio::RegFileFormat format;
    simio::InputError error;
    bool ok = simio::ReadRegFile(text, "limits.reg", registry, format, error);
    return {ok, error};
}

Result ReadReg(const std::string &text) {
    sim::Registry registry;
    return ReadReg(text, registry);
}

void ExpectRefused(const Result &r, int line, const std::string &message,
                   const char *file = "limits.reg") {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.file, file);
    EXPECT_EQ(r.error.line, line);
    EXPECT_NE(r.error.message.find(message), std::string::npos) << r.error.Text();
}

TEST(InputLimits, KeyPathsDeeperThanTheLimitAreRefused) {
    const std::string head = "REGEDIT4\r\n; deep\r\n";
    sim::Registry registry;
    Result at = ReadReg(head + "[" + DeepPath(kMaxKeyDepth) + "]\r\n", registry);
    EXPECT_TRUE(at.ok) << at.error.Text();
    EXPECT_NE(registry.FindPath(DeepPath(kMaxKeyDepth)), nullptr);

    ExpectRefused(ReadReg(head + "[" + DeepPath(kMaxKeyDepth + 1) + "]\r\n"), 3, "deeper");
    ExpectRefused(ReadReg(head + "[-" + DeepPath(kMaxKeyDepth + 1) + "]\r\n"), 3, "deeper");

    // Runs of separators, and separators at either end, add no names: the
    // registry splits paths that way.
    Result runs = ReadReg(head + "[\\" + DeepPath(kMaxKeyDepth, "\\\\\\") + "\\\\]\r\n");
    EXPECT_TRUE(runs.ok) << runs.error.Text();
}

TEST(InputLimits, RegistryLinesLongerThanTheLimitAreRefused) {
    // Comments cost nothing to read, so a line can be as long as the limit
    // here; the line break does not count.
    const std::string head = "REGEDIT4\r\n[HKLM\\x]\r\n";
    EXPECT_TRUE(ReadReg(head + ";" + std::string(kMaxLineLength - 1, 'c') + "\r\n").ok);
    ExpectRefused(ReadReg(head + ";" + std::string(kMaxLineLength, 'c') + "\r\n"), 3, "longer");
    // Before the header too: a blank line is a line.
    ExpectRefused(ReadReg(std::string(kMaxLineLength + 1, ' ') + "\nREGEDIT4\n"), 1, "longer");

    // Continued hex data counts as one line, named by its first; the blanks
    // inside it keep parsing cheap.
    auto hex = [&](size_t length) {
        const std::string start = "\"v\"=hex:00", end = ",01";
        size_t blanks = length - start.size() - end.size();
        size_t first = blanks / 2;
        return head + start + std::string(first, ' ') + "\\\r\n  ," +
               std::string(blanks - first, ' ') + "01\r\n";
    };
    sim::Registry registry;
    Result at = ReadReg(hex(kMaxLineLength), registry);
    ASSERT_TRUE(at.ok) << at.error.Text();
    EXPECT_EQ(sim::ValueText(registry.FindPath("HKLM\\x")->values.at("v")), "type 3, 2 bytes");
    ExpectRefused(ReadReg(hex(kMaxLineLength + 1)), 3, "longer");

    // A continuation line over the limit is named itself, even if it is
    // blank and would add nothing to the joined line.
    ExpectRefused(
        ReadReg(head + "\"v\"=hex:00,\\\n" + std::string(kMaxLineLength + 1, ' ') + "\n01\n"), 4,
        "longer");
}

TEST(InputLimits, MachineFileLinesLongerThanTheLimitAreRefused) {
    auto read = [](const std::string &text, simio::MachineDir &info) {
        sim::Machine m;
        simio::InputError error;
        bool ok = simio::ReadMachineFile(text, "machine.txt", m, info, error);
        return Result{ok, error};
    };
    simio::MachineDir info;
    const std::string comment = "#" + std::string(kMaxLineLength - 1, 'c');
    Result at = read("# first\r\n" + comment + "\r\nlocked \"C:\\x\"\r\n", info);
    EXPECT_TRUE(at.ok) << at.error.Text();
    ASSERT_EQ(info.comments.size(), 2u);
    EXPECT_EQ(info.comments[1].size(), kMaxLineLength);

    simio::MachineDir other;
    ExpectRefused(read("# first\n" + comment + "c\nlocked \"C:\\x\"\n", other), 2, "longer",
                  "machine.txt");
}

TEST(InputLimits, TheDeepestTreeIsWrittenReadAndDeleted) {
    std::string path = DeepPath(kMaxKeyDepth);
    sim::Registry registry;
    Result read = ReadReg("REGEDIT4\r\n[" + path + "]\r\n\"v\"=dword:00000001\r\n", registry);
    ASSERT_TRUE(read.ok) << read.error.Text();
    sim::RegKey *deepest = registry.FindPath(path);
    ASSERT_NE(deepest, nullptr);
    EXPECT_EQ(deepest->Path(), path);

    simio::RegFileFormat format;
    format.version5 = format.utf16 = true;
    std::string written = simio::WriteRegFile(registry, format);
    sim::Registry again;
    Result reread = ReadReg(written, again);
    ASSERT_TRUE(reread.ok) << reread.error.Text();
    EXPECT_EQ(simio::WriteRegFile(again, format), written);

    // Held as open handles hold them, the top key keeps the deleted chain
    // until the end, and the deepest one shows whether the delete reached it.
    sim::RegKey &root = *again.Root(HKEY_LOCAL_MACHINE);
    std::shared_ptr<sim::RegKey> top = root.subkeys.begin()->second;
    sim::RegKey *deepestAgain = again.FindPath(path);
    std::shared_ptr<sim::RegKey> bottom = deepestAgain->parent->subkeys.begin()->second;
    ASSERT_EQ(bottom.get(), deepestAgain);
    EXPECT_EQ(again.Delete(*top, sim::DeleteSemantics::WholeTree), ERROR_SUCCESS);
    EXPECT_TRUE(bottom->deleted);
    EXPECT_TRUE(root.subkeys.empty());
    bottom.reset();
    top.reset(); // the chain goes now, level after level
}

} // namespace

TEST(InputLimits, KeyPathsThatWouldMultiplyPastTheLimitAreRefused) {
    // One 4.6 MB line, 512 levels of 9,000-character names: its keys' paths
    // come to over 1 GiB, which writing back would produce.
    std::string line = "HKEY_LOCAL_MACHINE";
    for (size_t i = 1; i < kMaxKeyDepth; ++i)
        line += "\\" + std::string(9000, static_cast<char>('a' + i % 26));
    ExpectRefused(ReadReg("REGEDIT4\n\n[" + line + "]\n"), 3, "MiB in all");
    // A key named again makes nothing new: twenty times a quarter of that
    // is read.
    std::string again = "REGEDIT4\n";
    for (int i = 0; i < 20; ++i)
        again += "[" + line.substr(0, line.size() / 4) + "]\n";
    Result r = ReadReg(again);
    EXPECT_TRUE(r.ok) << r.error.Text();
}
