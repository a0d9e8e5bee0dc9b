// The command line of vexpurge-scan.
#pragma once

#include <string>
#include <vector>

constexpr char kScanVersion[] = "vexpurge-scan 1.0";
constexpr int kMaxThreads = 64;  // --threads: more buys nothing on any disk

struct ScanOptions {
  bool trace = false;           // print every status, not only the last
  bool remove = false;          // delete what is found
  bool rename = false;          // rename what is found (the character after the last "." becomes V)
  bool quiet = false;           // print detections only
  bool listSignatures = false;  // print the signature table as CSV and stop
  bool help = false;
  bool version = false;
  std::string moveTo;       // quarantine folder: move what is found there
  std::string log;          // append every printed line to this file too
  std::string windowsRoot;  // an installation that is not running, scanned from outside
  std::string image;        // a disk image whose file systems are scanned, read only
  std::string extract;      // with image: the folder that takes a copy of each finding
  int threads = 0;          // threads reading files, the scan's own included; 0: the default
  std::vector<std::string> targets;  // folders and files to scan
};

// Fills options from the arguments; false (with a message in error) on bad use.
bool ParseScanOptions(int argc, char** argv, ScanOptions* options, std::string* error);

// Says what was wrong, if anything, and how the program is used.
void PrintUsage(const std::string& error, bool full);

// The signature table as CSV, one record a line: row, name, kind, size, first offset, first
// pattern (40 hex digits), second offset, second pattern.
void PrintSignatureTable();
