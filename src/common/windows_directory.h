// The Windows directory, read once at start; every file path is formed from it.
#pragma once

#include <string>

// Zero at start; the entry point fills it and clears it again when Windows
// gave no directory or one that does not fit.
extern char WindowsDirectory[100];

// Forms a path whose format begins with the Windows directory ("%s\inf\%s"
// with `name`, or "%s\inf\X.PNF" alone). Returns false, and forms nothing,
// while the directory is unknown: the path would then start at the root of
// the current drive and name a file that is not the package's.
bool FormWindowsPath(std::string &path, const char *format, const char *name = nullptr);
