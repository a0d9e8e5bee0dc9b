// The specimen maker, checked on its own: where its reading of a file puts the probes, that
// generated matches carry both patterns there, that each near miss breaks exactly one thing, and
// that padding a program never touches the program. Whether the scanner detects these files is
// the matcher tests' business.
#include "tools/specimen/specimen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using specimen::NearMiss;
using specimen::NearMissFile;
using specimen::PeBuilder;
using specimen::ProbePositions;
using Bytes = std::vector<uint8_t>;

SignatureRecord Record(int32_t first, int32_t second, uint32_t size, uint32_t kind = SizeKindExact,
                       uint8_t seed = 0x11) {
  SignatureRecord record{};
  std::strcpy(reinterpret_cast<char*>(record.bytes), "Test.Record");
  auto put32 = [&](size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) record.bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put32(SignatureRecord::kFirstOffset, static_cast<uint32_t>(first));
  put32(SignatureRecord::kSecondOffset, static_cast<uint32_t>(second));
  put32(SignatureRecord::kFileSize, size);
  put32(SignatureRecord::kKind, kind);
  for (size_t i = 0; i < kProbeLength; ++i) {
    record.bytes[SignatureRecord::kFirstPattern + i] = static_cast<uint8_t>(seed + 3 * i);
    record.bytes[SignatureRecord::kSecondPattern + i] = static_cast<uint8_t>(seed + 0x80 + 7 * i);
  }
  return record;
}

uint32_t U16(const Bytes& file, size_t at) { return file[at] | file[at + 1] << 8; }
uint32_t U32(const Bytes& file, size_t at) { return U16(file, at) | U16(file, at + 2) << 16; }

bool PatternAt(const Bytes& file, uint32_t at, const uint8_t* pattern) {
  return at + kProbeLength <= file.size() && std::memcmp(&file[at], pattern, kProbeLength) == 0;
}

// Both patterns where the maker's reading puts the probes.
::testing::AssertionResult Matches(const Bytes& file, const SignatureRecord& record) {
  uint32_t p1 = 0, p2 = 0;
  if (!ProbePositions(file, record.FirstOffset(), record.SecondOffset(), &p1, &p2)) {
    return ::testing::AssertionFailure() << "probes not readable";
  }
  if (!PatternAt(file, p1, record.FirstPattern()) || !PatternAt(file, p2, record.SecondPattern())) {
    return ::testing::AssertionFailure() << "patterns missing at " << p1 << " / " << p2;
  }
  return ::testing::AssertionSuccess();
}

std::vector<size_t> Differences(const Bytes& a, const Bytes& b) {
  std::vector<size_t> at;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) at.push_back(i);
  }
  return at;
}

specimen::Section MakeSection(uint32_t address, uint32_t size, uint32_t raw) {
  specimen::Section section;
  section.virtualAddress = address;
  section.virtualSize = size;
  section.pointerToRawData = raw;
  section.sizeOfRawData = size;
  return section;
}

PeBuilder Pe(uint32_t entryPoint, uint32_t length, std::vector<specimen::Section> sections = {}) {
  PeBuilder builder;
  builder.SetEntryPoint(entryPoint).SetLength(length);
  for (const specimen::Section& section : sections) builder.AddSection(section);
  return builder;
}

// A small one-section program standing in for a real executable: addresses past 0x3000 map
// through the section's last-resort rule to address - 0xC00.
Bytes Program() { return Pe(0x1100, 0x3000, {MakeSection(0x1000, 0x2000, 0x400)}).Bytes(); }

}  // namespace

// --- Builder ----------------------------------------------------------------------------------

TEST(SpecimenBuilder, HeadersLandWhereTheScannerReadsThem) {
  const Bytes file = Pe(0x3010, 0x900, {MakeSection(0x3000, 0x500, 0x600)})
                         .SetHeaderOffset(0x90)
                         .SetHeadersSize(0x400)
                         .SetSectionCount(3)
                         .Bytes();
  ASSERT_EQ(file.size(), 0x900u);
  EXPECT_EQ(U16(file, 0), 0x5A4Du);  // "MZ"
  EXPECT_EQ(U16(file, 60), 0x90u);
  EXPECT_EQ(U32(file, 0x90), 0x4550u);
  EXPECT_EQ(U16(file, 0x90 + 4), 0x14Cu);
  EXPECT_EQ(U16(file, 0x90 + 6), 3u);  // as declared, though one section is written
  EXPECT_EQ(U16(file, 0x90 + 20), 224u);
  EXPECT_EQ(U16(file, 0x90 + 24), 0x10Bu);
  EXPECT_EQ(U32(file, 0x90 + 24 + 16), 0x3010u);
  EXPECT_EQ(U32(file, 0x90 + 24 + 60), 0x400u);
  EXPECT_EQ(U32(file, 0x90 + 248 + 8), 0x500u);
  EXPECT_EQ(U32(file, 0x90 + 248 + 12), 0x3000u);
  EXPECT_EQ(U32(file, 0x90 + 248 + 20), 0x600u);
  EXPECT_EQ(U32(file, 0x90 + 248 + 40 + 12), 0u);  // the rest of the headers is zero
}

