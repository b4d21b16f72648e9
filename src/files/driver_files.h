// The package's driver files on disk.
#pragma once

// Deletes the driver files of one kind (1, 2 or 3); returns the kind's fixed
// status: 20, 25, 25, 25 for kind 4, 0 for any other kind.
int DeleteDriverFiles(int kind);
