#include "undo_bat.h"

#include "platform/sim/registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace simio {

namespace {

// The folder at the root of a drive where a file whose own path is too
// long for a line waits until undo.bat has gone to its folder.
const char *const kStaging = "UNDOKIT.TMP";
// regedit's export of the key that shows whether the import took, in the kit's folder.
const char *const kExport = "undoreg.tmp";
// A shell without long names (MS-DOS mode) cuts the first to the second.
const char *const kLongName = "UNDOLONGNAME.TMP";
const char *const kCutName = "UNDOLONG.TMP";

// A failed step adds one to the count and goes on at `back`: `add` at the end of
// undo.bat counts in decimal, a variable of up to ten x's a digit (UF1 the units), as
// command.com has no arithmetic and a line must not grow with the count.
std::vector<std::string> Failed(const std::string &back) {
    return {"set UFR=" + back, "goto add", ":" + back};
}

std::string Digit(size_t place) {
    return "UF" + std::to_string(place);
}

std::string Quote(const std::string &text) {
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("\\:._-~", c))
            return "\"" + text + "\"";
    return text;
}

// "-r -h -s": what keeps copy and del from a file; attrib takes them together
// even on a hidden or system file.
const char *const kClear = "-r -h -s";

// "+a -r -h -s": all four, so the result does not depend on what copy left
// (cmd.exe's copy passes on a source's read-only attribute, as from a CD),
// and attrib never answers "Not resetting hidden file". The archive bit
// comes first: Wine's attrib drops a +r that a +a follows.
std::string AttribAll(DWORD attributes) {
    const DWORD bits[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,
                          FILE_ATTRIBUTE_SYSTEM};
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += std::string(i ? " " : "") + ((attributes & bits[i]) ? "+" : "-") + "arhs"[i];
    return out;
}

struct Place {
    char drive = 0;
    std::vector<std::string> folders; // below the root
    std::string name;
};

bool Split(const std::string &path, Place &place) {
    if (path.size() < 4 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' ||
        path[2] != '\\')
        return false;
    place.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    for (size_t i = 3; i <= path.size();) {
        size_t end = std::min(path.find('\\', i), path.size());
        std::string part = path.substr(i, end - i);
        if (part.empty() || part == "." || part == ".." || !BatchSafe(part)) return false;
        place.folders.push_back(part);
        i = end + 1;
    }
    place.name = place.folders.back();
    place.folders.pop_back();
    return true;
}

bool Fit(const std::vector<std::string> &lines) {
    for (const auto &l : lines)
        if (l.size() > kBatchLineLimit) return false;
    return true;
}

// The lines of one step; `at` is how they name the path (whole, or its
// name once undo.bat is in its folder) and `from` where a copy comes from.
std::vector<std::string> StepLines(const BatchStep &s, size_t n, const std::string &at,
                                   const std::string &from) {
    const std::string p = Quote(at), number = std::to_string(n);
    switch (s.kind) {
    case BatchStep::Copy: {
        std::vector<std::string> out = {
            "attrib " + std::string(kClear) + " " + p + " > nul",
            // command.com's copy leaves errorlevel as it was: attrib sets it to 0.
            "attrib " + from + " > nul",
            "copy /y " + from + " " + p,
            "if not errorlevel 1 if exist " + p + " goto ok" + number,
            "echo Step " + number + " failed: see README.txt.",
        };
        // A copy that failed leaves the attributes alone: attrib would only add an error.
        if (!s.attributesKnown) {
            for (auto &l : Failed("ok" + number))
                out.push_back(l);
            return out;
        }
        out.insert(out.end(), {"set UFR=nx" + number, "goto add", ":ok" + number,
                               "attrib " + AttribAll(s.attributes) + " " + p, ":nx" + number});
        return out;
    }
    case BatchStep::Attributes:
        return {"attrib " + AttribAll(s.attributes) + " " + p};
    case BatchStep::Delete:
        return {"attrib " + std::string(kClear) + " " + p + " > nul",
                "if exist " + p + " del " + p};
    case BatchStep::MakeFolder:
        return {"if not exist " + Quote(at + "\\nul") + " md " + p};
    case BatchStep::RemoveFolder:
        return {"if exist " + Quote(at + "\\nul") + " rd " + p};
    }
    return {};
}

