// How the command-line front ends print what the main window would show: each results-list
// line as it is appended, and either every status (when tracing) or only the final one; paths
// as the user gave them; optionally findings only, a copy in a log file, and a progress line on
// a terminal.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
  // Paths under this Windows prefix ("C:\") are shown under the host path the user gave.
  void AddPathMapping(const std::string& windowsPrefix, const std::string& hostPrefix);
  // Given a mapped Windows path, the rest of it below its prefix as the disk spells it ("/"
  // between names), or "" when that is not known; the names as written are shown then.
  std::function<std::string(const std::string&)> spelling;

  // A results-list line; statistics says whether the statistics block has begun.
  void Line(const std::string& text, bool statistics);
  void Status(const std::string& text, int filesScanned);
  void Finish();
  // A line of the front end's own (not the engine's), printed like a results-list line.
  void Extra(const std::string& text) { Line(text, false); }

  // A line with its path (up to the five blanks before the detection name) shown as the user
  // knows it; TranslatePath takes the whole text as one path.
  std::string Translate(const std::string& text) const;
  std::string TranslatePath(const std::string& path) const;

 private:
  void Print(const std::string& text);
  void ClearProgress();

  std::string lastStatus_;
  std::vector<std::pair<std::string, std::string>> mappings_;
  FILE* log_ = nullptr;
  bool progressShown_ = false;
  long long lastProgress_ = 0;
};
