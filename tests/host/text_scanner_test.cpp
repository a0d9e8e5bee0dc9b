// The text-signature scanner: the "begin" test, head and tail with blanks removed, the bounds
// of its searches, and its own report lines.
#include "engine/text_scanner.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/disinfection.h"
#include "engine/signatures/signature_record.h"
#include "engine/texts.h"
#include "platform/files.h"
#include "tests/support/scan_fixture.h"

namespace {

using Lines = std::vector<std::string>;

std::string Pattern() {
  const unsigned char* plain = RevealedTextPattern(0);
  return std::string(reinterpret_cast<const char*>(plain), TextSignatureTable[0].Length());
}

// The pattern with a line break every 7 characters and some indentation.
std::string Broken(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && i % 7 == 0) out += "\r\n\t ";
    out += text[i];
  }
  return out;
}

class TextScanner : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_scan.removalAction = ActionRemove;
  }

  int Scan(const std::string& path) { return ScanTextFile(kFamilyName, path.c_str()); }
};

TEST_F(TextScanner, BeginIsTestedOnTheFirstFiveBytesInAnyCase) {
  const std::string body = "\n" + Pattern() + "\nend\n";
  MakeFile("C:\\lower.txt", "begin 644 x" + body);
  MakeFile("C:\\upper.txt", "BEGIN 644 x" + body);
  MakeFile("C:\\blank.txt", " begin 644 x" + body);
  MakeFile("C:\\short.txt", "begi");
  MakeFile("C:\\empty.txt", "");
  EXPECT_EQ(Scan("C:\\lower.txt"), 1);
  EXPECT_EQ(Scan("C:\\upper.txt"), 1);
  EXPECT_EQ(Scan("C:\\blank.txt"), 0);
  EXPECT_EQ(Scan("C:\\short.txt"), 0);
  EXPECT_EQ(Scan("C:\\empty.txt"), 0);
  EXPECT_EQ(Scan("C:\\missing.txt"), 0);
  EXPECT_EQ(g_scan.filesInfected, 2);
  EXPECT_TRUE(Exists("C:\\blank.txt"));
}

TEST_F(TextScanner, PatternBrokenAcrossLinesIsFound) {
  MakeFile("C:\\hosts", "begin 644 data\r\n" + Broken(Pattern()) + "\r\nend\r\n");
  EXPECT_EQ(Scan("C:\\hosts"), 1);
  EXPECT_FALSE(Exists("C:\\hosts"));
  EXPECT_EQ(window().list, (Lines{"C:\\hosts     W32/Kelto.Worm removed"}));
  EXPECT_EQ(g_scan.filesRemoved, 1);
  EXPECT_STREQ(g_scan.detectionName, "W32/Kelto.Worm");
  EXPECT_STREQ(g_scan.statusText, "C:\\hosts");
}

TEST_F(TextScanner, FileOfExactly4096BytesIsReadAsHeadAndTail) {
  std::string text = "begin 644 x\n" + Pattern() + "\n";
  text += std::string(4096 - text.size(), 'z');
  ASSERT_EQ(text.size(), 4096u);
  MakeFile("C:\\exact.txt", text);
  EXPECT_EQ(Scan("C:\\exact.txt"), 1);

  // The pattern cut by the end of the head is not found.
  std::string cut = "begin 644 x\n" + std::string(4096 - 12 - 50, 'z') + Pattern();
  MakeFile("C:\\cut.txt", cut);
  EXPECT_EQ(Scan("C:\\cut.txt"), 0);
}

TEST_F(TextScanner, LongFilesAreSearchedInTheirHeadOnly) {
  const std::string filler(20000, 'q');
  MakeFile("C:\\head.txt", "begin 644 x\n" + Pattern() + filler);
  MakeFile("C:\\middle.txt", "begin 644 x\n" + filler + Pattern() + filler);
  MakeFile("C:\\tail.txt", "begin 644 x\n" + filler + Pattern());
  EXPECT_EQ(Scan("C:\\head.txt"), 1);
  EXPECT_EQ(Scan("C:\\middle.txt"), 0);
  EXPECT_EQ(Scan("C:\\tail.txt"), 0);  // the one record looks at the head
}

