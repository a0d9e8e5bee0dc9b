// The --json report's objects: fields present only when they mean something, and every name,
// whatever its bytes, giving one line of valid, plain ASCII JSON that reads back as the name.
#include "cli/json_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using Json = nlohmann::json;

TEST(JsonReport, FindingFieldsFollowTheRecord) {
  Finding renamed;
  renamed.name = "W32/Tarvix.12.Backdoor";
  renamed.kind = FindingKind::kTextFile;
  renamed.action = FindingAction::kRename;
  renamed.result = FindingResult::kDone;
  const Json full = Json::parse(FindingJson(renamed, "tree/a.exe", "tree/a.Vxe", "p2"));
  EXPECT_EQ(full, Json::parse(R"({"type":"finding","path":"tree/a.exe","partition":"p2",
      "name":"W32/Tarvix.12.Backdoor","kind":"text","action":"rename","outcome":"done",
      "new_path":"tree/a.Vxe"})"));

  Finding process;
  process.kind = FindingKind::kProcess;
  const Json bare = Json::parse(FindingJson(process, "C:\\x.exe", "", ""));
  EXPECT_FALSE(bare.contains("partition"));
  EXPECT_FALSE(bare.contains("new_path"));
  EXPECT_EQ(bare["kind"], "memory");
  EXPECT_EQ(bare["action"], "report-only");
  EXPECT_EQ(bare["outcome"], "left-as-selected");

  ScanTotals totals;
  totals.filesScanned = 7;
  totals.exitStatus = 2;
  totals.seconds = 1.23456;
  const Json summary = Json::parse(SummaryJson(totals));
  EXPECT_EQ(summary["type"], "summary");
  EXPECT_EQ(summary["files_scanned"], 7);
  EXPECT_EQ(summary["exit_status"], 2);
  EXPECT_DOUBLE_EQ(summary["duration_seconds"].get<double>(), 1.235);
}

TEST(JsonReport, AnyBytesGiveValidAsciiJson) {
  struct Case {
    std::string bytes;
    std::u32string read;  // the characters the JSON reads back as
  };
  const Case cases[] = {
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", U"caf\u00E9 \U0001F600"},    // valid UTF-8 as it is
      {"a\033[2J\nb\"\\", U"a\u001B[2J\nb\"\\"},                    // controls and quoting
      {"\xFF\xC3(", U"\u00FF\u00C3("},                              // stray and cut sequences
      {"\xC0\xAF\xED\xA0\x80", U"\u00C0\u00AF\u00ED\u00A0\u0080"},  // overlong, a surrogate
      {"\xF4\x90\x80\x80\xE2\x82", U"\u00F4\u0090\u0080\u0080\u00E2\u0082"},  // beyond U+10FFFF
  };
  for (const Case& c : cases) {
    Finding finding;
    finding.name = c.bytes;
    const std::string line = FindingJson(finding, c.bytes, "", "");
    for (char ch : line) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << line;
    const Json object = Json::parse(line);  // throws on invalid JSON or UTF-8
    std::u32string read;
    const std::string text = object["name"].get<std::string>();
    // Decoded here by hand: the test must not lean on the code under test.
    for (size_t i = 0; i < text.size();) {
      const auto lead = static_cast<unsigned char>(text[i]);
      const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      char32_t code = length == 1 ? lead : lead & (0x7F >> length);
      for (int k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
      read += code;
      i += length;
    }
    EXPECT_EQ(read, c.read) << line;
    EXPECT_EQ(object["path"], object["name"]);
  }
}

}  // namespace
