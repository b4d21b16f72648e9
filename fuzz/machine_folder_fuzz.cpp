// The text of a machine folder, read as the loader reads it: machine.txt and
// registry.reg into one machine. Whatever the bytes, each reader accepts them
// or names the file and a line; an accepted registry is written back and read
// again into the same registry and format, unless a value name holds a line
// break, which the writer cannot keep.
//
// Input: one byte whose lowest bit asks for registry.reg as UTF-16LE with a
// byte-order mark (each of its bytes widened), then machine.txt up to the
// first zero byte, then registry.reg.
#include "machine_dir.h"
#include "reg_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckRefusal(const simio::InputError &error, const char *file) {
    Check(error.file == file && error.line >= 1 && !error.message.empty());
}

bool SameValue(const sim::RegValue &a, const sim::RegValue &b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

// Names compared exactly, as the writer puts them. A value's name is the one
// it was last set with; the index it is kept under may have another case.
bool SameRegistry(const sim::Registry &a, const sim::Registry &b) {
    std::vector<std::pair<const sim::RegKey *, const sim::RegKey *>> pairs;
    for (size_t i = 0; i < a.Roots().size(); ++i)
        pairs.emplace_back(a.Roots()[i].get(), b.Roots()[i].get());
    while (!pairs.empty()) {
        auto [x, y] = pairs.back();
        pairs.pop_back();
        if (x->name != y->name || x->values.size() != y->values.size() ||
            x->subkeys.size() != y->subkeys.size())
            return false;
        for (auto i = x->values.begin(), j = y->values.begin(); i != x->values.end(); ++i, ++j)
            if (!SameValue(i->second, j->second)) return false;
        for (auto i = x->subkeys.begin(), j = y->subkeys.begin(); i != x->subkeys.end(); ++i, ++j)
            pairs.emplace_back(i->second.get(), j->second.get());
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    if (size == 0) return 0;
    bool utf16 = data[0] & 1;
    std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t cut = rest.find('\0');
    std::string machineText(rest.substr(0, cut));
    std::string registryText;
    if (cut != std::string_view::npos) {
        std::string_view reg = rest.substr(cut + 1);
        if (utf16) {
            registryText = "\xFF\xFE";
            for (char c : reg) {
                registryText += c;
                registryText += '\0';
            }
        } else {
            registryText = std::string(reg);
        }
    }

    sim::Machine m;
    simio::MachineDir info;
    simio::InputError error;
    // The loader stops at a refused machine.txt; registry.reg is read anyway,
    // as nothing in it depends on machine.txt.
    if (!simio::ReadMachineFile(machineText, "machine.txt", m, info, error))
        CheckRefusal(error, "machine.txt");
    if (!simio::ReadRegFile(registryText, "registry.reg", m.registry, info.registryFormat, error)) {
        CheckRefusal(error, "registry.reg");
        return 0;
    }

    std::string written = simio::WriteRegFile(m.registry, info.registryFormat);
    sim::Registry again;
    simio::RegFileFormat againFormat;
    bool readAgain = simio::ReadRegFile(written, "again.reg", again, againFormat, error);
    Check(readAgain);
    Check(againFormat.version5 == info.registryFormat.version5 &&
          againFormat.utf16 == info.registryFormat.utf16);
    Check(SameRegistry(m.registry, again));
    Check(simio::WriteRegFile(again, againFormat) == written);
    return 0;
}
