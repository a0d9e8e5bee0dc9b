// The file matcher against files from the specimen maker: every record can be detected, each
// near-miss is not, the size kinds, section counts, the fixed section-table position,
// 32-bit wrap-around, files cut short at every offset, and what a match does.
#include "engine/file_matcher.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/signatures/signature_record.h"
#include "engine/texts.h"
#include "platform/files.h"
#include "tests/support/scan_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const SignatureRecord& Row(int row) { return SignatureTable[row - 1]; }

class FileMatcher : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_scan.memorySweepActive = false;
    g_scan.removalAction = ActionReportOnly;
  }

  void Write(const std::string& path, const Bytes& bytes) {
    MakeFile(path, std::string(bytes.begin(), bytes.end()));
  }

  // Checks one file and tells the name it was detected under ("" for none).
  std::string Check(const Bytes& bytes, const std::string& path = "C:\\sample.exe") {
    Write(path, bytes);
    const int infectedBefore = g_scan.filesInfected;
    const int result = CheckFile(kFamilyName, path.c_str());
    EXPECT_EQ(result, g_scan.filesInfected - infectedBefore);
    EXPECT_EQ(machine().OpenHandles(), 0u);
    return result ? g_scan.detectionName : "";
  }
};

TEST_F(FileMatcher, EveryRecordDetectsItsOwnSpecimen) {
  for (int row = 1; row <= static_cast<int>(kSignatureCount); ++row) {
    const Bytes file = specimen::MatchingFile(Row(row));
    ASSERT_FALSE(file.empty()) << "row " << row;
    const std::string name = Check(file, "C:\\row.exe");
    EXPECT_EQ(name, Row(row).Name()) << "row " << row;
  }
  EXPECT_EQ(g_scan.filesInfected, static_cast<int>(kSignatureCount));
}

TEST_F(FileMatcher, EachNearMissFailsItsOneTest) {
  using specimen::NearMiss;
  for (int row : {1, 3, 40, 45, 58, 122, 160}) {
    for (NearMiss kind : {NearMiss::LongerByOne, NearMiss::ShorterByOne, NearMiss::FirstPatternByte,
                          NearMiss::SecondPatternByte, NearMiss::TwentyOneSections,
                          NearMiss::NoPeSignature, NearMiss::ShortHeaders}) {
      const Bytes file = specimen::NearMissFile(Row(row), kind);
      if (file.empty()) continue;  // no such file for this record
      EXPECT_EQ(Check(file), "") << "row " << row << " " << specimen::NearMissName(kind);
    }
  }
  EXPECT_EQ(g_scan.filesInfected, 0);
}

TEST_F(FileMatcher, NearSizeRecordAcceptsUpTo4095BytesEitherWay) {
  const SignatureRecord& row18 = Row(18);
  ASSERT_EQ(row18.Kind(), SizeKindNear);
  const uint32_t size = row18.FileSize();
  for (uint32_t length : {size - 4095, size - 1, size, size + 1, size + 4095}) {
    EXPECT_EQ(Check(specimen::MatchingFile(row18, length)), row18.Name()) << length;
  }
  for (uint32_t length : {size - 4096, size + 4096}) {
    EXPECT_EQ(Check(specimen::MatchingFile(row18, length)), "") << length;
  }
}

TEST_F(FileMatcher, KindsOtherThanOneToThreeNeverPass) {
  SignatureRecord record = Row(40);
  auto setKind = [&](uint32_t kind) {
    for (int i = 0; i < 4; ++i)
      record.bytes[SignatureRecord::kKind + i] = static_cast<uint8_t>(kind >> (8 * i));
  };
  const long size = static_cast<long>(record.FileSize());
  setKind(3);
  EXPECT_TRUE(SizeTestPasses(record, size + 100000));
  for (uint32_t kind : {0u, 4u, 0xFFFFFFFFu}) {
    setKind(kind);
    EXPECT_FALSE(SizeTestPasses(record, size)) << kind;
  }
  setKind(1);
  EXPECT_TRUE(SizeTestPasses(record, size));
  EXPECT_FALSE(SizeTestPasses(record, size + 1));
}

