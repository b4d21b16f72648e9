#include "files/storage_driver.h"

int RestoreStorageDriver(int kind) {
    return kind == 1 || kind == 2 ? 50 : 0;
}
