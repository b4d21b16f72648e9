#include "files/driver_files.h"

int DeleteDriverFiles(int kind) {
    switch (kind) {
    case 1:
        return 20;
    case 2:
    case 3:
    case 4:
        return 25;
    default:
        return 0;
    }
}
