// The running processes as the NT performance data tells them: the perflib counter names give
// the index of the "Process" object and its "ID Process" counter, HKEY_PERFORMANCE_DATA gives
// the object's block, and the block's instances give each process's name and id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base.h"

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

// Finds the process object through the English counter names, queries its performance data and
// reads the instances into a table of kPerfProcessTableSize entries. Returns the number of
// entries filled; 0 when any step fails.
size_t ReadPerfProcessTable(PerfProcessEntry* table);