std::string Describe(const BatchStep &s) {
    switch (s.kind) {
    case BatchStep::Copy:
        return "copy the kit's file " + s.source + " to " + s.path +
               (s.attributesKnown ? " and give it these attributes: " + AttributeWords(s.attributes)
                                  : " (its attributes are unknown)");
    case BatchStep::Attributes:
        return "give " + s.path + " these attributes: " + AttributeWords(s.attributes);
    case BatchStep::Delete:
        return "delete " + s.path + ", which the uninstaller made";
    case BatchStep::MakeFolder:
        return "make the folder " + s.path;
    case BatchStep::RemoveFolder:
        return "remove the folder " + s.path + ", which the uninstaller made, once it is empty";
    }
    return {};
}

std::string Staged(char drive, size_t n) {
    return std::string(1, drive) + ":\\" + kStaging + "\\" + std::to_string(n);
}

// A name command.com keeps as it is without long names: 8.3, of the characters BatchSafe lets
// through (all of them valid in DOS names) but the blank.
bool ShortName(const std::string &name) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot), ext = dot == name.npos ? "" : name.substr(dot + 1);
    return !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
           (dot == name.npos || !ext.empty()) && name.find(' ') == name.npos &&
           ext.find('.') == ext.npos;
}

bool ShortPath(const Place &place) {
    return ShortName(place.name) &&
           std::all_of(place.folders.begin(), place.folders.end(), ShortName);
}

// Where each step goes: a line of its own, a line in its folder, or to the person.
struct Plan {
    std::vector<std::string> direct, later; // lines before and after regedit's import
    // Steps too long for a line of their own, by their folder: undo.bat goes
    // there with one cd a folder and does them by name.
    std::map<std::pair<char, std::vector<std::string>>, std::vector<size_t>> byFolder;
    std::vector<char> staging; // drives whose kStaging folder holds copies on their way
    bool longNames = false;    // a step undo.bat takes needs a name longer than 8.3
};

void SortSteps(const std::vector<BatchStep> &steps, Plan &plan, UndoBat &out) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const BatchStep &s = steps[i];
        size_t n = i + 1;
        Place place;
        std::string why;
        if (!Split(s.path, place)) {
            why = "its path holds characters that undo.bat cannot give the command line safely";
        } else if (std::vector<std::string> lines = StepLines(s, n, s.path, s.source); Fit(lines)) {
            plan.direct.insert(plan.direct.end(), lines.begin(), lines.end());
            out.done.push_back(std::to_string(n) + ". " + Describe(s));
            plan.longNames = plan.longNames || !ShortPath(place);
            continue;
        } else if (Fit(StepLines(s, n, place.name, "\\" + Staged(place.drive, n).substr(3))) &&
                   std::all_of(place.folders.begin(), place.folders.end(),
                               [&](const std::string &f) {
                                   return Fit({"if not exist " + Quote(f + "\\nul") + " goto sk" +
                                               std::to_string(n)});
                               })) {
            plan.byFolder[{place.drive, place.folders}].push_back(i);
            out.done.push_back(std::to_string(n) + ". " + Describe(s));
            plan.longNames = plan.longNames || !ShortPath(place);
            continue;
        } else {
            why = "a name in its path is too long for a command line of Windows 98";
        }
        out.manual.push_back(std::to_string(n) + ". By hand: " + Describe(s) + ". (" + why + ".)");
    }
}