TEST_F(FileMatcher, TwentySectionsAreReadTwentyOneAreNot) {
  const SignatureRecord& record = Row(122);
  const Bytes match = specimen::MatchingFile(record);
  uint32_t first = 0, second = 0;
  ASSERT_TRUE(specimen::ProbePositions(match, record.FirstOffset(), record.SecondOffset(), &first,
                                       &second));
  // The mapping section first, then nineteen that end below every address used.
  specimen::PeBuilder builder;
  specimen::Section mapping;
  mapping.virtualAddress = specimen::kSectionAddress;
  mapping.virtualSize = 0xFFFFFFFFu - specimen::kSectionAddress;
  mapping.pointerToRawData = specimen::kRawPointer;
  builder.AddSection(mapping);
  for (int i = 0; i < 19; ++i) builder.AddSection(specimen::Section{});
  const uint32_t entry = static_cast<uint32_t>(match[0x80 + 24 + 16]) |
                         static_cast<uint32_t>(match[0x80 + 24 + 17]) << 8 |
                         static_cast<uint32_t>(match[0x80 + 24 + 18]) << 16 |
                         static_cast<uint32_t>(match[0x80 + 24 + 19]) << 24;
  builder.SetEntryPoint(entry).SetLength(record.FileSize());
  builder.Put(first, record.FirstPattern(), kProbeLength);
  builder.Put(second, record.SecondPattern(), kProbeLength);
  EXPECT_EQ(Check(builder.Bytes()), record.Name());
  builder.SetSectionCount(21);
  EXPECT_EQ(Check(builder.Bytes()), "");
}

TEST_F(FileMatcher, SectionTableIsReadAt248WhateverTheOptionalHeaderSays) {
  const SignatureRecord& record = Row(1);
  Bytes file = specimen::MatchingFile(record);
  ASSERT_FALSE(file.empty());
  // Declare a 240-byte optional header: nothing moves, the file is still detected.
  file[0x80 + 20] = 240;
  EXPECT_EQ(Check(file), record.Name());
  // Move the section header to where that declaration would put it: the matcher, reading at
  // 248, sees other bytes and maps the probes elsewhere.
  Bytes moved = specimen::MatchingFile(record);
  moved[0x80 + 20] = 240;
  std::memmove(&moved[0x80 + 264], &moved[0x80 + 248], 40);
  std::memset(&moved[0x80 + 248], 0, 16);
  EXPECT_EQ(Check(moved), "");
}

TEST_F(FileMatcher, ProbeAddressesWrapAroundAt32Bits) {
  // Entry point 0x1000 and negative offsets: both addresses wrap to just below 2^32, where a
  // high section maps them into the file.
  const SignatureRecord& record = Row(1);
  const uint32_t entry = 0x1000;
  const uint32_t a1 = entry + static_cast<uint32_t>(record.FirstOffset());
  const uint32_t a2 = entry + static_cast<uint32_t>(record.SecondOffset());
  ASSERT_GT(a1, 0x80000000u);
  specimen::Section code;  // ends long before the high addresses
  code.virtualAddress = 0x1000;
  code.virtualSize = 0x1000;
  code.pointerToRawData = 0x200;
  specimen::Section high;
  high.virtualAddress = 0xFFFF9000u;
  high.virtualSize = 0x6FFFu;  // ends at 2^32 - 1: an end of exactly 2^32 would wrap to 0
  high.pointerToRawData = 0x400;
  const uint32_t p1 = a1 - high.virtualAddress + high.pointerToRawData;
  const uint32_t p2 = a2 - high.virtualAddress + high.pointerToRawData;
  specimen::PeBuilder builder;
  builder.AddSection(code).AddSection(high).SetEntryPoint(entry).SetLength(record.FileSize());
  builder.Put(p1, record.FirstPattern(), kProbeLength)
      .Put(p2, record.SecondPattern(), kProbeLength);
  EXPECT_EQ(Check(builder.Bytes()), record.Name());
}