// --- The maker's reading of a file ------------------------------------------------------------

TEST(SpecimenReading, SectionTableIsReadAtTheFixedPlaceWhateverTheHeaderSays) {
  // A 240-byte optional header puts the real table 16 bytes later. Read at the fixed place, the
  // one section has address 0, size 0, and a raw pointer from bytes 4 to 7 of the real name.
  specimen::Section text = MakeSection(0x1000, 0x1000, 0x200);
  const char name[8] = {'.', 'x', 'y', 'z', 0x00, 0x30, 0x00, 0x00};
  std::memcpy(text.name, name, 8);
  const Bytes file = Pe(0x1000, 0x8000, {text}).SetOptionalHeaderSize(240).Bytes();
  uint32_t p1 = 0, p2 = 0;
  ASSERT_TRUE(ProbePositions(file, 0, 0x100, &p1, &p2));
  EXPECT_EQ(p1, 0x4000u);  // not 0x200, as the real table would give
  EXPECT_EQ(p2, 0x4100u);
}

TEST(SpecimenReading, FirstSectionEndingPastTheAddressWinsElseTheLastOne) {
  // The first section starts above the first probe's address; only its end is compared.
  const Bytes file =
      Pe(0x1000, 0x9000, {MakeSection(0x2000, 0x1000, 0x4000), MakeSection(0x1000, 0x1000, 0x400)})
          .Bytes();
  uint32_t p1 = 0, p2 = 0;
  ASSERT_TRUE(ProbePositions(file, 0x100, 0x5000, &p1, &p2));
  EXPECT_EQ(p1, 0x3100u);
  EXPECT_EQ(p2, 0x5400u);  // past every section's end: the last section maps it
}

TEST(SpecimenReading, UnmappedAddressWithoutSectionsOrPastTheEndAndZeroIsTheHeadersSize) {
  uint32_t p1 = 0, p2 = 0;
  ASSERT_TRUE(ProbePositions(Pe(0x1000, 0x9000).Bytes(), 0x10, 0x800, &p1, &p2));
  EXPECT_EQ(p1, 0x1010u);
  EXPECT_EQ(p2, 0x1800u);

  const Bytes file = Pe(0x1000, 0x9000, {MakeSection(0x1000, 0x2000, 0x8000)}).Bytes();
  ASSERT_TRUE(ProbePositions(file, 0x100, 0x1000, &p1, &p2));
  EXPECT_EQ(p1, 0x8100u);
  EXPECT_EQ(p2, 0x2000u);  // 0x9000 is not below the length

  ASSERT_TRUE(ProbePositions(Pe(0, 0x1000).SetHeadersSize(0x300).Bytes(), 0, 0x40, &p1, &p2));
  EXPECT_EQ(p1, 0x300u);
  EXPECT_EQ(p2, 0x40u);
}

TEST(SpecimenReading, FilesTheScannerSkipsOrCannotReadGiveNoPositions) {
  uint32_t p1 = 0, p2 = 0;
  auto build = [] { return Pe(0x1000, 0x2000); };
  EXPECT_TRUE(ProbePositions(build().SetSectionCount(20).Bytes(), 0, 0x20, &p1, &p2));
  EXPECT_FALSE(ProbePositions(build().SetSectionCount(21).Bytes(), 0, 0x20, &p1, &p2));
  EXPECT_FALSE(ProbePositions(build().SetSignature(0x4550 + 0x1000000).Bytes(), 0, 0x20, &p1, &p2));
  // The section table must be in the file in full.
  const specimen::Section text = MakeSection(0x1000, 0x1000, 0x200);
  EXPECT_FALSE(ProbePositions(build().SetHeaderOffset(0x2000 - 287).AddSection(text).Bytes(), 0,
                              0x20, &p1, &p2));
  EXPECT_TRUE(ProbePositions(build().SetHeaderOffset(0x2000 - 288).AddSection(text).Bytes(), 0,
                             0x20, &p1, &p2));
  // A probe's 20 bytes must all be in the file.
  EXPECT_TRUE(ProbePositions(build().Bytes(), 0, 0xFEC, &p1, &p2));
  EXPECT_FALSE(ProbePositions(build().Bytes(), 0, 0xFED, &p1, &p2));
}

