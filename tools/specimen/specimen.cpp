#include "tools/specimen/specimen.h"

#include <algorithm>
#include <cstring>

namespace specimen {

namespace {

void PutU16(std::vector<uint8_t>& out, uint64_t at, uint32_t value) {
  for (uint64_t i = 0; i < 2 && at + i < out.size(); ++i) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void PutU32(std::vector<uint8_t>& out, uint64_t at, uint32_t value) {
  for (uint64_t i = 0; i < 4 && at + i < out.size(); ++i) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void PutBytes(std::vector<uint8_t>& out, uint64_t at, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size && at + i < out.size(); ++i) out[at + i] = data[i];
}

uint32_t RoundUp(uint64_t value, uint32_t unit) {
  return static_cast<uint32_t>((value + unit - 1) / unit * unit);
}

// Everything in the engine's reading is done on 32-bit values, so addresses wrap.
uint32_t Wrap(int64_t value) { return static_cast<uint32_t>(static_cast<uint64_t>(value)); }

struct Probe {
  int32_t offset;
  const uint8_t* pattern;
};

std::vector<Probe> ProbesOf(const SignatureRecord& record) {
  return {{record.FirstOffset(), record.FirstPattern()},
          {record.SecondOffset(), record.SecondPattern()}};
}

// A matching file's builder: one mapping section (plus empty ones up to `sectionCount`) with the
// probes placed after the headers in the order of their offsets, all from one entry point.
// False when the probes do not fit `length` or two of them would need different bytes in the
// same place.
bool BuildMatch(const std::vector<Probe>& probes, uint32_t length, uint16_t sectionCount,
                PeBuilder* builder, std::vector<uint32_t>* positions = nullptr) {
  int64_t low = probes.front().offset;
  int64_t high = low;
  for (const Probe& probe : probes) {
    low = std::min<int64_t>(low, probe.offset);
    high = std::max<int64_t>(high, probe.offset);
  }
  const uint64_t span = static_cast<uint64_t>(high - low);

  // The section table sits where the scanner reads it. The lower probe goes at kLowerProbe, or
  // just past the table when a long one reaches further, so that small records still fit.
  const uint32_t tableEnd = kDefaultHeaderOffset + kSectionTableAt + 40u * sectionCount;
  const uint32_t headersSize = std::max(kHeadersSize, RoundUp(tableEnd, 0x40));
  const uint32_t rawPointer = kRawPointer;
  const uint32_t lowerProbe = std::max(kLowerProbe, headersSize);
  if (uint64_t{lowerProbe} + span + kProbeLength > length) return false;

  // Overlapping probes are allowed only where their bytes agree.
  std::vector<bool> taken(span + kProbeLength, false);
  std::vector<uint8_t> image(span + kProbeLength, 0);
  for (const Probe& probe : probes) {
    const uint64_t at = static_cast<uint64_t>(probe.offset - low);
    for (size_t i = 0; i < kProbeLength; ++i) {
      if (taken[at + i] && image[at + i] != probe.pattern[i]) return false;
      taken[at + i] = true;
      image[at + i] = probe.pattern[i];
    }
  }

  // The section reaches past the upper probe, so both probe addresses map through it, and its
  // size depends on the probes only: files of other lengths keep identical headers.
  Section text;
  text.virtualAddress = kSectionAddress;
  text.pointerToRawData = rawPointer;
  text.virtualSize = RoundUp(uint64_t{lowerProbe} - rawPointer + span + kProbeLength, 0x200);
  text.sizeOfRawData = text.virtualSize;

  *builder = PeBuilder();
  builder->SetLength(length)
      .SetHeadersSize(headersSize)
      .SetEntryPoint(Wrap(int64_t{lowerProbe} - rawPointer + kSectionAddress - low))
      .AddSection(text);
  // The extra sections come after the mapping one in the table, so no probe address reaches
  // them.
  uint32_t nextAddress = kSectionAddress + RoundUp(text.virtualSize, 0x1000);
  for (uint16_t i = 1; i < sectionCount; ++i) {
    Section empty;
    const char name[8] = {
        '.', 'b', 's', 's', static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10), 0, 0};
    std::memcpy(empty.name, name, sizeof name);
    empty.virtualAddress = nextAddress;
    empty.virtualSize = 0x1000;
    empty.characteristics = 0xC0000080;  // uninitialised data, readable, writable
    builder->AddSection(empty);
    nextAddress += 0x1000;
  }
  for (const Probe& probe : probes) {
    builder->Put(static_cast<uint32_t>(lowerProbe + (probe.offset - low)), probe.pattern,
                 kProbeLength);
  }
  if (positions) {
    positions->clear();
    for (const Probe& probe : probes) {
      positions->push_back(static_cast<uint32_t>(lowerProbe + (probe.offset - low)));
    }
  }
  return true;
}

// A file whose probes are placed one by one, for when one section cannot carry them all (they
// span more than the file, or overlap with different bytes). Each distinct probe address gets a
// section of its own that starts at that address and ends at the next one, so the address maps
// to the section's raw pointer exactly; the probes are then packed after the headers. Only
// probes at the same offset must agree.
bool BuildSpread(std::vector<Probe> probes, uint32_t length, PeBuilder* builder) {
  std::sort(probes.begin(), probes.end(),
            [](const Probe& x, const Probe& y) { return x.offset < y.offset; });
  std::vector<Probe> distinct;
  for (const Probe& probe : probes) {
    if (!distinct.empty() && distinct.back().offset == probe.offset) {
      if (std::memcmp(distinct.back().pattern, probe.pattern, kProbeLength) != 0) return false;
      continue;
    }
    distinct.push_back(probe);
  }

  const uint32_t tableEnd = kDefaultHeaderOffset + kSectionTableAt + 40u * distinct.size();
  const uint32_t headersSize = std::max(kHeadersSize, RoundUp(tableEnd, 0x40));
  const uint32_t first = std::max(kLowerProbe, headersSize);
  if (uint64_t{first} + kProbeLength * distinct.size() > length) return false;

  // Addresses ascend without wrapping, so the sections' ends ascend in table order.
  const int64_t low = distinct.front().offset;
  const uint64_t span = static_cast<uint64_t>(distinct.back().offset - low);
  const int64_t base =
      static_cast<int64_t>(std::min<uint64_t>(kSectionAddress, 0xFFFFFFFFu - span));
  *builder = PeBuilder();
  builder->SetLength(length).SetHeadersSize(headersSize).SetEntryPoint(Wrap(base - low));
  for (size_t i = 0; i < distinct.size(); ++i) {
    const uint32_t address = Wrap(base + distinct[i].offset - low);
    // The last end may wrap; addresses no section ends past fall to the last one anyway.
    const uint32_t next =
        i + 1 < distinct.size() ? Wrap(base + distinct[i + 1].offset - low) : address + 0x1000;
    Section section;
    const char name[8] = {'.', 'p', 'r', 'o', 'b', static_cast<char>('1' + i), 0, 0};
    std::memcpy(section.name, name, sizeof name);
    section.virtualAddress = address;
    section.virtualSize = next - address;
    section.pointerToRawData = first + static_cast<uint32_t>(kProbeLength * i);
    section.sizeOfRawData = kProbeLength;
    builder->AddSection(section).Put(section.pointerToRawData, distinct[i].pattern, kProbeLength);
  }
  return true;
}

// The probes of one record need to be apart: the scanner reads them independently, and a file
// where one pattern overwrites the other would only match by accident.
bool ProbesApart(const SignatureRecord& record) {
  const int64_t distance = int64_t{record.FirstOffset()} - record.SecondOffset();
  return distance >= int64_t{kProbeLength} || -distance >= int64_t{kProbeLength};
}

// --- The scanner's reading of a file ---

// The file as the scanner sees it: `length` bytes, of which those past `size` are the filler a
// padded copy would have, so a padding can be tried without making the padded copy.
class FileView {
 public:
  FileView(const uint8_t* data, size_t size, uint64_t length)
      : data_(data), size_(size), length_(length) {}
  uint8_t At(uint64_t at) const {
    return at < size_ ? data_[at] : FillerAt(static_cast<uint32_t>(at));
  }
  bool U16(uint64_t at, uint32_t* value) const {
    if (!Has(at, 2)) return false;
    *value = At(at) | uint32_t{At(at + 1)} << 8;
    return true;
  }
  bool U32(uint64_t at, uint32_t* value) const {
    if (!Has(at, 4)) return false;
    *value = At(at) | uint32_t{At(at + 1)} << 8 | uint32_t{At(at + 2)} << 16 |
             uint32_t{At(at + 3)} << 24;
    return true;
  }
  bool Has(uint64_t at, uint64_t size) const { return at + size <= length_; }
  uint64_t Size() const { return length_; }

