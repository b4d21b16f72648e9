#include "undo_bat.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace simio {

namespace {

// The folder at the root of a drive where a file whose own path is too
// long for a line waits until undo.bat has gone to its folder.
const char *const kStaging = "UNDOKIT.TMP";
// Steps whose failure undo.bat can count (the room for the count is taken
// up front, see Reserve).
const size_t kCounted = 60;

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
            "set UF=%UF%x",
            ":ok" + number,
        };
        if (s.attributesKnown) out.push_back("attrib " + AttribAll(s.attributes) + " " + p);
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

// Where each step goes: a line of its own, a line in its folder, or to the person.
struct Plan {
    std::vector<std::string> direct, later; // lines before and after regedit's import
    // Steps too long for a line of their own, by their folder: undo.bat goes
    // there with one cd a folder and does them by name.
    std::map<std::pair<char, std::vector<std::string>>, std::vector<size_t>> byFolder;
    std::vector<char> staging; // drives whose kStaging folder holds copies on their way
    size_t counted = 0;        // steps whose failure undo.bat counts
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
            plan.counted += s.kind == BatchStep::Copy;
            continue;
        } else if (Fit(StepLines(s, n, place.name, "\\" + Staged(place.drive, n).substr(3))) &&
                   std::all_of(place.folders.begin(), place.folders.end(),
                               [&](const std::string &f) {
                                   return Fit({"if not exist " + Quote(f + "\\nul") + " goto sk" +
                                               std::to_string(n)});
                               })) {
            plan.byFolder[{place.drive, place.folders}].push_back(i);
            out.done.push_back(std::to_string(n) + ". " + Describe(s));
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
        std::string label = std::to_string(members.front() + 1), numbers;
        for (size_t i : members)
            numbers += " " + std::to_string(i + 1);
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
        later.push_back(members.size() == 1
                            ? "echo Step" + numbers + " failed: its folder is missing."
                            : "echo Steps" + numbers + " failed: their folder is missing.");
        later.push_back("set UF=%UF%" + std::string(members.size(), 'x'));
        later.push_back(":dn" + label);
        plan.counted += members.size();
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

// undo.bat's first lines, up to the first step.
std::string Opening(const Plan &plan, const std::string &machine, const std::string &room) {
    std::string t = "@echo off\n"
                    "rem Undo kit of the USB storage driver package uninstaller";
    t += BatchSafe(machine, true) && ("rem for " + machine + ".").size() <= kBatchLineLimit
             ? "\nrem for " + machine + ".\n"
             : ",\nrem for the machine that README.txt names.\n";
    t += "rem Puts back the files and registry entries the uninstaller removed or\n"
         "rem changed; README.txt lists each numbered step. Run it from the kit's\n"
         "rem own folder (for example: cd C:\\UNDO), then type: undo\n"
         "if not exist undo.reg goto elsewhere\n";
    t += "set UF=" + room + "\n" + "if not \"%UF%\"==\"" + room + "\" goto noroom\nset UF=\n";
    for (char drive : plan.staging)
        t += "if not exist " + std::string(1, drive) + ":\\" + kStaging + "\\nul md " +
             std::string(1, drive) + ":\\" + kStaging + "\n";
    return t;
}

// From the count of failed steps to the end; `manual`: steps are left to the person.
std::string Closing(const std::string &room, bool manual) {
    std::string t = "if \"%UF%\"==\"\" goto done\n";
    for (size_t n = 1; n <= room.size(); ++n)
        t += "if \"%UF%\"==\"" + std::string(n, 'x') + "\" echo " + std::to_string(n) +
             (n == 1 ? " step" : " steps") + " failed.\n";
    t += "echo Not everything is back: see README.txt for the failed steps.\n"
         "goto end\n"
         ":done\n";
    t += manual ? "echo Done. README.txt lists the steps left to do by hand.\n"
                : "echo Done. Restart Windows now.\n";
    t += "goto end\n"
         ":noroom\n"
         "echo Not enough room for undo.bat's variable: on Windows 98 start\n"
         "echo command /e:4096 first, then type undo again.\n"
         "goto end\n"
         ":elsewhere\n"
         "echo Run undo.bat from its own folder: go there with cd first.\n"
         ":end\n"
         "set UF=\n";
    return t;
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

UndoBat MakeUndoBat(const std::vector<BatchStep> &steps, const std::string &machine) {
    UndoBat out;
    Plan plan;
    SortSteps(steps, plan, out);
    FolderSteps(steps, plan);
    ClearStaging(steps, plan);
    // command.com's environment has a fixed size: the room for the count of
    // failed steps is taken before the first step.
    const std::string room(std::max<size_t>(1, std::min(plan.counted, kCounted)), 'x');
    std::string t = Opening(plan, machine, room) + "echo Putting back the files...\n";
    for (const auto &l : plan.direct)
        t += l + "\n";
    // command.com goes on at once after starting a Windows program unless told to wait.
    t += "echo Putting back the registry entries...\nstart /w regedit /s undo.reg\n";
    for (const auto &l : plan.later)
        t += l + "\n";
    t += Closing(room, !out.manual.empty());
    for (char c : t) {
        if (c == '\n') out.text += '\r';
        out.text += c;
    }
    return out;
}

} // namespace simio
