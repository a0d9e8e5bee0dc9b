// The compiled-in signature tables, read back through the record accessors: the rows, bounds
// and reserved shapes other code and tests rely on, that every record can be matched at all,
// and that the text pattern sits in the program file only in its masked form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine/signatures/signature_record.h"

namespace {

// The names as tools/gen_signatures.py holds them, written out by it beside this test.
const char* const kNames[kSignatureCount] = {
#include "tests/host/signature_names.inc"
};

const SignatureRecord& Row(size_t row) { return SignatureTable[row - 1]; }

bool IsZero(uint8_t b) { return b == 0; }

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// Room the specimen maker needs: it writes the lower probe at file position 0x400, the other
// |first - second| further on, and a tail behind it.
constexpr int64_t kSpecimenProbeStart = 0x400;
constexpr int64_t kSpecimenTail = 64;

int64_t ProbeDistance(const SignatureRecord& r) {
  return std::llabs(static_cast<int64_t>(r.FirstOffset()) - r.SecondOffset());
}

bool MatchableBySpecimen(const SignatureRecord& r) {
  const int64_t distance = ProbeDistance(r);
  return distance >= static_cast<int64_t>(kProbeLength) &&
         distance <= static_cast<int64_t>(r.FileSize()) - kSpecimenProbeStart -
                         static_cast<int64_t>(kProbeLength) - kSpecimenTail;
}

}  // namespace

// --- Binary table -----------------------------------------------------------------------------

TEST(SignatureTable, NamesComeInOrderZeroPaddedAndAZeroRecordEndsTheTable) {
  std::set<std::string> distinct;
  for (size_t i = 0; i < kSignatureCount; ++i) {
    const SignatureRecord& r = SignatureTable[i];
    const uint8_t* name = r.bytes + SignatureRecord::kName;
    const void* end = std::memchr(name, 0, kSignatureNameSize);
    ASSERT_NE(end, nullptr) << "row " << i + 1 << " name is not terminated";
    EXPECT_FALSE(r.IsEnd()) << "row " << i + 1;
    EXPECT_STREQ(r.Name(), kNames[i]) << "row " << i + 1;
    const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(end) - name);
    EXPECT_TRUE(std::all_of(name + length, name + kSignatureNameSize, IsZero))
        << "row " << i + 1 << " has bytes after its name";
    distinct.insert(r.Name());
  }
  EXPECT_EQ(distinct.size(), 61u);

  const SignatureRecord& last = SignatureTable[kSignatureCount];
  EXPECT_TRUE(last.IsEnd());
  EXPECT_TRUE(std::all_of(std::begin(last.bytes), std::end(last.bytes), IsZero));
}

TEST(SignatureTable, FixedRowsHoldTheirValues) {
  struct Fixed {
    size_t row;
    const char* name;
    uint32_t kind;
    uint32_t size;
    int32_t first;
    int32_t second;
  };
  const Fixed fixed[] = {
      {1, "W32/Tarvix.19.Backdoor", 1, 16896, -28347, -27471},
      {3, "W32/Tarvix.19.P.Backdoor", 1, 2968576, -7401094, -6876024},
      {18, "W32/Tarvix.19.Backdoor", 2, 350765, -345095, -243},
      {40, "W32/Tarvix.12.Backdoor", 1, 2768, -1712, -139},
      {45, "W32/Tarvix.A.VirTool", 1, 5601, -3785, -131},
      {58, "W32/Tarvix.Bs.Backdoor", 1, 364544, 381, 361929},
      {122, "W32/Tarvix.Eo.Backdoor", 1, 4861952, 8900, -17000},
  };
  for (const Fixed& f : fixed) {
    const SignatureRecord& r = Row(f.row);
    EXPECT_STREQ(r.Name(), f.name) << "row " << f.row;
    EXPECT_EQ(r.Kind(), f.kind) << "row " << f.row;
    EXPECT_EQ(r.FileSize(), f.size) << "row " << f.row;
    EXPECT_EQ(r.FirstOffset(), f.first) << "row " << f.row;
    EXPECT_EQ(r.SecondOffset(), f.second) << "row " << f.row;
  }
}

TEST(SignatureTable, KindsSizesAndOffsetsStayWithinTheirBounds) {
  size_t exact = 0;
  size_t firstNonNegative = 0;
  size_t secondNonNegative = 0;
  uint32_t minSize = UINT32_MAX;
  uint32_t maxSize = 0;
  int32_t minOffset = INT32_MAX;
  int32_t maxOffset = INT32_MIN;
  for (size_t row = 1; row <= kSignatureCount; ++row) {
    const SignatureRecord& r = Row(row);
    if (row == 18) {
      EXPECT_EQ(r.Kind(), SizeKindNear);
    } else {
      EXPECT_EQ(r.Kind(), SizeKindExact) << "row " << row;
    }
    if (r.Kind() == SizeKindExact) ++exact;
    minSize = std::min(minSize, r.FileSize());
    maxSize = std::max(maxSize, r.FileSize());
    minOffset = std::min({minOffset, r.FirstOffset(), r.SecondOffset()});
    maxOffset = std::max({maxOffset, r.FirstOffset(), r.SecondOffset()});
    if (r.FirstOffset() >= 0) ++firstNonNegative;
    if (r.SecondOffset() >= 0) ++secondNonNegative;
  }
  EXPECT_EQ(exact, 174u);
  EXPECT_EQ(minSize, 2768u);
  EXPECT_EQ(maxSize, 4861952u);
  EXPECT_EQ(minOffset, -7401094);
  EXPECT_EQ(maxOffset, 2505881);
  EXPECT_EQ(firstNonNegative, 40u);
  EXPECT_EQ(secondNonNegative, 47u);
}

