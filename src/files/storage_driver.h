// Putting the system's USB storage driver back (Windows 2000).
#pragma once

// Kind 1: every control set's USBSTOR service and usbstor.inf; kind 2: the
// replacement driver file. Returns 50 for kinds 1 and 2, 0 for any other.
int RestoreStorageDriver(int kind);