// --- Matching files ---------------------------------------------------------------------------

TEST(SpecimenMatch, BothPatternsAtTheProbesWithTheRecordsLength) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const SignatureRecord records[] = {
      Record(-28347, -27471, 16896),
      Record(-7401094, -6876024, 2968576),  // huge negative offsets
      Record(1346017, 1559730, 2180608),    // entry point wraps below zero
      Record(-328, 28, 3852),
      Record(500, -500, 0x1000),        // the second probe is the lower one
      Record(kMin, kMin + 40, 0x1000),  // addresses wrap around 2^32
      Record(kMax, kMax - 100, 0x1000),
  };
  for (const SignatureRecord& record : records) {
    SCOPED_TRACE(testing::Message() << record.FirstOffset() << " / " << record.SecondOffset());
    const Bytes file = specimen::MatchingFile(record);
    ASSERT_EQ(file.size(), record.FileSize());
    EXPECT_TRUE(Matches(file, record));
    uint32_t p1 = 0, p2 = 0;
    ProbePositions(file, record.FirstOffset(), record.SecondOffset(), &p1, &p2);
    const int64_t distance = int64_t{record.SecondOffset()} - record.FirstOffset();
    EXPECT_EQ(std::min(p1, p2), specimen::kLowerProbe);
    EXPECT_EQ(int64_t{p2} - p1, distance);
  }
}

TEST(SpecimenMatch, RefusesProbesTooCloseOrNotFittingTheFile) {
  EXPECT_TRUE(specimen::MatchingFile(Record(0, 20, 0x1000)).size());
  EXPECT_TRUE(specimen::MatchingFile(Record(0, 19, 0x1000)).empty());
  EXPECT_TRUE(specimen::MatchingFile(Record(19, 0, 0x1000)).empty());
  const int32_t widest = 0x1000 - 0x400 - 20;
  EXPECT_TRUE(
      Matches(specimen::MatchingFile(Record(-widest, 0, 0x1000)), Record(-widest, 0, 0x1000)));
  EXPECT_TRUE(specimen::MatchingFile(Record(-widest - 1, 0, 0x1000)).empty());
}

TEST(SpecimenMatch, EveryTableRowThatFitsGetsAMatch) {
  int made = 0;
  for (size_t i = 0; i < kSignatureCount; ++i) {
    const SignatureRecord& record = SignatureTable[i];
    SCOPED_TRACE(testing::Message() << "row " << i + 1);
    const int64_t distance = std::abs(int64_t{record.FirstOffset()} - record.SecondOffset());
    const bool fits = distance >= 20 && distance + 0x400 + 20 <= int64_t{record.FileSize()};
    const Bytes file = specimen::MatchingFile(record);
    EXPECT_EQ(!file.empty(), fits);
    if (file.empty()) continue;
    ++made;
    EXPECT_EQ(file.size(), record.FileSize());
    EXPECT_TRUE(Matches(file, record));
  }
  EXPECT_GT(made, 150);
  EXPECT_TRUE(SignatureTable[kSignatureCount].IsEnd());
}

// --- Near misses ------------------------------------------------------------------------------

TEST(SpecimenNearMiss, SizeMissesCutOrExtendTheMatchToTheFirstLengthRefused) {
  const SignatureRecord exact = Record(-5000, 3000, 0x4000);
  const Bytes match = specimen::MatchingFile(exact);
  const Bytes longer = NearMissFile(exact, NearMiss::LongerByOne);
  const Bytes shorter = NearMissFile(exact, NearMiss::ShorterByOne);
  ASSERT_EQ(longer.size(), 0x4001u);
  EXPECT_TRUE(std::equal(match.begin(), match.end(), longer.begin()));
  EXPECT_EQ(shorter, Bytes(match.begin(), match.end() - 1));

  const SignatureRecord near = Record(-5000, 3000, 0x4000, SizeKindNear);
  EXPECT_EQ(NearMissFile(near, NearMiss::LongerByOne).size(), 0x4000u + 4096);
  EXPECT_EQ(NearMissFile(near, NearMiss::ShorterByOne).size(), 0x4000u - 4096);
  const SignatureRecord any = Record(-5000, 3000, 0x4000, SizeKindAny);
  EXPECT_TRUE(NearMissFile(any, NearMiss::LongerByOne).empty());

  // The one near-size row of the table.
  const SignatureRecord& row18 = SignatureTable[17];
  ASSERT_EQ(row18.Kind(), uint32_t{SizeKindNear});
  const Bytes tableLonger = NearMissFile(row18, NearMiss::LongerByOne);
  EXPECT_EQ(tableLonger.size(), row18.FileSize() + 4096);
  EXPECT_TRUE(Matches(tableLonger, row18));
}

