// The report in the words uninstall-sim has always printed: tests, the page
// and people read these lines, so they stay as they are.
#include "report.h"
#include "undo_kit.h"

#include "platform/sim/printable.h"

#include <cstdio>

namespace simio {

namespace {

std::string Named(const std::string &valueName) {
    return valueName.empty() ? "(default)" : valueName;
}

std::string InParentheses(const std::string &text) {
    return text.empty() ? "" : " (" + text + ")";
}

std::string Below(size_t n) {
    return n == 0   ? ""
           : n == 1 ? " (and 1 key below it)"
                    : " (and " + std::to_string(n) + " keys below it)";
}

std::string Bytes(std::uint64_t n) {
    return std::to_string(n) + " bytes";
}

std::string Count(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

const char *PreviewLine(Preview preview) {
    switch (preview) {
    case Preview::Capture:
        return " is a capture of a real machine: only previewed, as with --dry-run";
    case Preview::Image:
        return " is a disk image, which is never written: only previewed, as with --dry-run";
    case Preview::Zip:
        return " is a zip archive, which is never written: only previewed, as with --dry-run";
    case Preview::None:
        break;
    }
    return nullptr;
}

std::string MachineLine(const std::string &input, const MachineFacts &f) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, " %u.%u build %u \"", f.major, f.minor, f.build);
    return "Machine " + sim::Printable(input) + ": " + f.platform + numbers +
           sim::Printable(f.servicePack) + "\", Windows directory " +
           sim::Printable(f.windowsDirectory);
}

} // namespace

std::vector<std::string> ChangeLines(const Change &c) {
    switch (c.kind) {
    case Change::MessageBox:
        return {"Message box \"" + c.caption + "\": \"" + c.text + "\""};
    case Change::Started:
        return {"Started " + c.path + (c.parameters.empty() ? "" : " " + c.parameters)};
    case Change::RemovedProduct:
        return {"Removed product " + c.product + InParentheses(c.description)};
    case Change::RemovedDevice:
        return {"Removed device " + c.device + InParentheses(c.description) + Below(c.keysBelow)};
    case Change::DeletedKey:
        return {"Deleted key " + c.key + Below(c.keysBelow)};
    case Change::CreatedKey:
        return {"Created key " + c.key};
    case Change::SetValue:
        return {"Set value " + c.key + "\\" + Named(c.valueName) + " = " +
                c.valueAfter.value_or("") + (c.valueBefore ? " (was " + *c.valueBefore + ")" : "")};
    case Change::DeletedValue:
        return {"Deleted value " + c.key + "\\" + Named(c.valueName)};
    case Change::DeletedFile:
        return {"Deleted file " + c.path};
    case Change::ChangedFile: {
        std::vector<std::string> lines{"Changed file " + c.path + " (" +
                                       Bytes(c.sizeBefore.value_or(0)) + " -> " +
                                       Bytes(c.sizeAfter.value_or(0)) + ")"};
        for (const ChangedLine &l : c.lines) {
            lines.push_back("  line " + std::to_string(l.number) + " was: " + l.before);
            lines.push_back("  line " + std::to_string(l.number) + " now: " + l.after);
        }
        return lines;
    }
    case Change::CreatedFile:
        return {"Created file " + c.path + " (" + Bytes(c.sizeAfter.value_or(0)) + ")"};
    case Change::Attributes: {
        char buf[64];
        std::snprintf(buf, sizeof buf, " 0x%x -> 0x%x",
                      static_cast<unsigned>(c.attributesBefore.value_or(0)),
                      static_cast<unsigned>(c.attributesAfter.value_or(0)));
        return {"Attributes of " + c.path + buf};
    }
    case Change::ClosedWindow:
        return {"Closed window \"" + c.title + "\""};
    }
    return {};
}

std::string KitLine(const KitSummary &kit) {
    std::string line = "Undo kit written to " + sim::Printable(kit.where) +
                       ": undo.reg puts back " + Count(kit.keys, "key", "keys") + " and " +
                       Count(kit.values, "value", "values") + ", undo.bat copies back " +
                       Count(kit.files, "file", "files") + " from files\\";
    if (kit.attributes)
        line += ", sets the attributes of " + Count(kit.attributes, "more file", "more files");
    if (kit.removed) line += ", deletes " + Count(kit.removed, "thing", "things") + " the run made";
    if (kit.nothing) line += ": " + std::string(kNothingToUndo);
    return line + "; README.txt tells what and how";
}

std::string RenderText(const Report &r) {
    std::string out;
    auto line = [&out](const std::string &text) { out += text + "\n"; };
    if (const char *why = PreviewLine(r.preview)) line(sim::Printable(r.input) + why);
    if (!r.machine) return out;
    line(MachineLine(r.input, *r.machine));
    for (const Note &note : r.notes)
        line(sim::Printable(note.text));
    if (!r.exitCode) return out;
    for (const Change &c : r.changes)
        for (const std::string &text : ChangeLines(c))
            line(sim::Printable(text));
    if (r.changes.empty()) line("Nothing changed");
    for (const std::string &key : r.readOutside)
        line(sim::Printable("Read outside the capture: " + key +
                            " (the preview may not be complete)"));
    line("Exit code " + std::to_string(*r.exitCode) + " (" + std::to_string(r.calls) +
         " Windows calls)");
    if (r.dryRun) line("Dry run: the machine directory was not changed");
    if (r.nothingToUndo) line(kNothingToUndo);
    if (r.result) line("The machine as the run left it: " + sim::Printable(*r.result));
    if (r.kit) line(KitLine(*r.kit));
    return out;
}

} // namespace simio