TEST(RvaToFileOffset, MappingRules) {
  sim::Reset();
  ResetScanState();
  char pattern[] = "/tmp/vexpurge-rva-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  sim::machine().MapDrive('C', pattern);
  specimen::Section a, b;
  a.virtualAddress = 0x1000;
  a.virtualSize = 0x1000;
  a.pointerToRawData = 0x400;
  b.virtualAddress = 0x3000;
  b.virtualSize = 0x800;
  b.pointerToRawData = 0x1400;
  specimen::PeBuilder builder;
  builder.AddSection(a).AddSection(b).SetLength(0x2000).SetHeadersSize(0x333);
  const Bytes bytes = builder.Bytes();
  FILE* out = std::fopen((std::string(pattern) + "/pe.exe").c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);

  const int fd = plat::_open("C:\\pe.exe", _O_RDONLY | _O_BINARY);
  ASSERT_GE(fd, 0);
  PeHeaders pe;
  ASSERT_EQ(ReadPeFileHeader(fd, &pe), 1);
  ASSERT_EQ(ReadPeSections(fd, &pe), 1);
  EXPECT_EQ(RvaToFileOffset(pe, 0x1010, fd), 0x410u);   // inside the first section
  EXPECT_EQ(RvaToFileOffset(pe, 0x0D00, fd), 0x0100u);  // below it: still the first section
  EXPECT_EQ(RvaToFileOffset(pe, 0x0800, fd), 0x0800u);  // ... mapped below 0, so unmapped
  EXPECT_EQ(RvaToFileOffset(pe, 0x3100, fd), 0x1500u);  // the second
  EXPECT_EQ(RvaToFileOffset(pe, 0x3900, fd), 0x1D00u);  // past every section: the last one
  EXPECT_EQ(RvaToFileOffset(pe, 0x4000, fd), 0x4000u);  // mapped beyond the file: unmapped
  EXPECT_EQ(RvaToFileOffset(pe, 0x0C00, fd), 0x333u);   // offset 0 becomes SizeOfHeaders
  plat::_close(fd);
  std::filesystem::remove_all(pattern);
}

TEST_F(FileMatcher, FilesCutShortAtAnyOffsetAreSkippedSafely) {
  const Bytes full = specimen::MatchingFile(Row(40));
  for (size_t length = 0; length < 0x400 + 64; ++length) {
    ASSERT_EQ(Check(Bytes(full.begin(), full.begin() + static_cast<long>(length))), "") << length;
  }
  for (size_t length = 0x400; length < full.size(); length += 97) {
    ASSERT_EQ(Check(Bytes(full.begin(), full.begin() + static_cast<long>(length))), "") << length;
  }
  EXPECT_EQ(Check(full), Row(40).Name());
}

TEST_F(FileMatcher, NonPeFilesNeverReachTheTable) {
  EXPECT_EQ(Check(Bytes{'h', 'e', 'l', 'l', 'o'}), "");
  Bytes mzOnly(5000, 0);
  mzOnly[0] = 'M';
  mzOnly[1] = 'Z';
  EXPECT_EQ(Check(mzOnly), "");
  // "PE\0\0" without "MZ" is accepted: the DOS header is not looked at.
  Bytes noMz = specimen::MatchingFile(Row(45));
  noMz[0] = 'X';
  noMz[1] = 'Y';
  EXPECT_EQ(Check(noMz), Row(45).Name());
}

TEST_F(FileMatcher, AFileMatchingTwoRecordsIsReportedOnceUnderTheFirst) {
  const Bytes both = specimen::MatchingBoth(Row(151), Row(152));
  ASSERT_FALSE(both.empty());
  EXPECT_EQ(Check(both), "W32/Tarvix.Mj.Backdoor");
  EXPECT_EQ(g_scan.filesInfected, 1);
  EXPECT_EQ(window().list.size(), 1u);
  EXPECT_EQ(Check(specimen::MatchingFile(Row(152))), "W32/Tarvix.Gz.Backdoor");
}

