// The undo kit as a new zip, for machines that take files from a zip.
#pragma once

#include "undo_kit.h"

#include <filesystem>
#include <string>

namespace simio {

// True when an --undo target names a zip (it ends in ".zip", in any case).
bool IsZipName(const std::string &path);

// Writes `kit` as the new zip `path`, with the names, bytes and dates of the
// floppy kit: undo.bat, undo.reg and README.txt, then files/ with files/1,
// files/2, ... in the order of their numbers. Never replaces a file.
bool WriteUndoKitZip(const UndoKit &kit, const std::filesystem::path &path, std::string &error);

} // namespace simio
