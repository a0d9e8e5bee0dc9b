// The file matcher: the walker's one file callback.
#pragma once

// Checks one file against the signature table and acts on a match. Returns 1 when a record
// matched, else 0.
int CheckFile(const char* familyName, const char* path);
