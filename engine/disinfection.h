// What becomes of an infected file: deleted (retried after terminating the process that holds
// it, else scheduled for deletion at the next boot), renamed, moved to quarantine, or only
// reported.
#pragma once

#include <cstddef>

#include "engine/findings.h"

// Applies removalAction to the file, records the outcome as a finding and shows its line. A
// text file is only deleted, never retried or left for the boot, and has lines of its own.
// Quarantine moves it into g_scan.quarantine's folder under a name of its own (never over
// another file), with its origin in a ".path" record beside it.
void DisinfectFile(const char* path, const char* detectionName,
                   FindingKind kind = FindingKind::kBinaryFile);

// Schedules the file's deletion at the next boot: MoveFileExA on the NT family, wininit.ini on
// the 9x family. Returns 1 when it was scheduled.
int ScheduleBootRemoval(const char* path);

// Adds "key=value" to the [rename] section of wininit.ini in the Windows folder, creating the
// file or the section when missing. The old file is never left half rewritten.
bool AddWininitRename(const char* key, const char* value);

// The path with the character after the last "." of the file name replaced by "V" (setup.exe:
// setup.Vxe); a name without an extension gets ".V" (hosts: hosts.V). Left as it is when the new
// name does not fit capacity.
void RenamedPath(const char* path, char* renamed, size_t capacity);
