#include "cli/json_report.h"

#include <cmath>
#include <nlohmann/json.hpp>

size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (length == 0 || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

namespace {

using Json = nlohmann::ordered_json;  // the fields in the order written, for a reader's eye

#if defined(_WIN32)
size_t Utf8Sequence(const std::string& text, size_t at) {
  return static_cast<unsigned char>(text[at]) < 0x80 ? 1 : 0;
}
#else
size_t Utf8Sequence(const std::string& text, size_t at) { return Utf8SequenceLength(text, at); }
#endif

const char* KindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::kBinaryFile:
      return "binary";
    case FindingKind::kTextFile:
      return "text";
    case FindingKind::kProcess:
      return "memory";
    case FindingKind::kRegistry:
      return "registry";
  }
  return "";
}

const char* ActionName(FindingAction action) {
  switch (action) {
    case FindingAction::kDelete:
      return "delete";
    case FindingAction::kBootDelete:
      return "boot-delete";
    case FindingAction::kRename:
      return "rename";
    case FindingAction::kQuarantine:
      return "quarantine";
    case FindingAction::kReportOnly:
      return "report-only";
  }
  return "";
}

const char* OutcomeName(FindingResult result) {
  switch (result) {
    case FindingResult::kDone:
      return "done";
    case FindingResult::kScheduled:
      return "scheduled";
    case FindingResult::kFailed:
      return "failed";
    case FindingResult::kLeftAsSelected:
      return "left-as-selected";
  }
  return "";
}

// One line: ASCII only, so that no name can steer a terminal or trouble a reader that expects
// another encoding.
std::string Line(const Json& object) { return object.dump(-1, ' ', true); }

}  // namespace

std::string JsonText(const std::string& bytes) {
  std::string text;
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = Utf8Sequence(bytes, at);
    if (length > 0) {
      text.append(bytes, at, length);
      at += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(bytes[at++]);
    text += static_cast<char>(0xC0 | (byte >> 6));
    text += static_cast<char>(0x80 | (byte & 0x3F));
  }
  return text;
}

std::string FindingJson(const Finding& finding, const std::string& path, const std::string& newPath,
                        const std::string& partition) {
  Json object;
  object["type"] = "finding";
  object["path"] = JsonText(path);
  if (!partition.empty()) object["partition"] = JsonText(partition);
  object["name"] = JsonText(finding.name);
  object["kind"] = KindName(finding.kind);
  object["action"] = ActionName(finding.action);
  object["outcome"] = OutcomeName(finding.result);
  if (!newPath.empty()) object["new_path"] = JsonText(newPath);
  return Line(object);
}

std::string SummaryJson(const ScanTotals& totals) {
  Json object;
  object["type"] = "summary";
  object["files_scanned"] = totals.filesScanned;
  object["files_infected"] = totals.filesInfected;
  object["files_removed"] = totals.filesRemoved;
  object["files_not_scanned"] = totals.filesNotScanned;
  object["exit_status"] = totals.exitStatus;
  object["duration_seconds"] = std::round(totals.seconds * 1000) / 1000;  // to the millisecond
  return Line(object);
}
