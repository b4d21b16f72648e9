// The command.com model of undo_kit_test.cpp: undo.bat carried out line by line, with the
// programs it calls as Windows 98 and 2000 have them (attrib, copy, regedit /s and /e, type
// and FIND), in MS-DOS mode without START and with names cut to 8.3, and no reg.exe.
#pragma once

#include "reg_file.h"

#include "platform/sim/machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "the last line lacks its CRLF";
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "a line break without CR: " << line;
        out.push_back(line);
        start = end + 2;
    }
    return out;
}

// A batch line's words, as command.com splits them: quotes keep blanks in
// and go.
std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) out.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) out.push_back(word);
    return out;
}

// The text of a UTF-16LE file with its byte-order mark, a byte a unit, for
// checks of its lines; other text as it is.
std::string LowBytes(const std::string &bytes) {
    if (bytes.rfind("\xFF\xFE", 0) != 0) return bytes;
    std::string out;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        out += bytes[i + 1] ? '?' : bytes[i];
    return out;
}

constexpr DWORD kInTheWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A path as a shell without long names (MS-DOS mode) takes it: each name cut to 8.3.
std::string Cut(const std::string &path) {
    std::string out;
    for (size_t i = 0, end; i <= path.size(); i = end + 1) {
        end = std::min(path.find('\\', i), path.size());
        std::string name = path.substr(i, end - i);
        size_t dot = std::min(name.find('.'), name.size());
        out += (i ? "\\" : "") + name.substr(0, std::min<size_t>(dot, 8)) + name.substr(dot, 4);
    }
    return out;
}

// undo.bat carried out as command.com would, from its folder on drive K:,
// refusing what command.com and cmd.exe refuse; `dosMode`: in MS-DOS mode.
struct Shell {
    Shell(sim::Machine &machine, bool dos) : m(machine), dosMode(dos) {}
    sim::Machine &m;
    bool dosMode;
    char drive = 'K';
    std::map<char, std::string> cwd{{'K', "K:"}, {'C', "C:"}};
    std::map<std::string, std::string> env;
    int errorlevel = 0;
    std::vector<std::string> said; // what it echoed, and what programs said

    std::string Full(const std::string &path) const {
        if (path.size() >= 2 && path[1] == ':') return path;
        if (!path.empty() && path[0] == '\\') return std::string(1, drive) + ":" + path;
        return cwd.at(drive) + "\\" + path;
    }
    // A path whose folder is missing names nothing, as for the shells.
    sim::ResolvedPath At(const std::string &path) const {
        sim::ResolvedPath entry;
        if (m.files.Resolve(dosMode ? Cut(Full(path)) : Full(path), entry) != ERROR_SUCCESS)
            entry = {};
        return entry;
    }
    bool Exists(std::string path) const {
        bool folder = path.size() > 4 && path.substr(path.size() - 4) == "\\nul";
        if (folder) path.resize(path.size() - 4);
        sim::ResolvedPath entry = At(path);
        // command.com's if exist does not see hidden or system files.
        return entry.exists &&
               (folder ? entry.directory
                       : !entry.directory && !(m.files.AttributesOf(entry) &
                                               (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)));
    }
    std::string Expand(const std::string &line) const {
        std::string out;
        for (size_t i = 0; i < line.size(); ++i) {
            size_t end = line[i] == '%' ? line.find('%', i + 1) : std::string::npos;
            if (end == std::string::npos) {
                EXPECT_NE(line[i], '%') << line;
                out += line[i];
                continue;
            }
            auto it = env.find(line.substr(i + 1, end - i - 1));
            out += it == env.end() ? "" : it->second;
            i = end;
        }
        return out;
    }

    // What neither Windows 98 nor 2000 has (reg.exe), nor MS-DOS mode (start); cmd.exe
    // words it otherwise.
    void Missing() {
        said.push_back("Bad command or file name");
        if (!m.IsWin9x()) errorlevel = 9009; // command.com's is as it was
    }

    // `type FILE | find /i "TEXT" > nul`, `reg ... | find "TEXT" > nul`: FIND, 0 found and
    // 1 not, reads the bytes type wrote, which cmd.exe's type turns from UTF-16 into text.
    void Pipe(const std::vector<std::string> &w) {
        std::string out = w[0] == "type" ? ReadAll(At(w[1]).host) : (Missing(), ""),
                    want = w[w.size() - 3];
        if (!m.IsWin9x()) out = LowBytes(out);
        auto same = [&](char a, char b) {
            auto low = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
            return w[w.size() - 4] == "/i" ? low(a) == low(b) : a == b;
        };
        errorlevel =
            std::search(out.begin(), out.end(), want.begin(), want.end(), same) == out.end();
    }

