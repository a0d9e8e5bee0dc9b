// The command line shared by both vexpurge-scan front ends.
#pragma once

#include <string>

struct ScanOptions {
  bool trace = false;           // print every status, not only the last
  bool remove = false;          // delete what is found (default: report only)
  bool listSignatures = false;  // print the signature table as CSV and stop
  std::string target;           // the folder to scan
};

// Fills options from the arguments; false (with a message in error) on bad use.
bool ParseScanOptions(int argc, char** argv, ScanOptions* options, std::string* error);

// Says what was wrong, if anything, and how the program is used (folder: how the folder
// argument is written in the usage line).
void PrintUsage(const std::string& error, const char* folder);

// The signature table as CSV, one record a line: row, name, kind, size, first offset, first
// pattern (40 hex digits), second offset, second pattern.
void PrintSignatureTable();