TEST_F(FileMatcher, MatchDuringTheMemorySweepOnlyNotesTheHit) {
  g_scan.memorySweepActive = true;
  g_scan.removalAction = ActionRemove;
  Write("C:\\proc.exe", specimen::MatchingFile(Row(58)));
  EXPECT_EQ(CheckFile(kFamilyName, "C:\\proc.exe"), 1);
  EXPECT_TRUE(g_scan.foundInMemory);
  EXPECT_TRUE(Exists("C:\\proc.exe"));
  EXPECT_STREQ(g_scan.detectionName, "W32/Tarvix.Bs.Backdoor");
  EXPECT_STREQ(g_scan.statusText, "C:\\proc.exe");
  EXPECT_STREQ(g_scan.currentFilePath, "C:\\proc.exe");  // kept until the next file
  EXPECT_TRUE(window().list.empty());
  EXPECT_EQ(g_scan.filesInfected, 1);
}

TEST_F(FileMatcher, MatchDuringTheDriveWalkActsAndCountsEvenWhenTheActionFails) {
  g_scan.removalAction = ActionRemove;
  Write("C:\\dir\\bad.exe", specimen::MatchingFile(Row(3)));
  machine().Meta("C:\\dir\\bad.exe").failSetAttributes = true;
  EXPECT_EQ(CheckFile(kFamilyName, "C:\\dir\\bad.exe"), 1);
  EXPECT_EQ(g_scan.filesInfected, 1);
  EXPECT_EQ(window().list,
            (Lines{"C:\\dir\\bad.exe     W32/Tarvix.19.P.Backdoor Unable to remove"}));
  EXPECT_STREQ(g_scan.currentFilePath, "");
}

TEST_F(FileMatcher, RemovedValueNameIsClearedUntilTheFirstInfection) {
  CopyText(g_scan.removedValueName, "stale");
  Write("C:\\clean.exe", Bytes(100, 1));
  CheckFile(kFamilyName, "C:\\clean.exe");
  EXPECT_STREQ(g_scan.removedValueName, "");
  CopyText(g_scan.removedValueName, "kept");
  g_scan.filesInfected = 1;
  CheckFile(kFamilyName, "C:\\clean.exe");
  EXPECT_STREQ(g_scan.removedValueName, "kept");
}

TEST_F(FileMatcher, UnreadableFilesAreSkipped) {
  Write("C:\\locked.exe", specimen::MatchingFile(Row(1)));
  machine().Meta("C:\\locked.exe").denyAccess = true;
  EXPECT_EQ(CheckFile(kFamilyName, "C:\\locked.exe"), 0);
  sim::Process& holder = machine().AddProcess(77, "C:\\other.exe");
  Write("C:\\held.exe", specimen::MatchingFile(Row(1)));
  holder.heldFiles.push_back({"C:\\held.exe", false, false});
  EXPECT_EQ(CheckFile(kFamilyName, "C:\\held.exe"), 0);
  EXPECT_EQ(g_scan.filesInfected, 0);
}

// --- A whole scan -------------------------------------------------------------------------------

TEST_F(FileMatcher, ScanRemovesExactlyTheSpecimens) {
  g_scan.removalAction = ActionRemove;
  Write("C:\\a\\one.exe", specimen::MatchingFile(Row(40)));
  Write("C:\\a\\b\\two.dll", specimen::MatchingFile(Row(122)));
  const Bytes near = specimen::NearMissFile(Row(45), specimen::NearMiss::SecondPatternByte);
  Write("C:\\a\\near.exe", near);
  MakeFile("C:\\a\\readme.txt", "hello");
  ScanAllDrives();
  RunScan();
  EXPECT_FALSE(Exists("C:\\a\\one.exe"));
  EXPECT_FALSE(Exists("C:\\a\\b\\two.dll"));
  EXPECT_EQ(Contents("C:\\a\\near.exe"), std::string(near.begin(), near.end()));
  EXPECT_EQ(Contents("C:\\a\\readme.txt"), "hello");
  EXPECT_EQ(window().list, (Lines{"C:\\a\\one.exe     W32/Tarvix.12.Backdoor removed",
                                  "C:\\a\\b\\two.dll     W32/Tarvix.Eo.Backdoor removed", " ",
                                  "Scanning statistics", "------------------------------",
                                  "Total files scanned\t\t:  4", "Total files infected\t\t:  2",
                                  "Total files removed\t\t:  2"}));
}

}  // namespace
