// The simulated device installer's INF reader takes any bytes: a parse
// either fails with a line number or gives lines whose text can be read.
#include "platform/sim/inf_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    sim::InfFile inf;
    DWORD error = 0;
    unsigned errorLine = 0;
    if (!inf.Parse(sim::InfText(bytes), error, errorLine)) {
        if (error == 0) std::abort();
        return 0;
    }
    inf.HasWin4Signature();
    inf.Value("Version", "Class");
    for (const auto &section : inf.Sections()) {
        if (inf.Section(section.name) == nullptr) std::abort();
        for (const auto &line : section.lines) {
            std::string text = inf.LineText(line);
            if (line.number == 0) std::abort();
            (void)text;
        }
    }
    return 0;
}
