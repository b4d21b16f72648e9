// The simulator's regedit reader: any bytes are either rejected with a line
// number or read into a registry whose export reads back the same; read in
// pieces of a few bytes, they give what they give whole.
#include "reg_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    sim::Registry registry, inPieces;
    simio::RegFileFormat format, piecesFormat;
    simio::InputError error, piecesError;
    bool read = simio::ReadRegFile(bytes, "fuzz.reg", registry, format, error);
    std::string_view left = bytes;
    const size_t piece = size ? data[0] % 7 + 1 : 1;
    bool readInPieces = simio::ReadRegFile(
        [&](char *to, size_t most) {
            size_t n = std::min({most, piece, left.size()});
            std::copy_n(left.data(), n, to);
            left.remove_prefix(n);
            return n;
        },
        "fuzz.reg", inPieces, piecesFormat, piecesError);
    if (read != readInPieces || error.Text() != piecesError.Text()) std::abort();
    if (!read) {
        if (error.line < 1) std::abort();
        return 0;
    }
    std::string written = simio::WriteRegFile(registry, format);
    if (simio::WriteRegFile(inPieces, piecesFormat) != written) std::abort();
    sim::Registry again;
    simio::RegFileFormat againFormat;
    if (!simio::ReadRegFile(written, "again.reg", again, againFormat, error)) std::abort();
    if (simio::WriteRegFile(again, againFormat) != written) std::abort();
    return 0;
}
