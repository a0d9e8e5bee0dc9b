// The memory sweep, run before any drive is walked, and the termination of processes that
// hold an infected file.
#pragma once

// Checks the image file of every running process; terminates the infected ones and acts on
// their files. On the NT family, when an infected process could be neither terminated nor
// stopped as a service, its service keys are removed and the program ends after offering a
// restart, since the rest of the scan cannot remove it.
void SweepMemory();

// The 9x family: toolhelp lists the processes.
void SweepMemoryToolhelp();

// The NT family: psapi lists the processes. Returns nonzero when an infected process keeps
// running and only a restart can finish its removal.
int SweepMemoryPsapi();

// Terminates the process started from this file so that its delete can be retried. Returns 1
// when the caller may retry, 0 when no process could be terminated (after saying so).
int KillProcessByImage(const char* path);