// Each folder's steps: their copies wait on the drive's root, then undo.bat
// goes to the folder and takes them by name.
void FolderSteps(const std::vector<BatchStep> &steps, Plan &plan) {
    for (const auto &[folder, members] : plan.byFolder) {
        const auto &[drive, folders] = folder;
        std::string label = std::to_string(members.front() + 1);
        for (size_t i : members)
            if (steps[i].kind == BatchStep::Copy) {
                if (std::find(plan.staging.begin(), plan.staging.end(), drive) ==
                    plan.staging.end())
                    plan.staging.push_back(drive);
                plan.direct.push_back("copy /y " + steps[i].source + " " + Staged(drive, i + 1) +
                                      " > nul");
            }
        std::vector<std::string> &later = plan.later;
        later.push_back(std::string(1, drive) + ":");
        later.push_back("cd \\");
        for (const auto &f : folders) {
            later.push_back("if not exist " + Quote(f + "\\nul") + " goto sk" + label);
            later.push_back("cd " + Quote(f));
        }
        for (size_t i : members) {
            Place place;
            Split(steps[i].path, place);
            auto lines =
                StepLines(steps[i], i + 1, place.name, "\\" + Staged(drive, i + 1).substr(3));
            later.insert(later.end(), lines.begin(), lines.end());
        }
        later.push_back("goto dn" + label);
        later.push_back(":sk" + label);
        // A line a step, so that no line grows with the number of steps in the folder.
        for (size_t i : members) {
            later.push_back("echo Step " + std::to_string(i + 1) +
                            " failed: its folder is missing.");
            for (auto &l : Failed("fm" + std::to_string(i + 1)))
                later.push_back(l);
        }
        later.push_back(":dn" + label);
    }
}

// What is left of the copies on their way, and their folders, goes.
void ClearStaging(const std::vector<BatchStep> &steps, Plan &plan) {
    for (char drive : plan.staging) {
        for (const auto &[folder, members] : plan.byFolder)
            for (size_t i : members)
                if (folder.first == drive && steps[i].kind == BatchStep::Copy) {
                    const std::string staged = Staged(drive, i + 1);
                    plan.later.push_back("attrib " + std::string(kClear) + " " + staged + " > nul");
                    plan.later.push_back("if exist " + staged + " del " + staged);
                }
        plan.later.push_back("if exist " + std::string(1, drive) + ":\\" + kStaging + "\\nul rd " +
                             std::string(1, drive) + ":\\" + kStaging);
    }
}

// reg query's name of a key: the root as reg writes it, the rest as it is.
std::string QueryName(const std::string &key) {
    static const std::pair<const char *, const char *> roots[] = {{"HKEY_LOCAL_MACHINE", "HKLM"},
                                                                  {"HKEY_CURRENT_USER", "HKCU"},
                                                                  {"HKEY_CLASSES_ROOT", "HKCR"},
                                                                  {"HKEY_USERS", "HKU"},
                                                                  {"HKEY_CURRENT_CONFIG", "HKCC"}};
    std::string root = key.substr(0, key.find('\\'));
    for (const auto &[name, abbreviation] : roots)
        if (sim::EqualNoCase(root, name)) return abbreviation + key.substr(root.size());
    return {};
}

// The lines that look for `text` after regedit /e, or none when they would not fit.
std::vector<std::string> ProofLines(const RegistryProof &proof, const std::string &text) {
    if (!BatchSafe(proof.exportKey, true) || !BatchSafe(text, true) || text.empty()) return {};
    std::vector<std::string> out = {
        "start /w regedit /e " + std::string(kExport) + " \"" + proof.exportKey + "\"",
        // FIND reads Windows 98's export as type writes it; cmd.exe's type writes the
        // UTF-16 of Windows 2000's as text.
        "type " + std::string(kExport) + " | find /i \"" + text + "\" > nul",
        "if not errorlevel 1 goto rgok",
    };
    if (!Fit(out)) return {};
    // Where there is a reg.exe (Windows XP, Wine, whose type keeps UTF-16 as it is): it
    // shows the key itself, or the value's text.
    std::string query = QueryName(proof.queryKey), line;
    if (!query.empty() && BatchSafe(query, true) && BatchSafe(proof.valueName))
        line = "reg query \"" + query + "\"" +
               (!proof.value ? " > nul"
                : proof.valueName.empty()
                    ? " /ve | find \"" + text + "\" > nul"
                    : " /v \"" + proof.valueName + "\" | find \"" + text + "\" > nul");
    if (!line.empty() && Fit({line}))
        out.insert(out.end(), {line, "if not errorlevel 1 goto rgok"});
    return out;
}

