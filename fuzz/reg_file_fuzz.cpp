// The simulator's regedit reader: any bytes are either rejected with a line
// number or read into a registry whose export reads back the same.
#include "reg_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    sim::Registry registry;
    simio::RegFileFormat format;
    simio::InputError error;
    if (!simio::ReadRegFile(bytes, "fuzz.reg", registry, format, error)) {
        if (error.line < 1) std::abort();
        return 0;
    }
    std::string written = simio::WriteRegFile(registry, format);
    sim::Registry again;
    simio::RegFileFormat againFormat;
    if (!simio::ReadRegFile(written, "again.reg", again, againFormat, error)) std::abort();
    if (simio::WriteRegFile(again, againFormat) != written) std::abort();
    return 0;
}
