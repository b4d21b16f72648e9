// The report as one JSON document, for the page and for scripts. Its fields
// and how machine text is written are in README.md, "The report as JSON".
#include "report.h"
#include "utf.h"

#include <nlohmann/json.hpp>

namespace simio {

namespace {

using Json = nlohmann::ordered_json; // fields in the order written, "version" first

// Length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8Length(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t length = c >= 0xF0 && c <= 0xF4  ? 4
                    : c >= 0xE0 && c < 0xF0 ? 3
                    : c >= 0xC2 && c < 0xE0 ? 2
                                            : 0;
    if (length == 0 || i + length > s.size()) return 0;
    char32_t code = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool valid = code >= smallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid ? length : 0;
}

// Machine text read as the text report reads it: valid UTF-8 as it is, any
// other byte as the Latin-1 character of its number (the ANSI code page here).
std::string Text(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t length = Utf8Length(bytes, i);
        if (length) {
            out.append(bytes, i, length);
            i += length;
        } else {
            AppendUtf8(out, static_cast<unsigned char>(bytes[i++]));
        }
    }
    return out;
}

const char *PreviewName(Preview preview) {
    const char *const names[] = {nullptr, "capture", "image", "zip"};
    return names[static_cast<int>(preview)];
}

Json ChangeJson(const Change &c) {
    Json j;
    j["kind"] = KindName(c.kind);
    auto text = [&j](const char *name, const std::string &s, bool always = false) {
        if (always || !s.empty()) j[name] = Text(s);
    };
    const bool box = c.kind == Change::MessageBox;
    const bool value = c.kind == Change::SetValue || c.kind == Change::DeletedValue;
    const bool removal = c.kind == Change::RemovedProduct || c.kind == Change::RemovedDevice ||
                         c.kind == Change::DeletedKey;
    text("key", c.key);
    text("device", c.device);
    text("product", c.product);
    text("description", c.description);
    if (removal) j["keysBelow"] = c.keysBelow;
    text("valueName", c.valueName, value);
    if (c.valueBefore) j["valueBefore"] = Text(*c.valueBefore);
    if (c.valueAfter) j["valueAfter"] = Text(*c.valueAfter);
    text("path", c.path);
    text("parameters", c.parameters);
    text("caption", c.caption, box);
    text("text", c.text, box);
    text("title", c.title, c.kind == Change::ClosedWindow);
    if (c.sizeBefore) j["sizeBefore"] = *c.sizeBefore;
    if (c.sizeAfter) j["sizeAfter"] = *c.sizeAfter;
    if (c.attributesBefore) j["attributesBefore"] = *c.attributesBefore;
    if (c.attributesAfter) j["attributesAfter"] = *c.attributesAfter;
    if (c.kind == Change::ChangedFile) {
        j["lines"] = Json::array();
        for (const ChangedLine &l : c.lines)
            j["lines"].push_back(
                {{"number", l.number}, {"before", Text(l.before)}, {"after", Text(l.after)}});
    }
    return j;
}

Json KitJson(const KitSummary &kit) {
    const char *const forms[] = {"folder", "image", "zip"};
    return {{"path", Text(kit.where)}, {"form", forms[kit.form]},
            {"keys", kit.keys},        {"values", kit.values},
            {"files", kit.files},      {"attributesOnly", kit.attributes},
            {"removed", kit.removed},  {"nothing", kit.nothing}};
}

} // namespace

std::string RenderJson(const Report &r) {
    Json j;
    j["version"] = 1;
    j["input"] = Text(r.input);
    if (const char *why = PreviewName(r.preview)) j["preview"] = why;
    if (r.machine) {
        const MachineFacts &f = *r.machine;
        j["machine"] = {{"platform", f.platform},
                        {"major", f.major},
                        {"minor", f.minor},
                        {"build", f.build},
                        {"servicePack", Text(f.servicePack)},
                        {"windowsDirectory", Text(f.windowsDirectory)}};
    }
    j["notes"] = Json::array();
    for (const Note &n : r.notes)
        j["notes"].push_back({{"kind", n.kind}, {"text", Text(n.text)}, {"warning", n.warning}});
    if (r.exitCode) {
        j["exitCode"] = *r.exitCode;
        j["windowsCalls"] = r.calls;
    }
    j["changes"] = Json::array();
    for (const Change &c : r.changes)
        j["changes"].push_back(ChangeJson(c));
    j["readOutsideCapture"] = Json::array();
    for (const std::string &key : r.readOutside)
        j["readOutsideCapture"].push_back(Text(key));
    j["dryRun"] = r.dryRun;
    j["nothingToUndo"] = r.nothingToUndo;
    if (r.result) j["result"] = Text(*r.result);
    if (r.kit) j["kit"] = KitJson(*r.kit);
    // All ASCII, as \uNNNN beyond it: nothing a machine holds reaches a terminal raw.
    return j.dump(2, ' ', true) + "\n";
}

} // namespace simio
