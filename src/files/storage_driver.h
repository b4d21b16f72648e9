// Putting the system's USB storage driver back (Windows 2000).
#pragma once

// Kind 1: every control set's USBSTOR service loads the system's USBSTOR.SYS
// again and usbstor.inf names it again; nothing changes when the System key
// can't be opened. Kind 2: the replacement driver file is deleted. Returns 50
// for kinds 1 and 2 whatever happened, 0 (and does nothing) for any other.
int RestoreStorageDriver(int kind);
