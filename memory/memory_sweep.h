// The memory sweep, run before any drive is walked, and the termination of processes that
// hold an infected file.
#pragma once

// Checks the image file of every running process; terminates the infected ones and acts on
// their files. On the NT family, when an infected process could be neither terminated nor
// stopped as a service, its service keys are removed and the program ends after offering a
// restart, since the rest of the scan cannot remove it.
void SweepMemory();

// Terminates the process started from this file so that its delete can be retried. Returns
// true when the caller may retry, false when no process could be terminated (after saying so).
bool KillProcessByImage(const char* path);
