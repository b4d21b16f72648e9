// The one door to Windows for the clean-up code. On Windows it is the
// system's own headers; elsewhere the same names run on the simulated machine.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#else
#include "platform/sim/win32_api.h"
#endif
