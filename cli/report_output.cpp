#include "cli/report_output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/files.h"

namespace {

#if defined(_WIN32)
// Windows names are in the ANSI code page: any byte but a control character is shown.
size_t PrintableSequence(const std::string&, size_t) { return 1; }
#else
// The length of the UTF-8 sequence that starts text[at] and is neither malformed nor a C1
// control character (U+0080 to U+009F); 0 when its bytes must be escaped.
size_t PrintableSequence(const std::string& text, size_t at) {
  const size_t length = Utf8SequenceLength(text, at);
  const bool control = length == 2 && static_cast<unsigned char>(text[at]) == 0xC2 &&
                       static_cast<unsigned char>(text[at + 1]) < 0xA0;
  return control ? 0 : length;
}
#endif

// A file name may hold escape sequences or line breaks: they are shown as \xHH, so that no name
// can steer the terminal or split a line. keepTabs: the statistics block is laid out with tabs.
std::string Escaped(const std::string& text, bool keepTabs) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const size_t length = PrintableSequence(text, at);
    if (length > 0 && (c >= 0x20 || (keepTabs && c == '\t')) && c != 0x7F) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    char escape[5];
    std::snprintf(escape, sizeof escape, "\\x%02X", c);
    out += escape;
    ++at;
  }
  return out;
}

bool WriteLine(FILE* file, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
         std::fputc('\n', file) != EOF && std::fflush(file) == 0;
}

}  // namespace

std::string Printable(const std::string& text) { return Escaped(text, false); }

ReportOutput::~ReportOutput() {
  if (log_ != nullptr) std::fclose(log_);
}

bool ReportOutput::OpenLog(const std::string& path) {
  log_ = std::fopen(path.c_str(), "a");
  logPath_ = path;
  return log_ != nullptr;
}

void ReportOutput::AddPathMapping(const std::string& windowsPrefix, const std::string& hostPrefix,
                                  bool windowsForm) {
  mappings_.push_back({windowsPrefix, hostPrefix, windowsForm});
}

std::string ReportOutput::TranslatePath(const std::string& path) const {
  for (const Mapping& mapping : mappings_) {
    if (path.compare(0, mapping.windowsPrefix.size(), mapping.windowsPrefix) != 0) continue;
    // The spelling on disk is a host path already; a Windows path is turned into one.
    std::string rest = spelling ? spelling(path) : std::string();
    if (mapping.windowsForm) {
      if (rest.empty()) rest = path.substr(mapping.windowsPrefix.size());
      std::replace(rest.begin(), rest.end(), '/', '\\');
      return mapping.shownPrefix + rest;
    }
    if (rest.empty()) {
      rest = path.substr(mapping.windowsPrefix.size());
      for (char& c : rest) {
        if (c == '\\')
          c = '/';
        else if (c == plat::kBackslashInName)
          c = '\\';
      }
    }
    std::string host = mapping.shownPrefix;
    if (!rest.empty() && !host.empty() && host.back() != '/') host += '/';
    return host + rest;
  }
  return path;
}

void ReportOutput::ClearProgress() {
  if (!progressShown_) return;
  std::fprintf(stderr, "\r\033[K");
  progressShown_ = false;
}

void ReportOutput::WriteStdout(const std::string& line) {
  ClearProgress();
  errno = 0;
  if (!WriteLine(stdout, line) && failure_.empty())
    failure_ = std::string("standard output: ") + std::strerror(errno);
}

void ReportOutput::Print(const std::string& text) {
  if (!json) WriteStdout(text);
  errno = 0;
  if (log_ != nullptr && !WriteLine(log_, text) && failure_.empty())
    failure_ = logPath_ + ": " + std::strerror(errno);
}

std::string ReportOutput::ShownLine(const std::string& text) const {
  // The last five blanks part the path from the detection name: a folder's name may hold five.
  const size_t end = text.rfind("     ");
  if (end == std::string::npos) return Escaped(text, true);
  return Escaped(TranslatePath(text.substr(0, end)), false) + Escaped(text.substr(end), true);
}

void ReportOutput::Line(const std::string& text, bool statistics) {
  // Quiet: the findings, not the statistics.
  if (!quiet || !statistics) Print(ShownLine(text));
  WriteFindings();
}

void ReportOutput::WriteFindings() {
  if (!json || findings == nullptr) return;
  for (; findingsWritten_ < findings->size(); ++findingsWritten_) {
    const Finding& finding = (*findings)[findingsWritten_];
    // A registry key is no path of a drive: it is shown as it is.
    const bool file = finding.kind != FindingKind::kRegistry;
    WriteStdout(FindingJson(finding, file ? TranslatePath(finding.path) : finding.path,
                            finding.newPath.empty() ? "" : TranslatePath(finding.newPath),
                            partition ? partition(finding.path) : ""));
  }
}

void ReportOutput::Summary(ScanTotals totals) {
  WriteFindings();
  if (!json) return;
  totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  WriteStdout(SummaryJson(totals));
}

void ReportOutput::Status(const char* text, int filesScanned) {
  lastStatus_ = text;  // once per file: the string keeps its buffer from call to call
  if (trace && !quiet) Print("status: " + Escaped(TranslatePath(lastStatus_), false));
  if (!progress) return;
  // At most ten progress lines a second: a terminal is slower than the walk.
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  if (now - lastProgress_ < 100) return;
  lastProgress_ = now;
  std::string shown = Escaped(TranslatePath(lastStatus_), false);
  if (shown.size() > 60) shown = "..." + shown.substr(shown.size() - 57);
  const std::string counts = progressText ? progressText(lastStatus_, filesScanned)
                                          : std::to_string(filesScanned) + " files";
  std::fprintf(stderr, "\r\033[K%s  %s", counts.c_str(), shown.c_str());
  progressShown_ = true;
}

void ReportOutput::Extra(const std::string& text) {
  if (json) {
    ClearProgress();
    std::fprintf(stderr, "vexpurge-scan: %s\n", ShownLine(text).c_str());
  }
  Line(text, false);
}

void ReportOutput::Finish() {
  WriteFindings();
  ClearProgress();
  if (!trace && !quiet) Print("status: " + Escaped(TranslatePath(lastStatus_), false));
}
