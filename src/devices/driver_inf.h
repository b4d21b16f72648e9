// The package's driver INF: where it is, the lines of its models section and
// its setup class (Windows 98).
#pragma once

#include "platform/win32.h"

#include <string>

extern const char *const kDriverInfName;    // USBOEM01.inf
extern const char *const kDriverInfSection; // MSOEM01SECTION

// Opens the INF in inf\other, or in inf when nothing of that name is in
// inf\other. INVALID_HANDLE_VALUE when it does not open.
HINF OpenDriverInf();

// The number of lines of `section`: the first index without a line. An INF
// that did not open has none, and is not handed to setupapi at all.
int CountInfLines(HINF inf, const char *section);

// The text between the first and the second comma of a line (or the end of
// the line). False, leaving `field` as it was, when the line or its text
// cannot be read.
bool ReadInfLineField(HINF inf, const char *section, int index, std::string &field);
// The text between the first and the second comma of a line text (of at
// most kTextBufferSize bytes), or between the first comma and the end; the
// empty text when there is no comma.
std::string LineField(const char *line);

// The setup class the INF names, as the device installer resolves it by
// name. False, leaving `guid` as it was, when it cannot be resolved.
bool GetInfClassGuid(GUID &guid);
