#include "engine/findings.h"

#include <utility>

#include "engine/scan_state.h"

namespace {

// The words after the detection name. Text files have their own for a failed delete and for a
// file left as the user asked; everything else reads the same for both kinds of file.
struct Wording {
  const char* deleteFailed;
  const char* leftAsSelected;
};
constexpr Wording kBinaryWording = {"Unable to remove", "not disinfected as per user's selection"};
constexpr Wording kTextWording = {"Remove failed", "Not Disinfected As Per User's Selection"};

const char* Outcome(const Finding& finding) {
  const Wording& words = finding.kind == FindingKind::kTextFile ? kTextWording : kBinaryWording;
  const bool done = finding.result == FindingResult::kDone;
  switch (finding.action) {
    case FindingAction::kDelete:
      return done ? "removed" : words.deleteFailed;
    case FindingAction::kBootDelete:
      return words.deleteFailed;  // it is still there until the boot
    case FindingAction::kRename:
      return done ? "renamed" : "Rename failed";
    case FindingAction::kQuarantine:
      return done ? "moved to quarantine" : "Move failed";
    case FindingAction::kReportOnly:
      return words.leftAsSelected;
  }
  return "";
}

}  // namespace

std::string FindingLine(const Finding& finding) {
  const std::string& path = finding.namedByStatus ? finding.namedByStatus->path : finding.path;
  const std::string& name = finding.namedByStatus ? finding.namedByStatus->name : finding.name;
  if (finding.kind == FindingKind::kProcess) {
    return "System Memory    " + path + "     " + name + " not terminated as per user's selection";
  }
  return path + "     " + name + " " + Outcome(finding);
}

void RecordFinding(Finding finding) {
  const std::string line = FindingLine(finding);
  g_scan.findings.push_back(std::move(finding));
  PostReportLine("%s", line.c_str());
}

void KeepFinding(Finding finding) { g_scan.findings.push_back(std::move(finding)); }