TEST(SignatureTable, PatternsAreTwentyBytesAndAZero) {
  for (size_t row = 1; row <= kSignatureCount; ++row) {
    for (const uint8_t* p : {Row(row).FirstPattern(), Row(row).SecondPattern()}) {
      EXPECT_EQ(p[kProbeLength], 0) << "row " << row;
      EXPECT_TRUE(std::any_of(p, p + kProbeLength, [](uint8_t b) { return b != 0; }))
          << "row " << row << " has an all-zero pattern";
    }
  }
}

TEST(SignatureTable, EveryRecordIsMatchableByASpecimen) {
  for (size_t row = 1; row <= kSignatureCount; ++row) {
    const SignatureRecord& r = Row(row);
    EXPECT_TRUE(MatchableBySpecimen(r))
        << "row " << row << ": size " << r.FileSize() << ", offsets " << r.FirstOffset() << " / "
        << r.SecondOffset();
  }
}

// Rows the generator reserves for other tests: probes past the image of a small program, and
// two records one file can match together.
TEST(SignatureTable, ReservedRowsKeepTheShapesOtherTestsUse) {
  for (size_t row : {160, 162, 164, 166, 168, 170, 172, 174, 175}) {
    const SignatureRecord& r = Row(row);
    EXPECT_GE(r.FirstOffset(), 1000000) << "row " << row;
    EXPECT_GE(r.SecondOffset(), r.FirstOffset() + 100000) << "row " << row;
    EXPECT_GE(int64_t{r.FileSize()}, int64_t{r.SecondOffset()} + 500000) << "row " << row;
  }
  EXPECT_EQ(Row(174).SecondOffset(), 2505881);

  const SignatureRecord& a = Row(151);
  const SignatureRecord& b = Row(152);
  EXPECT_STREQ(a.Name(), "W32/Tarvix.Mj.Backdoor");
  EXPECT_STREQ(b.Name(), "W32/Tarvix.Gz.Backdoor");
  EXPECT_EQ(a.Kind(), SizeKindExact);
  EXPECT_EQ(b.Kind(), SizeKindExact);
  ASSERT_EQ(a.FileSize(), b.FileSize());
  std::vector<int64_t> offsets = {a.FirstOffset(), a.SecondOffset(), b.FirstOffset(),
                                  b.SecondOffset()};
  std::sort(offsets.begin(), offsets.end());
  EXPECT_LE(offsets.back() - offsets.front(), int64_t{a.FileSize()} - kSpecimenProbeStart - 100);
  for (size_t i = 1; i < offsets.size(); ++i) {
    EXPECT_GE(offsets[i] - offsets[i - 1], 40) << "twin probes overlap";
  }
}

// --- Text table -------------------------------------------------------------------------------

// Words of the text record that have no accessor: two reserved words and the zero tail.
constexpr size_t kReservedAfterMode = 137;
constexpr size_t kReservedAfterSizeKind = 141;
constexpr size_t kZeroTail = 143;

TEST(SignatureTextTable, RecordFieldsHoldTheirValues) {
  const TextSignatureRecord& r = TextSignatureTable[0];
  EXPECT_STREQ(r.Name(), "W32/Kelto.Worm");
  const uint8_t* name = r.bytes + TextSignatureRecord::kName;
  const uint8_t* nameEnd = r.bytes + TextSignatureRecord::kSize;
  EXPECT_TRUE(std::all_of(name + std::strlen(r.Name()), nameEnd, IsZero));
  EXPECT_EQ(r.Size(), 134042);
  EXPECT_EQ(r.Position(), 1888);
  EXPECT_EQ(r.Length(), kTextPatternSize);
  EXPECT_EQ(r.Where(), 0);
  EXPECT_EQ(r.Mode(), 1);
  EXPECT_EQ(r.ReadU16(kReservedAfterMode), 4u);
  EXPECT_EQ(r.SizeKind(), 18);
  EXPECT_EQ(r.ReadU16(kReservedAfterSizeKind), 0u);
  EXPECT_TRUE(std::all_of(r.bytes + kZeroTail, r.bytes + kTextSignatureRecordSize, IsZero));
}

TEST(SignatureTextTable, PatternIsUuencodedTextFoundInTheProgramFileOnlyMasked) {
  // The engine unmasks the table in place once per process, and another test may have run it
  // first. The mask sets the high bit that no uuencode character has, so the two forms are told
  // apart by the first byte.
  const uint8_t* held = TextSignatureTable[0].Pattern();
  const bool revealed = (held[0] & 0x80) == 0;
  std::vector<uint8_t> masked(held, held + kTextPatternSize);
  if (revealed) {
    for (uint8_t& b : masked) b = static_cast<uint8_t>(b ^ kTextPatternMask);
  }
  std::vector<uint8_t> plain(masked);
  for (uint8_t& b : plain) b = static_cast<uint8_t>(b ^ kTextPatternMask);

  EXPECT_EQ(plain[0], 'M');
  for (size_t i = 0; i < plain.size(); ++i) {
    // The scanner strips blanks before searching, so a blank in the pattern could never match.
    EXPECT_EQ(std::strchr(" \t\r\n\v\f", plain[i]), nullptr) << "blank at " << i;
    EXPECT_TRUE(plain[i] >= 0x21 && plain[i] <= 0x60) << "not uuencode text at " << i;
  }

  std::ifstream file("/proc/self/exe", std::ios::binary);
  ASSERT_TRUE(file);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  ASSERT_FALSE(image.empty());
  EXPECT_TRUE(Contains(image, masked)) << "the masked pattern is not in the program file";
  EXPECT_FALSE(Contains(image, plain)) << "the plain pattern is in the program file";
}
