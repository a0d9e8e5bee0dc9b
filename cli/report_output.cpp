#include "cli/report_output.h"

#include <chrono>

namespace {
// The host build's simulated machine shows a backslash inside a host file name as this.
constexpr char kBackslashInName = '\x1c';
}  // namespace

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

std::string ReportOutput::Translate(const std::string& text) const {
  for (const auto& mapping : mappings_) {
    if (text.compare(0, mapping.first.size(), mapping.first) != 0) continue;
    // The path runs up to the blanks that part it from the detection name.
    const size_t end = text.find("     ");
    const size_t pathEnd = end == std::string::npos ? text.size() : end;
    std::string rest = text.substr(mapping.first.size(), pathEnd - mapping.first.size());
    for (char& c : rest) {
      if (c == '\\') c = '/';
      else if (c == kBackslashInName) c = '\\';
    }
    std::string host = mapping.second;
    if (!rest.empty() && !host.empty() && host.back() != '/') host += '/';
    return host + rest + text.substr(pathEnd);
  }
  return text;
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
  if (trace && !quiet) Print("status: " + Translate(text));
  if (!progress) return;
  // At most ten progress lines a second: a terminal is slower than the walk.
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch()).count();
  if (now - lastProgress_ < 100) return;
  lastProgress_ = now;
  std::string shown = Translate(text);
  if (shown.size() > 60) shown = "..." + shown.substr(shown.size() - 57);
  std::fprintf(stderr, "\r\033[K%d files  %s", filesScanned, shown.c_str());
  progressShown_ = true;
}

void ReportOutput::Finish() {
  ClearProgress();
  if (!trace && !quiet) Print("status: " + lastStatus_);
}
