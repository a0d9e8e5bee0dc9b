// Restart of Windows after a removal that waits for the next boot.
#pragma once

#include "platform/base.h"

// Forces a reboot. Returns the result of ExitWindowsEx, 0 when the process token could not be
// opened, or the error left by the privilege step.
DWORD RestartWindows();