    // regedit /e: the key and all below it, as that system's regedit exports them.
    void Export(const std::string &file, const std::string &key) {
        ASSERT_TRUE(m.registry.FindPath(key)) << "regedit /e meets a missing key " << key;
        std::set<std::string, sim::CaseLess> keys;
        std::function<void(const sim::RegKey &)> add = [&](const sim::RegKey &k) {
            keys.insert(k.Path());
            for (const auto &[name, child] : k.subkeys)
                add(*child);
        };
        add(*m.registry.FindPath(key));
        simio::RegFileFormat format{!m.IsWin9x(), !m.IsWin9x()};
        std::ofstream(At(file).host, std::ios::binary)
            << simio::EncodeRegText(simio::WriteRegText(m.registry, format, {true, &keys}), format);
    }

    // One command; returns the label of a goto, else "".
    std::string Run(std::vector<std::string> w, const std::string &line) {
        if (w[0] == "if") {
            bool negate = w.size() > 1 && w[1] == "not";
            w.erase(w.begin(), w.begin() + (negate ? 2 : 1));
            bool holds;
            size_t rest = 2;
            if (w[0] == "exist")
                holds = Exists(w[1]);
            else if (w[0] == "errorlevel")
                holds = errorlevel >= std::stoi(w[1]);
            else {
                size_t eq = w[0].find("==");
                EXPECT_NE(eq, std::string::npos) << line;
                holds = w[0].substr(0, eq) == w[0].substr(eq + 2);
                rest = 1;
            }
            if (holds == negate) return "";
            return Run(std::vector<std::string>(w.begin() + rest, w.end()), line);
        }
        std::string lower = w[0];
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "goto") return w.at(1);
        if (lower == "echo") {
            std::string text = line.substr(line.find("echo ") + 5);
            size_t to = text.find("> ");
            if (to == std::string::npos)
                said.push_back(text);
            else
                std::ofstream(At(text.substr(to + 2)).host) << text.substr(0, to) << "\r\n";
            return "";
        }
        if (lower == "rem") return "";
        if (lower == "set") {
            size_t eq = w[1].find('=');
            env[w[1].substr(0, eq)] = w[1].substr(eq + 1);
            return "";
        }
        if (std::find(w.begin(), w.end(), "|") != w.end()) return Pipe(w), "";
        bool quiet = w.size() >= 2 && w[w.size() - 2] == ">" && w.back() == "nul";
        if (quiet) w.resize(w.size() - 2);
        if (w.size() == 1 && w[0].size() == 2 && w[0][1] == ':') {
            drive = w[0][0];
            return "";
        }
        if (lower == "cd") {
            if (w[1] == "\\") {
                cwd[drive] = std::string(1, drive) + ":";
            } else {
                EXPECT_TRUE(Exists(w[1] + "\\nul")) << line;
                cwd[drive] = Full(w[1]);
            }
            return "";
        }
        if (lower == "start" || lower == "reg") {
            if (dosMode || lower == "reg") return Missing(), "";
            EXPECT_EQ(drive, 'K') << "regedit runs in the kit's folder";
            if (w.at(3) == "/e") return Export(w.at(4), w.at(5)), "";
            EXPECT_EQ(line, "start /w regedit /s undo.reg");
            std::string reg = ReadAll(At("undo.reg").host);
            Lines(LowBytes(reg));
            simio::RegFileFormat format;
            simio::InputError error;
            // regedit takes nothing of a file it cannot read.
            sim::Registry scratch;
            if (!simio::ReadRegFile(reg, "undo.reg", scratch, format, error)) return "";
            EXPECT_TRUE(simio::ReadRegFile(reg, "undo.reg", m.registry, format, error))
                << error.Text();
            // Windows 98 reads REGEDIT4 only; Windows 2000 writes version 5 in UTF-16.
            EXPECT_EQ(format.version5, !m.IsWin9x());
            EXPECT_EQ(format.utf16, !m.IsWin9x());
            return "";
        }
        Files(w, lower, line, quiet);
        return "";
    }

    // md, rd, del, copy and attrib on what their last word names.
    void Files(const std::vector<std::string> &w, const std::string &lower, const std::string &line,
               bool quiet) {
        sim::ResolvedPath entry = At(w.back());
        DWORD attributes = entry.exists ? m.files.AttributesOf(entry) : 0;
        if (entry.host.empty() && lower != "attrib") {
            ADD_FAILURE() << "no folder for " << w.back();
            errorlevel = 1;
            return;
        }
        if (lower == "md") {
            EXPECT_FALSE(entry.exists) << line;
            fs::create_directory(entry.host);
        } else if (lower == "rd") {
            EXPECT_TRUE(entry.directory && fs::is_empty(entry.host)) << "rd needs an empty folder";
            fs::remove(entry.host);
        } else if (lower == "del") {
            EXPECT_TRUE(entry.exists && !entry.directory) << line;
            EXPECT_EQ(attributes & kInTheWay, 0u) << "del refuses or skips such a file";
            fs::remove(entry.host);
            m.files.ForgetAttributes(entry.windows);
        } else if (lower == "copy") {
            EXPECT_EQ(w.size(), 4u);
            EXPECT_EQ(w[1], "/y") << "copy asks before it overwrites";
            sim::ResolvedPath from = At(w[2]);
            errorlevel = 1; // cmd.exe's copy sets it; command.com's leaves it
            if (!from.exists || (attributes & kInTheWay)) return;
            fs::remove(entry.host);
            fs::copy_file(from.host, entry.host);
            // The worst a kit copied from a CD can leave.
            m.files.SetAttributes(entry.windows, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
            errorlevel = 0;
        } else if (lower == "attrib") {
            errorlevel = entry.exists ? 0 : 1;
            if (!entry.exists && !quiet) said.push_back("File not found - " + w.back());
            if (!entry.exists) return;
            const std::map<char, DWORD> bits = {{'r', FILE_ATTRIBUTE_READONLY},
                                                {'h', FILE_ATTRIBUTE_HIDDEN},
                                                {'s', FILE_ATTRIBUTE_SYSTEM},
                                                {'a', FILE_ATTRIBUTE_ARCHIVE}};
            DWORD set = 0, clear = 0;
            for (size_t i = 1; i + 1 < w.size(); ++i) {
                EXPECT_TRUE(w[i].size() == 2 && bits.count(w[i][1]) &&
                            (w[i][0] == '+' || w[i][0] == '-'))
                    << line;
                (w[i][0] == '+' ? set : clear) |= bits.at(w[i][1]);
            }
            // attrib leaves a hidden or system file alone unless told what to do with that.
            for (DWORD bit : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM})
                if ((attributes & bit) && !((set | clear) & bit) && (set | clear)) return;
            DWORD now = ((attributes & ~FILE_ATTRIBUTE_NORMAL & ~clear) | set);
            m.files.SetAttributes(entry.windows, now ? now : FILE_ATTRIBUTE_NORMAL);
        } else {
            ADD_FAILURE() << "a line the proof does not know: " << line;
        }
    }
};

