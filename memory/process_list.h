// Finding running processes by the file they were started from, on every Windows generation:
// toolhelp on the 9x family, the process-status library on NT 5, performance data on the
// other NT versions. Toolhelp and psapi are found at run time, so one program runs on both
// families. Every call builds its lists afresh and frees them before returning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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
// Returns 1 when a process was terminated.
int KillByNameToolhelp(const char* path);

// Terminates every process whose main module is exactly this path (without regard to case).
// Returns true whenever the process list could be had, whether or not anything was terminated.
bool KillByPathPsapi(const char* path);

// Terminates every process whose performance-data instance name begins with the path's file
// name without its extension. Returns 1 when at least one was terminated.
int KillByNamePerfData(const char* path);

// One process instance read from performance data.
struct PerfProcessEntry {
  DWORD processId;  // 0 is stored as 0xFFFFFFFE
  char name[17];    // empty when the instance's name is longer than 16 characters
};
constexpr size_t kPerfProcessTableSize = 255;
constexpr size_t kPerfProcessLimit = 254;

// Reads the process instances of a performance data block (its first object) into the table.
// Every offset and length is checked against the block's size: a malformed block fills
// nothing it cannot read whole. Returns the number of entries filled (at most 254).
size_t ParsePerfProcessBlock(const uint8_t* block, size_t size, DWORD idProcessCounter,
                             PerfProcessEntry* table, size_t capacity);
