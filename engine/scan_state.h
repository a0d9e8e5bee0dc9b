// The one scan state shared by every part of the program, and the report channel through
// which the engine hands lines and status texts to the main window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/findings.h"
#include "platform/base.h"

// Action codes for removalAction and postKillAction.
enum : int32_t {
  ActionRemove = 100,
  ActionRename = 101,
  ActionRemoveToo = 102,  // removes, exactly as ActionRemove
  ActionReportOnly = 103,
  ActionQuarantine = 104,  // the command-line scanner's: move into the quarantine folder
};

// Private messages to the main window, both sent with wParam and lParam 0. They share their
// numbers with WM_ENABLE and WM_SETREDRAW; the main window routes them whoever sends them.
enum : UINT {
  SetStatusMessage = 10,   // show statusText in the status line
  AppendLineMessage = 11,  // append ReportLine to the results list
};

constexpr size_t kPathBufferSize = 260;
constexpr size_t kReportLineSize = 500;

// Where ActionQuarantine moves infected files: a folder (a Windows path; none, and every move
// fails), and, when given, what turns a file's path into the words recorded beside it (as the
// user knows the path).
struct Quarantine {
  std::string folder;
  std::function<std::string(const std::string&)> describe;
};

struct ScanState {
  // Window and texts.
  HWND mainWindow = nullptr;
  char ReportLine[kReportLineSize] = {};
  char statusText[kPathBufferSize] = {};
  char detectionName[kPathBufferSize] = {};
  char scanTarget[kPathBufferSize] = {};

  // Control flags and codes.
  int32_t removalAction = 0;
  Quarantine quarantine;
  bool terminateRequested = false;
  int32_t scanRunning = 0;
  bool statisticsBegun = false;
  int32_t restartNeeded = 0;
  bool memorySweepActive = true;
  bool foundInMemory = false;
  int32_t postKillAction = 0;
  int32_t serviceKeysRemoved = 0;
  int32_t programFilesPending = 0;
  int32_t programFilesSeen = 0;
  char programFilesPattern[kPathBufferSize] = {};

  // Counters, never reset while the process lives.
  int32_t filesScanned = 0;
  int32_t filesInfected = 0;
  int32_t filesRemoved = 0;
  // What became of each hit, in the order of their lines; kept as long as the counters.
  std::vector<Finding> findings;
  // Files and folders the scan could not look into (no access, path beyond the buffers); the
  // front end is told of each through notScannedHandler, when it set one.
  int32_t filesNotScanned = 0;
  void (*notScannedHandler)(const char* path, const char* reason) = nullptr;

  // Shared with the start-up entry cleanup.
  char currentFilePath[kPathBufferSize + 1] = {};
  char removedValueName[128] = {};
  bool hostsChecked = false;  // the hosts file is one file: checked once a scan

  // Images the memory sweep found infected and counted: the drive walk meets the same files
  // again (when they could not be removed, or were only reported) and does not count them twice.
  std::vector<std::string> countedInMemory;
};

extern ScanState g_scan;

// Puts the scan state back to its start values, as at process start.
void ResetScanState();

// Formats one line into ReportLine and sends it to the main window, which appends it before
// the call returns. A line longer than ReportLine holds is cut, never overrun.
void PostReportLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Tells the main window to show statusText.
void PostStatus();

// Counts a file or folder the scan could not look into and tells the front end why.
void NoteNotScanned(const char* path, const char* reason);

// Copies text into a fixed buffer, cut to fit and always terminated.
void CopyText(char* destination, size_t capacity, const char* source);
template <size_t N>
void CopyText(char (&destination)[N], const char* source) {
  CopyText(destination, N, source);
}