// The registry half: regedit imports undo.reg, and a second look confirms it. A shell
// without START (MS-DOS mode) and a refused import fail that look alike.
std::vector<std::string> RegistryLines(const BatchRegistry &registry, UndoBat &out) {
    if (!registry.import) return {};
    const std::string del = "if exist " + std::string(kExport) + " del " + kExport;
    // command.com goes on at once after starting a Windows program unless told to wait.
    std::vector<std::string> lines = {"echo Putting back the registry entries...", del,
                                      "start /w regedit /s undo.reg"};
    std::vector<std::string> look;
    for (const auto &proof : registry.proofs) {
        for (const auto &text : proof.texts)
            if (look = ProofLines(proof, text); !look.empty()) {
                out.checkKey = proof.exportKey;
                out.checkText = text;
                break;
            }
        if (!look.empty()) break;
    }
    lines.insert(lines.end(), look.begin(), look.end());
    lines.push_back(look.empty()
                        ? "echo The registry step cannot be checked by undo.bat: see README.txt."
                        : "echo The registry step failed: regedit did not import undo.reg. "
                          "See README.txt.");
    for (auto &l : Failed("rgok"))
        lines.push_back(l);
    lines.push_back(del);
    return lines;
}

// The count's variables, highest digit first: "%UF2%%UF1%".
std::string AllDigits(size_t digits) {
    std::string out;
    for (size_t d = digits; d >= 1; --d)
        out += "%" + Digit(d) + "%";
    return out;
}

// command.com's environment has a fixed size: undo.bat takes the room for its
// variables at their longest before the first step (`take`), and frees it (`clear`).
struct Room {
    std::string take, clear;
};

Room Reserve(size_t digits, const std::string &longestBack) {
    std::vector<std::pair<std::string, std::string>> vars;
    for (size_t d = 1; d <= digits; ++d)
        vars.emplace_back(Digit(d), std::string(10, 'x'));
    vars.emplace_back("UFN", std::string(digits, '9'));
    if (!longestBack.empty()) vars.emplace_back("UFR", longestBack);
    Room room;
    for (const auto &[name, value] : vars) {
        room.take += "set " + name + "=" + value + "\n" + "if not \"%" + name + "%\"==\"" + value +
                     "\" goto noroom\n";
        room.clear += "set " + name + "=\n";
    }
    room.take += room.clear;
    return room;
}

// Before anything changes: a shell that cuts names to 8.3 (MS-DOS mode) would write
// other files than the kit's, so undo.bat stops there. The test file is named long,
// and only such a shell finds it under its cut name.
std::string LongNameTest() {
    return "if exist " + std::string(kCutName) + " del " + kCutName + "\n" + "echo long> " +
           kLongName + "\n" + "if not exist " + kLongName + " goto short\n" + "if exist " +
           kCutName + " goto short\n" + "del " + kLongName + "\n";
}

// undo.bat's first lines, up to the first step.
std::string Opening(const Plan &plan, const std::string &machine, const Room &room) {
    std::string t = "@echo off\n"
                    "rem Undo kit of the USB storage driver package uninstaller";
    t += BatchSafe(machine, true) && ("rem for " + machine + ".").size() <= kBatchLineLimit
             ? "\nrem for " + machine + ".\n"
             : ",\nrem for the machine that README.txt names.\n";
    t += "rem Puts back the files and registry entries the uninstaller removed or\n"
         "rem changed; README.txt lists each numbered step. Run it from the kit's\n"
         "rem own folder (for example: cd C:\\UNDO), then type: undo\n"
         "if not exist undo.reg goto elsewhere\n";
    t += room.take;
    if (plan.longNames) t += LongNameTest();
    for (char drive : plan.staging)
        t += "if not exist " + std::string(1, drive) + ":\\" + kStaging + "\\nul md " +
             std::string(1, drive) + ":\\" + kStaging + "\n";
    return t;
}

// The count in words: each digit's x's become a digit of UFN, leading zeros left out.
std::string CountLines(size_t digits) {
    std::string t = "if \"" + AllDigits(digits) + "\"==\"\" goto done\nset UFN=\n";
    for (size_t d = digits; d >= 1; --d) {
        const std::string var = "%" + Digit(d) + "%";
        t += "if not \"%UFN%\"==\"\" if \"" + var + "\"==\"\" set UFN=%UFN%0\n";
        for (int n = 1; n <= 9; ++n)
            t += "if \"" + var + "\"==\"" + std::string(n, 'x') + "\" set UFN=%UFN%" +
                 std::to_string(n) + "\n";
    }
    return t + "if \"%UFN%\"==\"1\" echo 1 step failed.\n"
               "if not \"%UFN%\"==\"1\" echo %UFN% steps failed.\n";
}

