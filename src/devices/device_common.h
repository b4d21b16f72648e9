// What the Windows 98 device clean-up shares: the buffer size of every text
// the device installer or the registry returns, the setup classes it looks
// for, and the two comparisons it makes.
#pragma once

#include "platform/win32.h"

#include <string>

// Every subkey name, value, INF line, class name and instance ID is read into
// a buffer of this size, and this size is passed as its capacity.
constexpr DWORD kTextBufferSize = 256;

// Hard disk controllers, the class of the package's devices unless its INF
// names another; and disk drives, the class of the disks paired with them.
extern const GUID kHardDiskControllerClass;
extern const GUID kDiskDriveClass;

// Classes are equal when all 16 bytes are.
bool SameClass(const GUID &a, const GUID &b);

// Instance IDs, key-list entries and pairing texts are compared in the
// user's locale, case-sensitively; a failed comparison is "not equal".
bool SameText(const std::string &a, const std::string &b);

// The number of key names in a registry path; runs of backslashes separate
// two names, as the registry reads them.
int KeyNames(const std::string &path);

// The text of a zero-filled buffer that the system may have filled to the
// last byte without a terminator.
std::string BufferText(const char *buffer);

// Zeroes `id` (kTextBufferSize bytes) and reads the element's instance ID
// into it; the result is not examined, so a failed read leaves it empty.
void ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA &element, char *id);
