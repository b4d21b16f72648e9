// The package's drive-icon registrations in Explorer.
#pragma once

#include <cstdint>

// Clears the marked drive-icon entries of every letter whose bit is set in
// `mask` (bit 0 is A). False when the drive-icon key can't be opened.
bool ClearDriveIcons(std::uint32_t mask);
