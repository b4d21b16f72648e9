// The package's driver files on disk, and the two file operations that every
// file step of the uninstaller goes through.
#pragma once

#include <string>

// Whether `path` names a file: a directory of that name counts as absent, and
// so does a file whose last-write time has no DOS date (before 1980 or after
// 2107), since the same test decides what the uninstaller may delete.
bool FileIsPresent(const std::string &path);

// Deletes a file; when that fails, clears the attributes that block deletion
// and tries once more. Reports nothing.
void ForceDeleteFile(const std::string &path);

// Deletes the driver files of one kind (1, 2 or 3); returns the kind's fixed
// status: 20, 25, 25, 25 for kind 4, 0 for any other kind.
int DeleteDriverFiles(int kind);
