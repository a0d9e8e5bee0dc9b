// The text-signature scanner: a small detector for uuencoded text files (they begin with
// "begin"), which looks for its patterns in the file's head or tail with every blank removed.
#pragma once

#include <cstddef>

// Checks one file against the text-signature table and acts on a match with removalAction.
// Returns 1 when the file matched, whatever the action did.
int ScanTextFile(const char* familyName, const char* path);

// Returns 1 and fills the matched name when a record matches the open file.
int MatchTextSignature(int fd);

// 1 when the file's first five bytes are "begin", in any letter case.
int StartsWithBegin(int fd);

// Copies count bytes without blanks (space, tab, line feed, vertical tab, form feed, carriage
// return); returns how many were written.
size_t StripWhitespace(const unsigned char* source, unsigned char* destination, size_t count);

// 1 when the pattern lies wholly inside the first length bytes of the buffer.
int FindPattern(const unsigned char* buffer, size_t length, const unsigned char* pattern,
                size_t patternLength);

// Unmasks the stored patterns in place; runs once per process.
void RevealTextSignatures();

// The plain pattern of a record, unmasking the table first if that has not happened yet.
const unsigned char* RevealedTextPattern(size_t index);

// The name of the record that matched last.
const char* MatchedTextSignatureName();
