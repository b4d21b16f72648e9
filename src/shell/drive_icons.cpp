#include "shell/drive_icons.h"

bool ClearDriveIcons(std::uint32_t mask) {
    (void)mask;
    return true;
}
