#include "memory/memory_sweep.h"

#include "engine/scan_state.h"

// Placeholder until process enumeration lands: sweeps nothing, and only ends the sweep the way
// the real one does, so that the drive walk counts its files.
void SweepMemory() { g_scan.memorySweepActive = false; }

// Placeholder until process enumeration lands: terminates nothing.
int KillProcessByImage(const char* /*path*/) { return 0; }
