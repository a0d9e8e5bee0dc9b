// The machine-readable report of vexpurge-scan (--json): JSON Lines, one object per finding as
// it is made, then one with the totals. Every line is plain ASCII: characters beyond it are
// written as \uXXXX, and a byte that is not part of valid UTF-8 (on Windows, any byte above
// 0x7F: names there are in the ANSI code page) as \u00XX of the byte.
#pragma once

#include <string>

#include "engine/findings.h"

// What the summary object tells: the statistics block's counts, the files that could not be
// looked into, and the exit status the process returns.
struct ScanTotals {
  int filesScanned = 0;
  int filesInfected = 0;
  int filesRemoved = 0;
  int filesNotScanned = 0;
  int exitStatus = 0;
  double seconds = 0;
};

// The length of the valid UTF-8 sequence that starts text[at]: no overlong forms, no
// surrogates, nothing beyond U+10FFFF; 0 when the byte starts none.
size_t Utf8SequenceLength(const std::string& text, size_t at);

// The text as valid UTF-8: valid sequences as they are, every other byte as the character
// U+00XX of its value.
std::string JsonText(const std::string& bytes);

// A finding's object. path and newPath as shown to the user (newPath only when the file was
// renamed or moved); partition: the partition the finding is on, "" when there is none.
std::string FindingJson(const Finding& finding, const std::string& path, const std::string& newPath,
                        const std::string& partition);

std::string SummaryJson(const ScanTotals& totals);
