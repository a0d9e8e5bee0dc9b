// Finding running processes by the file they were started from, on every Windows generation:
// toolhelp on the 9x family, the process-status library on NT 5, performance data on the
// other NT versions. Toolhelp and psapi are found at run time, so one program runs on both
// families. Every call builds its lists afresh and frees them before returning.
#pragma once

#include <memory>

// The performance-data reading behind KillByNamePerfData, for callers that parse blocks.
#include "memory/perf_data.h"
#include "platform/base.h"

// One running process in a list of the memory sweep.
struct ProcessNode {
  DWORD processId;
  char imagePath[340];
  ProcessNode* next;
};

void FreeProcessList(ProcessNode* head);

struct ProcessListDeleter {
  void operator()(ProcessNode* head) const { FreeProcessList(head); }
};
using ProcessList = std::unique_ptr<ProcessNode, ProcessListDeleter>;

// The lists the memory sweep walks, in the system's order; null when no list came about.
ProcessList ListProcessesToolhelp();
ProcessList ListProcessesPsapi();

// Terminates the first process whose executable name (without folder) is the path's file name.
// Returns true when a process was terminated.
bool KillByNameToolhelp(const char* path);

// Terminates every process whose main module is exactly this path (without regard to case).
// Returns true whenever the process list could be had, whether or not anything was terminated.
bool KillByPathPsapi(const char* path);

// Terminates every process whose performance-data instance name begins with the path's file
// name without its extension. Returns true when at least one was terminated.
bool KillByNamePerfData(const char* path);
