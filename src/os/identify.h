// Which Windows the uninstaller runs on.
#pragma once

#include <string>

// Names the system ("Windows 98", "Windows 2000", ...) and returns its
// service-pack text; false, with both texts empty, when Windows gives no
// version record.
bool IdentifyOperatingSystem(std::string &osName, std::string &servicePack);
