// Patching a text file stored as UTF-16 little-endian.
#pragma once

#include <cstddef>
#include <string>

// Replaces the first occurrence of `search` in the file at `path` by
// `replacement`. Each character of both texts stands for one UTF-16 code
// unit: it is compared with every other byte of the file, at even and odd
// offsets alike, and written followed by a zero byte.
//
// Returns 1 when the file was written back, found or not; it then has the
// attributes of a newly created file. Returns 0, with the file as it was and
// nothing created, when it is absent or a directory, cannot be opened for
// reading and writing (read-only, in use), cannot be read whole, is 4 GiB or
// larger, when the search text is empty, or when the new content cannot be
// put in place. At no moment is the file missing or partly written: the new
// content goes to a file of its own in the same directory, which then takes
// the old file's place in one step (Windows NT only; elsewhere the result is 0).
int ReplaceWideTextInFile(std::string path, std::string search, std::string replacement);

// Offset of the first match of `search` (not empty) in `data`, or `size`
// when there is none: search[k] is compared with data[s + 2k], which must lie
// inside the data; the bytes in between, the high bytes, are not compared.
std::size_t FindWideText(const unsigned char *data, std::size_t size, const std::string &search);
