// The compiled-in detection records. Records are packed little-endian bytes, read field by
// field: their 32-bit fields start at odd positions, so no aligned layout is laid over them.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Binary signatures ------------------------------------------------------------------------

constexpr size_t kSignatureRecordSize = 108;
constexpr size_t kSignatureNameSize = 50;
constexpr size_t kProbeLength = 20;
constexpr uint32_t SizeTolerance = 4096;

// Size tests by kind: 1 exact length, 2 within SizeTolerance either way, 3 none; any other
// kind never matches.
enum : uint32_t { SizeKindExact = 1, SizeKindNear = 2, SizeKindAny = 3 };

struct SignatureRecord {
  uint8_t bytes[kSignatureRecordSize];

  // Field positions inside the record.
  static constexpr size_t kName = 0;
  static constexpr size_t kFirstOffset = 50;
  static constexpr size_t kFirstPattern = 54;
  static constexpr size_t kSecondOffset = 75;
  static constexpr size_t kSecondPattern = 79;
  static constexpr size_t kFileSize = 100;
  static constexpr size_t kKind = 104;

  // The name is zero-terminated inside its 50 bytes; an empty name ends the table.
  const char* Name() const { return reinterpret_cast<const char*>(bytes + kName); }
  bool IsEnd() const { return bytes[kName] == 0; }
  int32_t FirstOffset() const { return static_cast<int32_t>(ReadU32(kFirstOffset)); }
  int32_t SecondOffset() const { return static_cast<int32_t>(ReadU32(kSecondOffset)); }
  const uint8_t* FirstPattern() const { return bytes + kFirstPattern; }
  const uint8_t* SecondPattern() const { return bytes + kSecondPattern; }
  uint32_t FileSize() const { return ReadU32(kFileSize); }
  uint32_t Kind() const { return ReadU32(kKind); }

  uint32_t ReadU32(size_t at) const {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
  }
};
static_assert(sizeof(SignatureRecord) == kSignatureRecordSize, "records are packed");

// 175 records and the all-zero record that ends the table.
constexpr size_t kSignatureCount = 175;
extern const SignatureRecord SignatureTable[kSignatureCount + 1];

// --- Text signatures --------------------------------------------------------------------------

constexpr size_t kTextSignatureRecordSize = 170;
constexpr size_t kTextPatternSize = 100;
constexpr uint8_t kTextPatternMask = 0xA7;

// Size tests of a text record by kind: 16 exact length, 17 within 4096 bytes either way; any
// other kind none.
enum : int16_t { TextSizeExact = 16, TextSizeNear = 17 };

struct TextSignatureRecord {
  uint8_t bytes[kTextSignatureRecordSize];

  static constexpr size_t kName = 0;        // 25 bytes, zero-terminated
  static constexpr size_t kSize = 25;       // signed 32-bit: file length for the size test
  static constexpr size_t kPosition = 29;   // signed 16-bit: where a fixed-position pattern lies
  static constexpr size_t kLength = 31;     // unsigned 16-bit: pattern length, 0 skips the record
  static constexpr size_t kWhere = 33;      // signed 16-bit: 0 head, 1 tail
  static constexpr size_t kPattern = 35;    // 100 bytes, stored XOR-ed with kTextPatternMask
  static constexpr size_t kMode = 135;      // signed 16-bit: 1 search, other fixed position
  static constexpr size_t kSizeKind = 139;  // signed 16-bit: TextSizeExact, TextSizeNear or none

  const char* Name() const { return reinterpret_cast<const char*>(bytes + kName); }
  int32_t Size() const { return static_cast<int32_t>(ReadU16(kSize) | ReadU16(kSize + 2) << 16); }
  int16_t Position() const { return static_cast<int16_t>(ReadU16(kPosition)); }
  uint16_t Length() const { return ReadU16(kLength); }
  int16_t Where() const { return static_cast<int16_t>(ReadU16(kWhere)); }
  int16_t Mode() const { return static_cast<int16_t>(ReadU16(kMode)); }
  int16_t SizeKind() const { return static_cast<int16_t>(ReadU16(kSizeKind)); }
  uint8_t* Pattern() { return bytes + kPattern; }
  const uint8_t* Pattern() const { return bytes + kPattern; }

  uint32_t ReadU16(size_t at) const {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8;
  }
};
static_assert(sizeof(TextSignatureRecord) == kTextSignatureRecordSize, "records are packed");

// The text-signature table, walked by count. Its patterns are stored masked and revealed in
// place once per process, so the table is not constant.
constexpr size_t kTextSignatureCount = 1;
extern TextSignatureRecord TextSignatureTable[kTextSignatureCount];
