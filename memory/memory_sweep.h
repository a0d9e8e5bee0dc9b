// The memory sweep and the termination of processes that hold an infected file.
#pragma once

// Checks the image file of every running process before the drives are walked.
void SweepMemory();

// Terminates the process started from this file so that its delete can be retried. Returns 1
// when the caller may retry, 0 when no process could be terminated.
int KillProcessByImage(const char* path);
