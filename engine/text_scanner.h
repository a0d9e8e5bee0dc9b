// The text-signature scanner: a small detector for uuencoded text files (they begin with
// "begin"), which looks for its patterns in the file's head or tail with every blank removed.
#pragma once

#include <cstddef>

// Checks one file against the text-signature table and acts on a match with removalAction.
// Returns true when the file matched, whatever the action did.
bool ScanTextFile(const char* familyName, const char* path);

// Copies count bytes without blanks (space, tab, line feed, vertical tab, form feed, carriage
// return); returns how many were written.
size_t StripWhitespace(const unsigned char* source, unsigned char* destination, size_t count);

// Whether the pattern lies wholly inside the first length bytes of the buffer.
bool FindPattern(const unsigned char* buffer, size_t length, const unsigned char* pattern,
                 size_t patternLength);

// Unmasks the stored patterns in place, once per process: later calls change nothing.
void RevealTextSignatures();

// The plain pattern of a record, unmasking the table first if that has not happened yet.
const unsigned char* RevealedTextPattern(size_t index);
