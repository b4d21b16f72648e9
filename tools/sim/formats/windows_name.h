// Which names a Windows folder can hold.
#pragma once

#include <string>

namespace simio {

// Why Windows could not hold `name` in a folder, or nullptr.
const char *NotAWindowsName(const std::string &name);

// `name` with a-z in capitals: how Windows compares file names.
std::string UpperAscii(const std::string &name);

} // namespace simio
