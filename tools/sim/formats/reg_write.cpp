#include "reg_file.h"
#include "reg_text.h"

#include <cstdio>
#include <vector>

namespace simio {

using namespace regtext;

const char *RegeditCannotName(std::u16string_view name, bool key) {
    for (char16_t c : name) {
        if (c == u'\r' || c == u'\n') return "its name holds a line break";
        if (c == u'\0') return "its name holds a zero character, which ends it for regedit";
        // '[' cannot end a key line; Windows' regedit may take a ']' for its end.
        if (key && c == u']')
            return "its name holds ']', which regedit may take for the end of the key line";
    }
    return nullptr;
}

namespace {

void Put(std::u16string &out, std::string_view ansi) {
    for (char c : ansi)
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

// `regeditOnly`: a name is written with no escapes but \\ and \", the only
// ones regedit reads; names that would need more are the caller's to leave
// out. Otherwise a line break is written as the simulator's reader takes it.
void PutEscaped(std::u16string &out, std::u16string_view text, bool regeditOnly) {
    for (char16_t c : text) {
        if (!regeditOnly && (c == u'\n' || c == u'\r')) {
            out += c == u'\n' ? u"\\n" : u"\\r";
            continue;
        }
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
}

std::u16string FromUtf16Bytes(const std::vector<BYTE> &bytes) {
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return out;
}

struct Writer {
    const RegFileFormat &format;
    const RegWriteOptions &options;
    std::u16string out;

    // UTF-16 files carry names as NT holds them; others as the ANSI view.
    std::u16string Name(const std::string &ansi, const std::u16string &exact) const {
        return format.utf16 && !exact.empty() ? exact : sim::WidenAnsi(ansi);
    }

    void ValueName(const sim::RegValue &v) {
        if (v.name.empty()) {
            out += u'@';
            return;
        }
        out += u'"';
        PutEscaped(out, Name(v.name, v.ntName), options.regeditOnly);
        out += u'"';
    }

    // Whether a plain "..." string holds the REG_SZ exactly: one terminating
    // zero and no other zero or line break. `text` takes it.
    bool AsString(const sim::RegValue &v, std::u16string &text) const {
        if (v.type != REG_SZ) return false;
        if (format.version5 && !v.ntData.empty()) {
            if (!format.utf16 || v.ntData.size() % 2) return false;
            text = FromUtf16Bytes(v.ntData);
        } else {
            text.assign(v.data.begin(), v.data.end());
        }
        if (text.empty() || text.back() != 0) return false;
        text.pop_back();
        for (char16_t c : text)
            if (c == 0 || c == u'\n' || c == u'\r') return false;
        return true;
    }

    void Value(const sim::RegValue &v) {
        ValueName(v);
        out += u'=';
        std::u16string text;
        if (AsString(v, text)) {
            out += u'"';
            PutEscaped(out, text, true);
            out += u"\"\r\n";
            return;
        }
        char buf[24];
        if (v.type == REG_DWORD && v.data.size() == 4) {
            std::snprintf(buf, sizeof buf, "dword:%08x",
                          v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                              (static_cast<unsigned>(v.data[3]) << 24));
            Put(out, buf);
            out += u"\r\n";
            return;
        }
        std::vector<BYTE> bytes(v.data.begin(), v.data.end());
        if (format.version5 && IsStringType(v.type)) {
            if (!v.ntData.empty()) {
                bytes = v.ntData;
            } else {
                std::u16string wide(v.data.begin(), v.data.end());
                bytes = Utf16Bytes(wide);
            }
        }
        if (v.type == REG_BINARY)
            std::snprintf(buf, sizeof buf, "hex:");
        else
            std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        // Lines of at most 80 characters, as regedit writes them: the length
        // counts from the start of the line, the name included.
        size_t lineStart = out.rfind(u'\n');
        lineStart = lineStart == std::u16string::npos ? 0 : lineStart + 1;
        Put(out, buf);
        for (size_t i = 0; i < bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
            Put(out, buf);
            if (i + 1 < bytes.size()) {
                out += u',';
                if (out.size() - lineStart > 76) {
                    out += u"\\\r\n  ";
                    lineStart = out.size() - 2;
                }
            }
        }
        out += u"\r\n";
    }

    void Key(const sim::RegKey &key) {
        bool root = key.parent == nullptr;
        if (options.regeditOnly && !root && RegeditCannotName(key.WideName(), true)) return;
        bool line = !root || !key.values.empty();
        if (line && options.keys && !options.keys->count(key.Path())) line = false;
        if (line) {
            out += u'[';
            out += format.utf16 ? key.WidePath() : sim::WidenAnsi(key.Path());
            out += u"]\r\n";
            for (const auto &entry : key.values)
                if (!options.regeditOnly || !RegeditCannotName(entry.second.WideName(), false))
                    Value(entry.second);
            out += u"\r\n";
        }
        for (const auto &entry : key.subkeys)
            Key(*entry.second);
    }
};

} // namespace

std::string QuotedValueName(const std::string &name) {
    if (name.empty()) return "@";
    std::u16string out;
    PutEscaped(out, sim::WidenAnsi(name), false);
    return "\"" + EncodeRegText(out, RegFileFormat{}) + "\"";
}

std::u16string RegValueName(const sim::RegValue &value, const RegFileFormat &format,
                            const RegWriteOptions &options) {
    Writer w{format, options, {}};
    w.ValueName(value);
    return w.out;
}

std::u16string WriteRegText(const sim::Registry &registry, const RegFileFormat &format,
                            const RegWriteOptions &options) {
    Writer w{format, options, {}};
    Put(w.out, format.version5 ? kHeader5 : kHeader4);
    w.out += u"\r\n\r\n";
    for (const auto &root : registry.Roots())
        w.Key(*root);
    return w.out;
}

std::string EncodeRegText(std::u16string_view text, const RegFileFormat &format) {
    std::string out;
    if (!format.utf16) {
        out.reserve(text.size());
        for (char16_t u : text)
            out += u <= 0xFF ? static_cast<char>(u) : '?';
        return out;
    }
    out.reserve(2 + 2 * text.size());
    out += "\xFF\xFE";
    for (char16_t u : text) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

std::string WriteRegFile(const sim::Registry &registry, const RegFileFormat &format) {
    return EncodeRegText(WriteRegText(registry, format), format);
}

} // namespace simio
