// The package's drive-icon registrations in Explorer.
#pragma once

#include <cstdint>

// Clears the package's drive-icon entries (those with a ZEVDRIVE subkey) of
// every position whose bit is set in `mask`: bit 0 is A, bit 25 is Z, bits 26
// to 31 the six characters after Z. An entry that Windows refuses to delete
// keeps its keys, with empty icon and label. False when the drive-icon key
// can't be opened; no later position is looked at then.
bool ClearDriveIcons(std::uint32_t mask);
