// The specimen maker: harmless, synthetic files laid out so that one record of the signature
// table matches them (or narrowly fails to), for the matcher's tests and for benchmarks.
//
// Where a probe lands is computed here by our own reading of the file, the same way the scanner
// reads it, so the maker can be checked without the scanner and the scanner checked against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/signatures/signature_record.h"

namespace specimen {

// The layout every generated match uses: one section at this address whose raw data starts at
// this file position, with the lower of the two probes at kLowerProbe.
constexpr uint32_t kSectionAddress = 0x1000;
constexpr uint32_t kRawPointer = 0x200;
constexpr uint32_t kHeadersSize = 0x200;
constexpr uint32_t kLowerProbe = 0x400;
constexpr uint32_t kDefaultHeaderOffset = 0x80;
constexpr uint16_t kDefaultOptionalHeaderSize = 224;
// The scanner refuses files that declare more sections than this.
constexpr uint16_t kMaxSections = 20;
// The scanner reads the section table here, relative to the PE header, whatever the file says.
constexpr uint32_t kSectionTableAt = 248;

struct Section {
  char name[8] = {'.', 't', 'e', 'x', 't', 0, 0, 0};
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
  uint32_t characteristics = 0x60000020;  // code, readable, executable
};

// Builds a 32-bit PE file in memory. Fields the scanner reads can be set to disagree with one
// another (declared section count against sections written, optional-header size against the
// fixed table position) so tests can build malformed files on purpose. Everything not written
// is deterministic filler, the same bytes for the same position in every file.
class PeBuilder {
 public:
  PeBuilder& SetHeaderOffset(uint32_t offset);
  PeBuilder& SetSignature(uint32_t signature);
  // Overrides the count taken from the sections added.
  PeBuilder& SetSectionCount(uint16_t count);
  PeBuilder& SetOptionalHeaderSize(uint16_t size);
  PeBuilder& SetEntryPoint(uint32_t address);
  PeBuilder& SetHeadersSize(uint32_t size);
  PeBuilder& SetLength(uint32_t length);
  // Section headers follow the optional header, at its declared size.
  PeBuilder& AddSection(const Section& section);
  // Applied after the headers, in order; anything past the file's length is cut off.
  PeBuilder& Put(uint32_t position, const uint8_t* data, size_t size);
  PeBuilder& Put(uint32_t position, const std::vector<uint8_t>& data);

  uint32_t HeaderOffset() const { return headerOffset_; }
  uint32_t Length() const { return length_; }
  uint32_t SectionTableOffset() const { return headerOffset_ + 24 + optionalHeaderSize_; }

  std::vector<uint8_t> Bytes() const;

 private:
  struct Write {
    uint32_t position;
    std::vector<uint8_t> data;
  };

  uint32_t headerOffset_ = kDefaultHeaderOffset;
  uint32_t signature_ = 0x00004550;  // "PE\0\0"
  bool sectionCountSet_ = false;
  uint16_t sectionCount_ = 0;
  uint16_t optionalHeaderSize_ = kDefaultOptionalHeaderSize;
  uint32_t entryPoint_ = kSectionAddress;
  uint32_t headersSize_ = kHeadersSize;
  uint32_t length_ = 0x400;
  std::vector<Section> sections_;
  std::vector<Write> writes_;
};

// The filler byte at a file position: a fixed-seed generator, the same for every file.
uint8_t FillerAt(uint32_t position);
// Appends filler to `bytes` up to `length`, continuing the sequence from the current size.
void FillTo(std::vector<uint8_t>& bytes, size_t length);

// A file the record matches: length `length` (0 takes the record's size), the lower probe at
// kLowerProbe and the other |first - second| bytes after it. Empty when the probes cannot be
// placed: they must be at least 20 bytes apart and the upper one must end inside the file.
std::vector<uint8_t> MatchingFile(const SignatureRecord& record, uint32_t length = 0);

// One file both records match, their four probes read from one entry point. It is laid out as
// MatchingFile does when the probes fit one section so; otherwise each distinct probe address
// gets a section of its own. Empty when the sizes differ, when two probes share an offset but not
// a pattern, or when the file is too short to hold the headers and the patterns.
std::vector<uint8_t> MatchingBoth(const SignatureRecord& a, const SignatureRecord& b);

// Files that fail exactly one of the scanner's tests and are otherwise a match.
//   LongerByOne, ShorterByOne: the first length outside the size test (one byte for exact-size
//     records, one past the 4096-byte window for near-size ones; none for records without a
//     size test). The layout is the match's, so the file is the match cut or extended.
//   FirstPatternByte, SecondPatternByte: one byte of that probe's pattern changed.
//   TwentyOneSections: 21 section headers; the headers grow, so the probes move past them.
//   NoPeSignature: "PE\0\1" where the signature belongs.
//   ShortHeaders: the record's size, but the PE header sits so near the end that the optional
//     header cannot be read whole (only possible when that fits a 16-bit header offset).
// Empty when the record or its size leaves no such file.
enum class NearMiss {
  LongerByOne,
  ShorterByOne,
  FirstPatternByte,
  SecondPatternByte,
  TwentyOneSections,
  NoPeSignature,
  ShortHeaders,
};
std::vector<uint8_t> NearMissFile(const SignatureRecord& record, NearMiss kind);
const char* NearMissName(NearMiss kind);
bool ParseNearMiss(const std::string& name, NearMiss* kind);

// Where the scanner would read the probes at these entry-point offsets in this file. False when
// it would not scan the file at all or a probe's seek or read would fail.
bool ProbePositions(const std::vector<uint8_t>& file, int32_t first, int32_t second, uint32_t* p1,
                    uint32_t* p2);

// Pads a working program with filler to the record's size and writes both patterns where the
// scanner reads them, so the program still runs and the record matches it. Only done when both
// probes land in the padding, apart from each other; otherwise false and `program` unchanged.
bool PadToMatch(std::vector<uint8_t>& program, const SignatureRecord& record);

// The index of the first exact-size record of the table that PadToMatch would accept for this
// program; -1 when there is none.
int FindPaddableRecord(const std::vector<uint8_t>& program);

}  // namespace specimen