 private:
  const uint8_t* data_;
  size_t size_;
  uint64_t length_;
};

struct ReadSection {
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t pointerToRawData;
};

struct Headers {
  uint32_t entryPoint = 0;
  uint32_t headersSize = 0;
  std::vector<ReadSection> sections;
};

bool ReadHeaders(const FileView& file, Headers* headers) {
  uint32_t h = 0;
  uint32_t signature = 0;
  uint32_t count = 0;
  if (!file.U16(60, &h) || !file.U32(h, &signature) || signature != 0x00004550) return false;
  if (!file.Has(h + 4, 20) || !file.U16(h + 6, &count)) return false;
  if (!file.Has(h + 24, 96)) return false;
  file.U32(h + 24 + 16, &headers->entryPoint);
  file.U32(h + 24 + 60, &headers->headersSize);
  if (count > kMaxSections) return false;
  const uint64_t table = uint64_t{h} + kSectionTableAt;
  // An empty table is an empty read, which cannot come up short.
  if (count > 0 && !file.Has(table, 40ull * count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    ReadSection section{};
    file.U32(table + 40 * i + 8, &section.virtualSize);
    file.U32(table + 40 * i + 12, &section.virtualAddress);
    file.U32(table + 40 * i + 20, &section.pointerToRawData);
    headers->sections.push_back(section);
  }
  return true;
}

uint32_t MapAddress(const Headers& headers, uint64_t length, uint32_t address) {
  uint32_t position = address;
  if (!headers.sections.empty()) {
    // Only the section's end is compared: the first section ending past the address wins,
    // else the last one.
    const ReadSection* chosen = &headers.sections.back();
    for (const ReadSection& section : headers.sections) {
      if (static_cast<uint32_t>(section.virtualAddress + section.virtualSize) > address) {
        chosen = &section;
        break;
      }
    }
    position = address - chosen->virtualAddress + chosen->pointerToRawData;
  }
  if (position >= length) position = address;
  if (position == 0) position = headers.headersSize;
  return position;
}

bool ProbeAt(const Headers& headers, uint64_t length, int32_t offset, uint32_t* position) {
  const uint32_t at =
      MapAddress(headers, length, headers.entryPoint + static_cast<uint32_t>(offset));
  // The seek takes a signed 32-bit position.
  if (at >= 0x80000000u || uint64_t{at} + kProbeLength > length) return false;
  *position = at;
  return true;
}

bool Locate(const FileView& view, int32_t first, int32_t second, uint32_t* p1, uint32_t* p2) {
  Headers headers;
  if (!ReadHeaders(view, &headers)) return false;
  uint32_t a = 0;
  uint32_t b = 0;
  if (!ProbeAt(headers, view.Size(), first, &a) || !ProbeAt(headers, view.Size(), second, &b)) {
    return false;
  }
  *p1 = a;
  *p2 = b;
  return true;
}

// Where a record's probes land once the program is padded to the record's size, when that
// padding would be accepted.
bool PlanPadding(const std::vector<uint8_t>& program, const SignatureRecord& record, uint32_t* p1,
                 uint32_t* p2) {
  const uint32_t kind = record.Kind();
  if (kind != SizeKindExact && kind != SizeKindNear && kind != SizeKindAny) return false;
  const size_t original = program.size();
  if (record.FileSize() < original) return false;
  const FileView padded(program.data(), original, record.FileSize());
  if (!Locate(padded, record.FirstOffset(), record.SecondOffset(), p1, p2)) return false;
  // Only the padding may change: the program's own bytes (and its headers, which decide where
  // the probes land) stay as they were.
  if (*p1 < original || *p2 < original) return false;
  return (*p1 > *p2 ? *p1 - *p2 : *p2 - *p1) >= kProbeLength;
}

}  // namespace

// --- Filler ---

uint8_t FillerAt(uint32_t position) {
  // A fixed-seed mix of the word index: any position can be computed alone, and a file cut
  // short or extended keeps the bytes it shares with the original.
  uint32_t x = (position >> 2) * 0x9E3779B9u + 0x7F4A7C15u;
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  x ^= x >> 16;
  return static_cast<uint8_t>(x >> (8 * (position & 3)));
}

void FillTo(std::vector<uint8_t>& bytes, size_t length) {
  bytes.reserve(length);
  while (bytes.size() < length) bytes.push_back(FillerAt(static_cast<uint32_t>(bytes.size())));
}

// --- PeBuilder ---

PeBuilder& PeBuilder::SetHeaderOffset(uint32_t offset) {
  headerOffset_ = offset;
  return *this;
}
PeBuilder& PeBuilder::SetSignature(uint32_t signature) {
  signature_ = signature;
  return *this;
}
PeBuilder& PeBuilder::SetSectionCount(uint16_t count) {
  sectionCount_ = count;
  sectionCountSet_ = true;
  return *this;
}
PeBuilder& PeBuilder::SetOptionalHeaderSize(uint16_t size) {
  optionalHeaderSize_ = size;
  return *this;
}
PeBuilder& PeBuilder::SetEntryPoint(uint32_t address) {
  entryPoint_ = address;
  return *this;
}
PeBuilder& PeBuilder::SetHeadersSize(uint32_t size) {
  headersSize_ = size;
  return *this;
}
PeBuilder& PeBuilder::SetLength(uint32_t length) {
  length_ = length;
  return *this;
}
PeBuilder& PeBuilder::AddSection(const Section& section) {
  sections_.push_back(section);
  return *this;
}
PeBuilder& PeBuilder::Put(uint32_t position, const uint8_t* data, size_t size) {
  writes_.push_back({position, std::vector<uint8_t>(data, data + size)});
  return *this;
}
PeBuilder& PeBuilder::Put(uint32_t position, const std::vector<uint8_t>& data) {
  writes_.push_back({position, data});
  return *this;
}

std::vector<uint8_t> PeBuilder::Bytes() const {
  std::vector<uint8_t> out;
  FillTo(out, length_);
  // Headers are zero-padded as a linker leaves them.
  std::fill(out.begin(), out.begin() + std::min<uint64_t>(headersSize_, length_), 0);

  // DOS header: a plausible real-mode header and the PE header's offset.
  const uint8_t mz[] = {'M', 'Z'};
  PutBytes(out, 0, mz, 2);
  PutU16(out, 2, 0x90);     // bytes on the last page
  PutU16(out, 4, 3);        // pages
  PutU16(out, 8, 4);        // header paragraphs
  PutU16(out, 12, 0xFFFF);  // maximum extra paragraphs
  PutU16(out, 16, 0xB8);    // initial SP
  PutU16(out, 24, 0x40);    // relocation table
  PutU32(out, 60, headerOffset_);

  const uint64_t h = headerOffset_;
  PutU32(out, h, signature_);

  // File header.
  const uint16_t count = sectionCountSet_ ? sectionCount_ : static_cast<uint16_t>(sections_.size());
  PutU16(out, h + 4, 0x14C);  // i386
  PutU16(out, h + 6, count);
  PutU32(out, h + 8, 0x3C6E2A10);  // time stamp, fixed so output is reproducible
  PutU16(out, h + 20, optionalHeaderSize_);
  PutU16(out, h + 22, 0x010F);  // executable, 32-bit, stripped

  // Optional header, written only as far as its declared size reaches.
  uint32_t codeSize = 0;
  uint64_t imageEnd = headersSize_;
  for (const Section& section : sections_) {
    codeSize += section.sizeOfRawData;
    imageEnd = std::max<uint64_t>(imageEnd, uint64_t{section.virtualAddress} + section.virtualSize);
  }
  std::vector<uint8_t> optional(std::max<size_t>(224, optionalHeaderSize_), 0);
  PutU16(optional, 0, 0x10B);  // PE32
  optional[2] = 6;             // linker version
  PutU32(optional, 4, codeSize);
  PutU32(optional, 16, entryPoint_);
  PutU32(optional, 20, sections_.empty() ? kSectionAddress : sections_.front().virtualAddress);
  PutU32(optional, 28, 0x400000);  // image base
  PutU32(optional, 32, 0x1000);    // section alignment
  PutU32(optional, 36, 0x200);     // file alignment
  PutU16(optional, 40, 4);         // operating system version
  PutU16(optional, 48, 4);         // subsystem version
  PutU32(optional, 56, RoundUp(imageEnd, 0x1000));
  PutU32(optional, 60, headersSize_);
  PutU16(optional, 68, 2);         // GUI subsystem
  PutU32(optional, 72, 0x100000);  // stack reserve
  PutU32(optional, 76, 0x1000);    // stack commit
  PutU32(optional, 80, 0x100000);  // heap reserve
  PutU32(optional, 84, 0x1000);    // heap commit
  PutU32(optional, 92, 16);        // data directories
  PutBytes(out, h + 24, optional.data(), optionalHeaderSize_);

  const uint64_t table = h + 24 + optionalHeaderSize_;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& section = sections_[i];
    const uint64_t at = table + 40 * i;
    std::vector<uint8_t> header(40, 0);
    std::memcpy(header.data(), section.name, 8);
    PutU32(header, 8, section.virtualSize);
    PutU32(header, 12, section.virtualAddress);
    PutU32(header, 16, section.sizeOfRawData);
    PutU32(header, 20, section.pointerToRawData);
    PutU32(header, 36, section.characteristics);
    PutBytes(out, at, header.data(), header.size());
  }