TEST(SpecimenNearMiss, PatternMissesChangeOneByteOfThatPattern) {
  const SignatureRecord record = Record(-5000, 3000, 0x4000);
  const Bytes match = specimen::MatchingFile(record);
  uint32_t p1 = 0, p2 = 0;
  ASSERT_TRUE(ProbePositions(match, record.FirstOffset(), record.SecondOffset(), &p1, &p2));
  for (NearMiss kind : {NearMiss::FirstPatternByte, NearMiss::SecondPatternByte}) {
    const Bytes miss = NearMissFile(record, kind);
    ASSERT_EQ(miss.size(), match.size());
    const std::vector<size_t> changed = Differences(match, miss);
    ASSERT_EQ(changed.size(), 1u);
    const uint32_t probe = kind == NearMiss::FirstPatternByte ? p1 : p2;
    EXPECT_GE(changed[0], probe);
    EXPECT_LT(changed[0], probe + kProbeLength);
  }
}

TEST(SpecimenNearMiss, TwentyOneSectionsIsAMatchButForTheCount) {
  const SignatureRecord record = Record(-5000, 3000, 0x4000);
  Bytes miss = NearMissFile(record, NearMiss::TwentyOneSections);
  ASSERT_EQ(miss.size(), 0x4000u);
  const uint32_t h = U16(miss, 60);
  EXPECT_EQ(U16(miss, h + 6), 21u);
  uint32_t p1 = 0, p2 = 0;
  EXPECT_FALSE(ProbePositions(miss, record.FirstOffset(), record.SecondOffset(), &p1, &p2));
  miss[h + 6] = 20;
  EXPECT_TRUE(Matches(miss, record));
  ProbePositions(miss, record.FirstOffset(), record.SecondOffset(), &p1, &p2);
  EXPECT_GE(std::min(p1, p2), h + 248 + 21 * 40);  // clear of the whole table
}

TEST(SpecimenNearMiss, NoPeSignatureChangesOnlyTheSignature) {
  const SignatureRecord record = Record(-5000, 3000, 0x4000);
  const Bytes match = specimen::MatchingFile(record);
  const Bytes miss = NearMissFile(record, NearMiss::NoPeSignature);
  EXPECT_EQ(Differences(match, miss), std::vector<size_t>{specimen::kDefaultHeaderOffset + 3});
  uint32_t p1 = 0, p2 = 0;
  EXPECT_FALSE(ProbePositions(miss, record.FirstOffset(), record.SecondOffset(), &p1, &p2));
}

TEST(SpecimenNearMiss, ShortHeadersCutsTheOptionalHeaderAtTheEndOfTheFile) {
  const SignatureRecord record = Record(-5000, 3000, 0x4000);
  const Bytes miss = NearMissFile(record, NearMiss::ShortHeaders);
  ASSERT_EQ(miss.size(), 0x4000u);
  const uint32_t h = U16(miss, 60);
  EXPECT_EQ(U32(miss, h), 0x4550u);
  EXPECT_LE(h + 24, miss.size());  // signature and file header are whole
  EXPECT_GT(h + 120, miss.size());
  EXPECT_TRUE(PatternAt(miss, 0x400, record.FirstPattern()));
  EXPECT_TRUE(PatternAt(miss, 0x400 + 8000, record.SecondPattern()));
  uint32_t p1 = 0, p2 = 0;
  EXPECT_FALSE(ProbePositions(miss, record.FirstOffset(), record.SecondOffset(), &p1, &p2));
  // A 16-bit header offset cannot reach the end of a large file.
  EXPECT_TRUE(NearMissFile(Record(-5000, 3000, 0x20000), NearMiss::ShortHeaders).empty());
}

// --- Two records in one file ------------------------------------------------------------------

