// The command-line scanner asks nobody: every question is answered No, so nothing is stopped or
// restarted on its word, and the question is written to standard error for the record.
#include <cstdio>

#include "engine/questions.h"
#include "platform/windowing.h"

int AskUser(const char* text, const char* /*caption*/, UINT /*flags*/) {
  std::fprintf(stderr, "vexpurge-scan: %s (answered No)\n", text != nullptr ? text : "");
  return IDNO;
}