  for (const Write& write : writes_)
    PutBytes(out, write.position, write.data.data(), write.data.size());
  return out;
}

// --- Matches and near misses ---

std::vector<uint8_t> MatchingFile(const SignatureRecord& record, uint32_t length) {
  if (length == 0) length = record.FileSize();
  if (!ProbesApart(record)) return {};
  PeBuilder builder;
  if (!BuildMatch(ProbesOf(record), length, 1, &builder)) return {};
  return builder.Bytes();
}

std::vector<uint8_t> MatchingBoth(const SignatureRecord& a, const SignatureRecord& b) {
  if (a.FileSize() != b.FileSize()) return {};
  std::vector<Probe> probes = ProbesOf(a);
  const std::vector<Probe> more = ProbesOf(b);
  probes.insert(probes.end(), more.begin(), more.end());
  PeBuilder builder;
  if (ProbesApart(a) && ProbesApart(b) && BuildMatch(probes, a.FileSize(), 1, &builder)) {
    return builder.Bytes();
  }
  if (!BuildSpread(probes, a.FileSize(), &builder)) return {};
  return builder.Bytes();
}

std::vector<uint8_t> NearMissFile(const SignatureRecord& record, NearMiss kind) {
  const uint32_t size = record.FileSize();
  if (!ProbesApart(record)) return {};
  PeBuilder builder;
  std::vector<uint32_t> positions;

  switch (kind) {
    case NearMiss::LongerByOne:
    case NearMiss::ShorterByOne: {
      // The first length the size test turns away.
      uint32_t step = 0;
      if (record.Kind() == SizeKindExact) step = 1;
      if (record.Kind() == SizeKindNear) step = SizeTolerance;
      if (step == 0) return {};
      const int64_t length =
          int64_t{size} + (kind == NearMiss::LongerByOne ? int64_t{step} : -int64_t{step});
      if (length <= 0 || length > 0xFFFFFFFFll) return {};
      return MatchingFile(record, static_cast<uint32_t>(length));
    }
    case NearMiss::FirstPatternByte:
    case NearMiss::SecondPatternByte: {
      if (!BuildMatch(ProbesOf(record), size, 1, &builder, &positions)) return {};
      std::vector<uint8_t> file = builder.Bytes();
      // One byte in the middle of the pattern: neither end of the comparison is favoured.
      const uint32_t at = positions[kind == NearMiss::FirstPatternByte ? 0 : 1] + kProbeLength / 2;
      file[at] ^= 0xFF;
      return file;
    }
    case NearMiss::TwentyOneSections:
      if (!BuildMatch(ProbesOf(record), size, kMaxSections + 1, &builder)) return {};
      return builder.Bytes();
    case NearMiss::NoPeSignature:
      if (!BuildMatch(ProbesOf(record), size, 1, &builder)) return {};
      builder.SetSignature(0x01004550);  // "PE\0\1"
      return builder.Bytes();
    case NearMiss::ShortHeaders: {
      if (!BuildMatch(ProbesOf(record), size, 1, &builder, &positions)) return {};
      // The signature and file header fit, and the optional header is cut after its entry
      // point; the scanner reads the header offset as 16 bits, so it must stay below 64 KiB,
      // and the headers must stay clear of the probes.
      const uint32_t h = size - 60;  // BuildMatch has made sure the file is far longer than 60
      const uint32_t upperEnd = std::max(positions[0], positions[1]) + kProbeLength;
      if (h > 0xFFFF || h < upperEnd) return {};
      builder.SetHeaderOffset(h);
      return builder.Bytes();
    }
  }
  return {};
}

const char* NearMissName(NearMiss kind) {
  switch (kind) {
    case NearMiss::LongerByOne:
      return "longer";
    case NearMiss::ShorterByOne:
      return "shorter";
    case NearMiss::FirstPatternByte:
      return "first-byte";
    case NearMiss::SecondPatternByte:
      return "second-byte";
    case NearMiss::TwentyOneSections:
      return "21-sections";
    case NearMiss::NoPeSignature:
      return "no-pe";
    case NearMiss::ShortHeaders:
      return "short-headers";
  }
  return "?";
}

bool ParseNearMiss(const std::string& name, NearMiss* kind) {
  for (NearMiss candidate :
       {NearMiss::LongerByOne, NearMiss::ShorterByOne, NearMiss::FirstPatternByte,
        NearMiss::SecondPatternByte, NearMiss::TwentyOneSections, NearMiss::NoPeSignature,
        NearMiss::ShortHeaders}) {
    if (name == NearMissName(candidate)) {
      *kind = candidate;
      return true;
    }
  }
  return false;
}

// --- Where the scanner reads ---

bool ProbePositions(const std::vector<uint8_t>& file, int32_t first, int32_t second, uint32_t* p1,
                    uint32_t* p2) {
  return Locate(FileView(file.data(), file.size(), file.size()), first, second, p1, p2);
}

// --- Padding a working program ---

bool PadToMatch(std::vector<uint8_t>& program, const SignatureRecord& record) {
  uint32_t p1 = 0;
  uint32_t p2 = 0;
  if (!PlanPadding(program, record, &p1, &p2)) return false;
  FillTo(program, record.FileSize());
  std::copy(record.FirstPattern(), record.FirstPattern() + kProbeLength, program.begin() + p1);
  std::copy(record.SecondPattern(), record.SecondPattern() + kProbeLength, program.begin() + p2);
  return true;
}

int FindPaddableRecord(const std::vector<uint8_t>& program) {
  for (size_t i = 0; i < kSignatureCount && !SignatureTable[i].IsEnd(); ++i) {
    const SignatureRecord& record = SignatureTable[i];
    uint32_t p1 = 0;
    uint32_t p2 = 0;
    if (record.Kind() == SizeKindExact && PlanPadding(program, record, &p1, &p2)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace specimen
