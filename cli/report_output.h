// How the command-line front ends print what the main window would show: each results-list
// line as it is appended, and either every status
// (when tracing) or only the final one.
#pragma once

#include <cstdio>
#include <string>

struct ReportOutput {
  bool trace = false;
  std::string lastStatus;

  void Line(const char* text) const {
    std::printf("%s\n", text);
    std::fflush(stdout);
  }
  void Status(const char* text) {
    lastStatus = text;
    if (trace) std::printf("status: %s\n", text);
  }
  void Finish() const {
    if (!trace) std::printf("status: %s\n", lastStatus.c_str());
    std::fflush(stdout);
  }
};
