// What becomes of an infected file: deleted (retried after terminating the process that holds
// it, else scheduled for deletion at the next boot), renamed, or only reported.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Applies removalAction to the file and reports the outcome in the results list.
void DisinfectFile(const char* path, const char* detectionName);

// Schedules the file's deletion at the next boot: MoveFileExA on the NT family, wininit.ini on
// the 9x family. Returns 1 when it was scheduled.
int ScheduleBootRemoval(const char* path);

// Adds "key=value" to the [rename] section of wininit.ini in the Windows folder, creating the
// file or the section when missing. The old file is never left half rewritten.
bool AddWininitRename(const char* key, const char* value);

// The folder (a Windows path) that ActionQuarantine moves infected files into; describe, when
// given, turns a file's path into the words recorded beside it (as the user knows the path).
void SetQuarantineFolder(const char* folder, std::function<std::string(const std::string&)> describe = nullptr);

// Moves the file into the quarantine folder under a name of its own (never over another file),
// with its origin in a ".path" record beside it; reports "moved to quarantine" or "Move failed".
void QuarantineFile(const char* path, const char* name);

// Renames the file to its RenamedPath and reports "renamed" or "Rename failed".
void RenameInfectedFile(const char* path, const char* name);

// The path with the character after the last "." of the file name replaced by "V" (setup.exe:
// setup.Vxe); a name without an extension gets ".V" (hosts: hosts.V). Left as it is when the new
// name does not fit capacity.
void RenamedPath(const char* path, char* renamed, size_t capacity);
