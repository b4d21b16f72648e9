// minizip's file functions over memory: a zip is read from bytes already in
// hand and written into a string, so that no build (the browser's included)
// needs a temporary file or a file system.
#pragma once

#include "ioapi.h"

#include <string>
#include <string_view>

namespace simio::zipio {

struct MemoryReader {
    std::string_view bytes;
    ZPOS64_T pos = 0;
};

struct MemoryWriter {
    std::string *bytes = nullptr;
    ZPOS64_T pos = 0;
};

// Functions for unzOpen2_64 and zipOpen2_64; the state must outlive the archive.
zlib_filefunc64_def ReadFunctions(MemoryReader &reader);
zlib_filefunc64_def WriteFunctions(MemoryWriter &writer);

} // namespace simio::zipio
