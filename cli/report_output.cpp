#include "cli/report_output.h"

#include <chrono>

ReportOutput::~ReportOutput() {
  if (log_ != nullptr) std::fclose(log_);
}

bool ReportOutput::OpenLog(const std::string& path) {
  log_ = std::fopen(path.c_str(), "a");
  return log_ != nullptr;
}

void ReportOutput::AddPathMapping(const std::string& windowsPrefix, const std::string& hostPrefix) {
  mappings_.emplace_back(windowsPrefix, hostPrefix);
}

std::string ReportOutput::TranslatePath(const std::string& path) const {
  for (const auto& mapping : mappings_) {
    if (path.compare(0, mapping.first.size(), mapping.first) != 0) continue;
    std::string rest = spelling ? spelling(path) : std::string();
    if (rest.empty()) rest = path.substr(mapping.first.size());
    for (char& c : rest) {
      if (c == '\\') c = '/';
    }
    std::string host = mapping.second;
    if (!rest.empty() && !host.empty() && host.back() != '/') host += '/';
    return host + rest;
  }
  return path;
}

std::string ReportOutput::Translate(const std::string& text) const {
  // The last five blanks part the path from the detection name: a folder's name may hold five.
  const size_t end = text.rfind("     ");
  const size_t pathEnd = end == std::string::npos ? text.size() : end;
  return TranslatePath(text.substr(0, pathEnd)) + text.substr(pathEnd);
}

void ReportOutput::ClearProgress() {
  if (!progressShown_) return;
  std::fprintf(stderr, "\r\033[K");
  progressShown_ = false;
}

void ReportOutput::Print(const std::string& text) {
  ClearProgress();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  if (log_ != nullptr) {
    std::fprintf(log_, "%s\n", text.c_str());
    std::fflush(log_);
  }
}

void ReportOutput::Line(const std::string& text, bool statistics) {
  // Quiet: the findings, not the statistics.
  if (quiet && statistics) return;
  Print(Translate(text));
}

void ReportOutput::Status(const std::string& text, int filesScanned) {
  lastStatus_ = text;
  if (trace && !quiet) Print("status: " + TranslatePath(text));
  if (!progress) return;
  // At most ten progress lines a second: a terminal is slower than the walk.
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch()).count();
  if (now - lastProgress_ < 100) return;
  lastProgress_ = now;
  std::string shown = TranslatePath(text);
  if (shown.size() > 60) shown = "..." + shown.substr(shown.size() - 57);
  std::fprintf(stderr, "\r\033[K%d files  %s", filesScanned, shown.c_str());
  progressShown_ = true;
}

void ReportOutput::Finish() {
  ClearProgress();
  if (!trace && !quiet) Print("status: " + lastStatus_);
}