// One more failed step, then back to where it failed (UFR).
std::string AddLines(size_t digits) {
    std::string t = ":add\nset UF1=%UF1%x\n";
    for (size_t d = 1; d < digits; ++d) {
        const std::string full = "if \"%" + Digit(d) + "%\"==\"" + std::string(10, 'x') + "\" ";
        t += full + "set " + Digit(d + 1) + "=%" + Digit(d + 1) + "%x\n" + full + "set " +
             Digit(d) + "=\n";
    }
    return t + "goto %UFR%\n";
}

// From the count of failed steps to the end; `manual`: steps are left to the person.
std::string Closing(size_t digits, bool manual, bool longNames, const Room &room) {
    std::string t = CountLines(digits) +
                    "echo Not everything is back: see README.txt for the failed steps.\n"
                    "goto end\n"
                    ":done\n";
    t += manual ? "echo Done. README.txt lists the steps left to do by hand.\n"
                : "echo Done. Restart Windows now.\n";
    t += "goto end\n" + AddLines(digits) +
         ":noroom\n"
         "echo Not enough room for undo.bat's variables: on Windows 98 start\n"
         "echo command /e:4096 first, then type undo again.\n"
         "goto end\n";
    if (longNames)
        t += ":short\nif exist " + std::string(kCutName) + " del " + kCutName +
             "\n"
             "echo This prompt cuts long file names, or the kit's folder is read-only. Nothing\n"
             "echo is changed: run undo.bat from an MS-DOS Prompt in Windows, in a folder it\n"
             "echo can write to.\n"
             "goto end\n";
    return t +
           ":elsewhere\n"
           "echo Run undo.bat from its own folder: go there with cd first.\n"
           ":end\n" +
           room.clear;
}

} // namespace

std::string AttributeWords(DWORD attributes) {
    static const char *const names[] = {"read-only", "hidden", "system", "archive"};
    const DWORD bits[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                          FILE_ATTRIBUTE_ARCHIVE};
    std::string out;
    for (int i = 0; i < 4; ++i)
        if (attributes & bits[i]) out += std::string(out.empty() ? "" : ", ") + names[i];
    return out.empty() ? "no attributes" : out;
}

bool BatchSafe(const std::string &text, bool path) {
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr(" ._-~#$'()@{}", c) &&
            !(path && (c == '\\' || c == ':')))
            return false;
    return true;
}

UndoBat MakeUndoBat(const std::vector<BatchStep> &steps, const std::string &machine,
                    const BatchRegistry &registry) {
    UndoBat out;
    Plan plan;
    SortSteps(steps, plan, out);
    FolderSteps(steps, plan);
    ClearStaging(steps, plan);
    std::vector<std::string> middle = RegistryLines(registry, out);
    middle.insert(middle.end(), plan.later.begin(), plan.later.end());
    // Each failure adds one at most once a run: the count has as many digits as the
    // number of places that can fail, and UFR room for the longest place.
    size_t places = 0;
    std::string longestBack;
    for (const auto *lines : {&plan.direct, &middle})
        for (const auto &l : *lines)
            if (l.rfind("set UFR=", 0) == 0) {
                ++places;
                if (l.size() - 8 > longestBack.size()) longestBack = l.substr(8);
            }
    const size_t digits = std::to_string(places).size();
    const Room room = Reserve(digits, longestBack);
    std::string t = Opening(plan, machine, room) + "echo Putting back the files...\n";
    for (const auto *lines : {&plan.direct, &middle})
        for (const auto &l : *lines)
            t += l + "\n";
    t += Closing(digits, !out.manual.empty(), plan.longNames, room);
    out.longNames = plan.longNames;
    for (char c : t) {
        if (c == '\n') out.text += '\r';
        out.text += c;
    }
    return out;
}

} // namespace simio
