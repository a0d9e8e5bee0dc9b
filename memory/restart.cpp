#include "memory/restart.h"

// Placeholder until the version probes land: requests no restart and reports none.
DWORD RestartWindows() { return 0; }