// Runs the kit in `kit` on `m`, from the kit's own folder on drive K:, and
// returns what it said.
std::vector<std::string> ApplyKit(const fs::path &kit, sim::Machine &m, bool dosMode = false) {
    std::vector<std::string> lines = Lines(ReadAll(kit / "undo.bat"));
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "@echo off");
    for (const auto &line : lines)
        EXPECT_LE(line.size(), 127u) << "command.com cuts the line there: " << line;
    m.files.MapDrive('K', kit);
    Shell shell{m, dosMode};
    for (size_t i = 1, steps = 0; i < lines.size() && steps < 10000; ++i, ++steps) {
        const std::string &line = lines[i];
        SCOPED_TRACE(line);
        std::string lower = line;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // What command.com lacks.
        for (const char *missing : {"setlocal", "%~", "for /", "!", "&", "||", "2>", "pushd"})
            EXPECT_EQ(lower.find(missing), std::string::npos);
        if (line.empty() || line[0] == ':' || lower.rfind("rem ", 0) == 0) continue;
        std::string label = shell.Run(Words(shell.Expand(line)), shell.Expand(line));
        if (label.empty()) continue;
        auto at = std::find(lines.begin(), lines.end(), ":" + label);
        EXPECT_NE(at, lines.end()) << "no label " << label;
        if (at == lines.end()) break;
        i = static_cast<size_t>(at - lines.begin());
    }
    return shell.said;
}

} // namespace