TEST(SpecimenBoth, OneFileMatchesTwoRecordsOfTheSameSize) {
  const SignatureRecord a = Record(-5000, 3000, 0x8000, SizeKindExact, 0x11);
  const SignatureRecord b = Record(-9000, 7000, 0x8000, SizeKindExact, 0x42);
  const Bytes file = specimen::MatchingBoth(a, b);
  ASSERT_EQ(file.size(), 0x8000u);
  EXPECT_TRUE(Matches(file, a));
  EXPECT_TRUE(Matches(file, b));
  EXPECT_TRUE(Matches(specimen::MatchingBoth(a, a), a));
  EXPECT_TRUE(specimen::MatchingBoth(a, Record(-9000, 7000, 0x8001)).empty());
}

TEST(SpecimenBoth, ProbesThatCannotShareOneSectionGetOneEach) {
  const SignatureRecord a = Record(-1000, 1000, 0x1000, SizeKindExact, 0x11);
  const SignatureRecord cases[] = {
      Record(5000, 90000, 0x1000, SizeKindExact, 0x42),  // together wider than the file
      Record(-990, 1990, 0x1000, SizeKindExact, 0x42),   // overlapping a's probes, other bytes
      Record(std::numeric_limits<int32_t>::max(), -1000000, 0x1000, SizeKindExact, 0x42),
  };
  for (const SignatureRecord& b : cases) {
    SCOPED_TRACE(testing::Message() << b.FirstOffset() << " / " << b.SecondOffset());
    const Bytes file = specimen::MatchingBoth(a, b);
    ASSERT_EQ(file.size(), 0x1000u);
    EXPECT_TRUE(Matches(file, a));
    EXPECT_TRUE(Matches(file, b));
  }
  // The same offset with different patterns cannot be matched by any one file.
  EXPECT_TRUE(specimen::MatchingBoth(a, Record(-1000, 7000, 0x1000, SizeKindExact, 0x42)).empty());
}

// --- Padding a program ------------------------------------------------------------------------

TEST(SpecimenPad, PatternsGoInThePaddingAndTheProgramIsUntouched) {
  const Bytes program = Program();
  const SignatureRecord record = Record(0x4B00, 0x7B00, 0x10000);
  Bytes padded = program;
  ASSERT_TRUE(specimen::PadToMatch(padded, record));
  ASSERT_EQ(padded.size(), 0x10000u);
  EXPECT_TRUE(std::equal(program.begin(), program.end(), padded.begin()));
  uint32_t p1 = 0, p2 = 0;
  ASSERT_TRUE(ProbePositions(padded, record.FirstOffset(), record.SecondOffset(), &p1, &p2));
  EXPECT_EQ(p1, 0x5000u);
  EXPECT_EQ(p2, 0x8000u);
  EXPECT_TRUE(Matches(padded, record));
}

TEST(SpecimenPad, RefusesAndLeavesTheProgramAloneUnlessBothProbesFitThePadding) {
  const Bytes program = Program();
  const SignatureRecord refused[] = {
      Record(0x100, 0x7B00, 0x10000),        // first probe inside the program
      Record(0x4B00, 0x100, 0x10000),        // second probe inside the program
      Record(0x2AED, 0x7B00, 0x10000),       // first probe starts 19 bytes before its end
      Record(0x4B00, 0x4B00 + 19, 0x10000),  // probes overlap each other
      Record(0x4B00, 0xFB00, 0x10000),       // second probe past the end
      Record(0x4B00, 0x7B00, 0x2FFF),        // smaller than the program
      Record(0x4B00, 0x7B00, 0x10000, 4),    // a kind that never matches
  };
  for (const SignatureRecord& record : refused) {
    SCOPED_TRACE(testing::Message() << record.FirstOffset() << " / " << record.SecondOffset());
    Bytes copy = program;
    EXPECT_FALSE(specimen::PadToMatch(copy, record));
    EXPECT_EQ(copy, program);
  }
  Bytes atTheEnd = program;
  EXPECT_TRUE(specimen::PadToMatch(atTheEnd, Record(0x2B00, 0x7B00, 0x10000)));
}

TEST(SpecimenPad, FindsTheFirstExactSizeTableRowThatFits) {
  const Bytes program = Program();
  const int row = specimen::FindPaddableRecord(program);
  ASSERT_GE(row, 0);
  EXPECT_EQ(SignatureTable[row].Kind(), uint32_t{SizeKindExact});
  for (int i = 0; i <= row; ++i) {
    if (SignatureTable[i].Kind() != SizeKindExact) continue;
    Bytes copy = program;
    EXPECT_EQ(specimen::PadToMatch(copy, SignatureTable[i]), i == row) << "row " << i + 1;
  }
  EXPECT_EQ(specimen::FindPaddableRecord(Bytes(0x100, 0)), -1);  // not a PE file at all
}
