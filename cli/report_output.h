// How the command-line front ends print what the main window would show: each results-list
// line as it is appended, and either every status (when tracing) or only the final one; paths
// as the user gave them; optionally findings only, a copy in a log file, and a progress line on
// a terminal. Control characters in what is printed are written as \xHH escapes. Or, with json,
// standard output takes JSON Lines only (cli/json_report.h): the text lines go to the log alone.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/json_report.h"
#include "engine/findings.h"

// The text with every control character written as \xHH, for messages that quote a name.
std::string Printable(const std::string& text);

class ReportOutput {
 public:
  ReportOutput() = default;
  ~ReportOutput();
  ReportOutput(const ReportOutput&) = delete;
  ReportOutput& operator=(const ReportOutput&) = delete;

  bool trace = false;
  bool quiet = false;
  bool progress = false;  // a progress line on standard error
  bool json = false;      // JSON Lines on standard output, the text lines in the log only

  // With json: the scan's findings, each written as an object once it is kept (with the next
  // line, or at the latest by Finish).
  const std::vector<Finding>* findings = nullptr;
  // The partition a finding lies on, given its path as the scan names it (a registry finding's:
  // its key), or "" when there is none; unset: none.
  std::function<std::string(const std::string&)> partition;

  // Opens the log file for appending; false when it cannot be.
  bool OpenLog(const std::string& path);
  // Paths under this Windows prefix ("C:\") are shown under the host path the user gave; or,
  // windowsForm, under the prefix given with the rest as Windows writes it ("IMAGE:p1:\dir\f").
  void AddPathMapping(const std::string& windowsPrefix, const std::string& hostPrefix,
                      bool windowsForm = false);
  // What the progress line shows before the path, given the status and the files scanned; unset,
  // the count of files.
  std::function<std::string(const std::string&, int)> progressText;
  // Given a mapped Windows path, the rest of it below its prefix as the disk spells it ("/"
  // between names), or "" when that is not known; the names as written are shown then.
  std::function<std::string(const std::string&)> spelling;

  // A results-list line; statistics says whether the statistics block has begun.
  void Line(const std::string& text, bool statistics);
  void Status(const char* text, int filesScanned);
  void Finish();
  // With json: the summary object, with the time since this output was made.
  void Summary(ScanTotals totals);
  // A line of the front end's own (not the engine's), printed like a results-list line; with
  // json it goes to standard error as well as to the log, so that it is not lost.
  void Extra(const std::string& text);

  // A Windows path as the user knows it: under the host path given, spelled as on disk.
  std::string TranslatePath(const std::string& path) const;

  // What could not be written ("standard output" or the log file with the reason), or "" while
  // every line was written. The front end ends the run at the first failure.
  const std::string& failure() const { return failure_; }

 private:
  void Print(const std::string& text);
  void WriteStdout(const std::string& line);
  void WriteFindings();
  void ClearProgress();
  // A line as printed: its path (up to the last five blanks) translated, control characters
  // escaped.
  std::string ShownLine(const std::string& text) const;

  std::string lastStatus_;
  struct Mapping {
    std::string windowsPrefix;
    std::string shownPrefix;
    bool windowsForm = false;
  };
  std::vector<Mapping> mappings_;
  FILE* log_ = nullptr;
  std::string logPath_;
  std::string failure_;
  bool progressShown_ = false;
  long long lastProgress_ = 0;
  size_t findingsWritten_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
