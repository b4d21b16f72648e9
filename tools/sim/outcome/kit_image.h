// The undo kit as a new 1.44 MB floppy image, for the machines that take files
// on floppies.
#pragma once

#include "undo_kit.h"

#include <filesystem>
#include <string>

namespace simio {

// True when an --undo target names a floppy image (it ends in ".img").
bool IsImageName(const std::string &path);

// Writes `kit` as the new floppy image `path`: undo.bat, undo.reg and
// README.txt at the root, the files in files\, labelled UNDOKIT.
bool WriteUndoKitImage(const UndoKit &kit, const std::filesystem::path &path, std::string &error);

} // namespace simio
