// What became of each hit of a scan, kept as data for the front ends; the results list shows
// each as one line made from the same record.
#pragma once

#include <optional>
#include <string>

enum class FindingKind {
  kBinaryFile,  // matched by the binary signatures
  kTextFile,    // matched by the text signatures
  kProcess,     // a running process whose image matched
  kRegistry,    // a start-up value or a service that launches an infected file
};

enum class FindingAction {
  kDelete,
  kBootDelete,  // the delete was refused and waits for the next boot
  kRename,
  kQuarantine,
  kReportOnly,
};

enum class FindingResult {
  kDone,
  kScheduled,  // carried out at the next boot
  kFailed,
  kLeftAsSelected,  // left alone as the user asked
};

// The file as the status line last showed it, and the last detection's name.
struct StatusTexts {
  std::string path;
  std::string name;
};

struct Finding {
  // As the scan named the file, the image of the process, or the registry key (with the value's
  // name after the key's path, for a start-up value).
  std::string path;
  std::string name;  // the detection name
  FindingKind kind = FindingKind::kBinaryFile;
  FindingAction action = FindingAction::kReportOnly;
  FindingResult result = FindingResult::kLeftAsSelected;
  std::string newPath;  // where a renamed or quarantined file is now
  // Report-only lines and the line of a failed attribute reset name the file by the status
  // texts instead of path and name; set on those, as the texts were when the finding was made.
  std::optional<StatusTexts> namedByStatus;
};

// The results-list line of a finding of a file or a process.
std::string FindingLine(const Finding& finding);

// Keeps the finding in the scan state's findings and appends its line to the results list.
void RecordFinding(Finding finding);

// Keeps the finding without a line: registry findings are told in lines of their own, made
// where the value or service is handled. The finding is kept before its line is appended.
void KeepFinding(Finding finding);
