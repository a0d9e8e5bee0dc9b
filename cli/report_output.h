// How the command-line front ends print what the main window would show: each results-list
// line as it is appended, and either every status (when tracing) or only the final one; paths
// as the user gave them; optionally findings only, a copy in a log file, and a progress line on
// a terminal. Control characters in what is printed are written as \xHH escapes.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
  void Status(const std::string& text, int filesScanned);
  void Finish();
  // A line of the front end's own (not the engine's), printed like a results-list line.
  void Extra(const std::string& text) { Line(text, false); }

  // A Windows path as the user knows it: under the host path given, spelled as on disk.
  std::string TranslatePath(const std::string& path) const;

  // What could not be written ("standard output" or the log file with the reason), or "" while
  // every line was written. The front end ends the run at the first failure.
  const std::string& failure() const { return failure_; }

 private:
  void Print(const std::string& text);
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
};
