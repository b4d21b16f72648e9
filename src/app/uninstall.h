// The uninstall sequence.
#pragma once

#include "platform/win32.h"

// Identifies the system, runs its clean-up and shows the final message.
void RunUninstall();

// The program's entry point: the whole run, ending with exit code 0.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);
