// The file matcher: the walker's one file callback. It accepts a file only as a PE image whose
// headers can be read, and compares it with the signature table record by record.
#pragma once

#include <cstdint>

struct SignatureRecord;

// Checks one file against the signature table and acts on a match. Returns 1 when a record
// matched, else 0. While postKillAction is set (and a main window exists) it matches nothing
// and applies that action to the file at once.
int CheckFile(const char* familyName, const char* path);

// Reads the PE signature and the file header of an open file. Returns 1 on success.
int ReadPeFileHeader(int fd);

// Reads the optional header and the section table (at most 20 sections); call after
// ReadPeFileHeader. Returns 1 on success.
int ReadPeSections(int fd);

// Maps an image-relative address to a file offset through the section table last read.
uint32_t RvaToFileOffset(uint32_t address, int fd);

// The record's size test against a file length: kind 1 exact, kind 2 within 4095 bytes either
// way, kind 3 none; any other kind never passes.
bool SizeTestPasses(const SignatureRecord& record, long fileLength);
