// GUIDs as registry text: {4D36E96A-E325-11CE-BFC1-08002BE10318}.
#pragma once

#include "platform/sim/win32_types.h"

#include <string>
#include <string_view>

namespace sim {

bool ParseGuid(std::string_view text, GUID &guid);
std::string GuidText(const GUID &guid);
bool SameGuid(const GUID &a, const GUID &b);

} // namespace sim
