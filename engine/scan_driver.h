// The scan driver and the directory walker.
#pragma once

#include "platform/base.h"

// A file callback: given the family name and the full path of one file, returns true when it
// handled the file, so that no later callback sees it.
typedef bool (*ScanCallbackFn)(const char* familyName, const char* path);

struct ScanCallback {
  const char* familyName;
  ScanCallbackFn callback;
};

// The callbacks the walker calls for each file, ended by an entry whose name is null.
extern const ScanCallback ScanCallbackTable[];

// The whole scan: memory sweep, every fixed drive (or scanTarget), the statistics block, the
// final status and the restart question.
void RunScan();

// Walks one search pattern: a folder pattern ending in "\*.*" (its files, then its subfolders
// depth first) or a plain file path (the memory sweep). Returns 0 when stopped by
// terminateRequested, -1 when a pattern had no "." to cut at, else filesScanned.
int WalkDirectory(const char* pattern);

// Hands one file to the callbacks; outside the memory sweep it counts as scanned unless they
// could not read it (NoteNotScanned).
void ScanFileEntry(const char* path);

// Handles at most one pending window message; Escape asks whether to stop the scan.
void PumpMessages();

// Writes the display form of source to destination (capacity bytes): when source is longer
// than width, exactly width characters: its head, dots, its tail. Otherwise source unchanged
// (cut to capacity).
void ShortenPathForDisplay(const char* source, char* destination, WORD width, size_t capacity);