TEST_F(TextScanner, AlmostThePatternIsNotIt) {
  std::string near = Pattern();
  near[near.size() - 1] ^= 1;
  MakeFile("C:\\near.txt", "begin 644 x\n" + near);
  MakeFile("C:\\plain", "127.0.0.1 localhost\n");
  EXPECT_EQ(Scan("C:\\near.txt"), 0);
  EXPECT_EQ(Scan("C:\\plain"), 0);
  EXPECT_TRUE(window().list.empty());
  EXPECT_EQ(Contents("C:\\plain"), "127.0.0.1 localhost\n");
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(TextScanner, EachActionHasItsOwnWording) {
  const std::string text = "begin\n" + Pattern();
  MakeFile("C:\\a.uue", text);
  machine().Meta("C:\\a.uue").attributes = FILE_ATTRIBUTE_READONLY;  // no attribute reset here
  EXPECT_EQ(Scan("C:\\a.uue"), 1);
  EXPECT_EQ(window().list.back(), "C:\\a.uue     W32/Kelto.Worm Remove failed");
  EXPECT_TRUE(Exists("C:\\a.uue"));

  g_scan.removalAction = ActionRename;
  EXPECT_EQ(Scan("C:\\a.uue"), 1);
  EXPECT_EQ(window().list.back(), "C:\\a.uue     W32/Kelto.Worm renamed");
  EXPECT_TRUE(Exists("C:\\a.Vue"));

  MakeFile("C:\\b.uue", text);
  g_scan.removalAction = ActionReportOnly;
  EXPECT_EQ(Scan("C:\\b.uue"), 1);
  EXPECT_EQ(window().list.back(),
            "C:\\b.uue     W32/Kelto.Worm Not Disinfected As Per User's Selection");

  g_scan.removalAction = 0;
  EXPECT_EQ(Scan("C:\\b.uue"), 1);
  EXPECT_EQ(window().list.size(), 3u);
  EXPECT_EQ(g_scan.filesInfected, 4);
  EXPECT_EQ(g_scan.filesRemoved, 0);
}

TEST_F(TextScanner, RenameAndMoveActOnANameWithoutAnExtension) {
  const std::string infected = "begin\n" + Pattern();
  MakeFile("C:\\WIN.D\\hosts", infected);
  g_scan.removalAction = ActionRename;
  EXPECT_EQ(Scan("C:\\WIN.D\\hosts"), 1);
  EXPECT_EQ(Contents("C:\\WIN.D\\hosts.V"), infected);
  EXPECT_EQ(window().list.back(), "C:\\WIN.D\\hosts     W32/Kelto.Worm renamed");

  MakeFile("C:\\WIN.D\\hosts", infected);
  MakeFolder("C:\\q");
  g_scan.quarantine.folder = "C:\\q";
  g_scan.removalAction = ActionQuarantine;
  EXPECT_EQ(Scan("C:\\WIN.D\\hosts"), 1);
  g_scan.quarantine = {};
  EXPECT_FALSE(Exists("C:\\WIN.D\\hosts"));
  EXPECT_EQ(Contents("C:\\q\\hosts"), infected);
  EXPECT_EQ(Contents("C:\\q\\hosts.path"), "C:\\WIN.D\\hosts\r\n");
  EXPECT_EQ(window().list.back(), "C:\\WIN.D\\hosts     W32/Kelto.Worm moved to quarantine");
  EXPECT_EQ(g_scan.filesRemoved, 1);
}

TEST(TextScannerParts, StripWhitespaceRemovesTheSixBlanks) {
  const unsigned char source[] = "a b\tc\nd\ve\ff\rg\x01h";
  unsigned char out[sizeof source];
  std::memset(out, 0xbd, sizeof out);
  const size_t written = StripWhitespace(source, out, sizeof source - 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), written), "abcdefg\x01h");
  EXPECT_EQ(out[written], 0xbd);
}

TEST(TextScannerParts, FindPatternStaysInsideTheGivenLength) {
  const unsigned char buffer[] = "xxabcxxab";
  const unsigned char pattern[] = "abc";
  EXPECT_EQ(FindPattern(buffer, 9, pattern, 3), 1);
  EXPECT_EQ(FindPattern(buffer, 4, pattern, 3), 0);      // would end past the length
  EXPECT_EQ(FindPattern(buffer + 6, 3, pattern, 3), 0);  // "ab" then the end
  EXPECT_EQ(FindPattern(buffer, 2, pattern, 3), 0);
  EXPECT_EQ(FindPattern(buffer, 9, pattern, 0), 0);
  const unsigned char repeated[] = "aaab";
  const unsigned char aab[] = "aab";
  EXPECT_EQ(FindPattern(repeated, 4, aab, 3), 1);  // continues one byte after a false start
}

TEST(TextScannerTable, OneRecordAsStored) {
  const TextSignatureRecord& record = TextSignatureTable[0];
  EXPECT_STREQ(record.Name(), "W32/Kelto.Worm");
  EXPECT_EQ(record.Length(), 100);
  EXPECT_EQ(record.Where(), 0);
  EXPECT_EQ(record.Mode(), 1);
  const std::string plain = Pattern();
  for (char c : plain) EXPECT_EQ(std::strchr(" \t\n\v\f\r", c), nullptr);
}

}  // namespace
