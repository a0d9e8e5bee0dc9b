#include "engine/text_scanner.h"

#include <array>
#include <cstring>

#include "engine/disinfection.h"
#include "engine/scan_state.h"
#include "engine/signatures/signature_record.h"
#include "platform/files.h"

namespace {

constexpr size_t kChunk = 4096;
constexpr int32_t kSizeTolerance = 4096;
constexpr char kBegin[] = "begin";
enum : int16_t { WhereHead = 0, WhereTail = 1 };
enum : int16_t { ModeSearch = 1 };

// The work state of one file's scan: its head and tail with blanks removed, and the name of the
// record that matched. The work buffer has one byte more than a chunk so that the byte after a
// full chunk of data is always 0. About 12 KB: it lives on the stack of the scan.
struct TextScan {
  unsigned char head[kChunk];
  unsigned char tail[kChunk];
  unsigned char work[kChunk + 1];
  size_t headLength;
  size_t tailLength;
  char matchedName[32];  // a record's name: at most 24 characters and the terminator
};

// 1 for a byte kept, 0 for a blank (space, and tab through carriage return): every byte of a
// file's head and tail is looked at, and one load costs less than the comparisons.
constexpr std::array<unsigned char, 256> kKept = [] {
  std::array<unsigned char, 256> kept{};
  for (size_t c = 0; c < kept.size(); ++c) kept[c] = 1;
  kept[' '] = 0;
  for (size_t c = '\t'; c <= '\r'; ++c) kept[c] = 0;
  return kept;
}();

bool ReadAt(int fd, long position, int origin, void* buffer, unsigned count) {
  return plat::_lseek(fd, position, origin) != -1 &&
         plat::_read(fd, buffer, count) == static_cast<int>(count);
}

// The text as loaded from the file: its stripped head and tail, and the search length.
bool LoadText(int fd, long fileLength, TextScan* text, size_t* searchLength) {
  if (fileLength < static_cast<long>(kChunk)) {
    if (!ReadAt(fd, 0, SEEK_SET, text->work, static_cast<unsigned>(fileLength))) return false;
    text->headLength = StripWhitespace(text->work, text->head, static_cast<size_t>(fileLength));
    std::memcpy(text->tail, text->head, text->headLength);
    text->tailLength = text->headLength;
    *searchLength = static_cast<size_t>(fileLength);
    return true;
  }
  if (!ReadAt(fd, 0, SEEK_SET, text->work, kChunk)) return false;
  text->headLength = StripWhitespace(text->work, text->head, kChunk);
  std::memset(text->work, 0, sizeof text->work);
  if (!ReadAt(fd, -static_cast<long>(kChunk), SEEK_END, text->work, kChunk)) return false;
  text->tailLength = StripWhitespace(text->work, text->tail, kChunk);
  *searchLength = kChunk;
  return true;
}

bool SizeFits(const TextSignatureRecord& record, long fileLength) {
  switch (record.SizeKind()) {
    case TextSizeExact:
      return fileLength == record.Size();
    case TextSizeNear:
      return static_cast<int64_t>(fileLength) - kSizeTolerance <= record.Size() &&
             static_cast<int64_t>(fileLength) + kSizeTolerance >= record.Size();
    default:
      return true;
  }
}

bool RecordMatches(const TextSignatureRecord& record, size_t searchLength, TextScan* text) {
  const size_t length = record.Length();
  std::memset(text->work, 0, sizeof text->work);
  if (record.Mode() == ModeSearch) {
    if (record.Where() == WhereHead) std::memcpy(text->work, text->head, text->headLength);
    if (record.Where() == WhereTail) std::memcpy(text->work, text->tail, text->tailLength);
    return FindPattern(text->work, searchLength, record.Pattern(), length);
  }
  // A fixed-position window must lie wholly inside the stripped text, or it does not match.
  const int position = record.Position();
  if (position < 0) return false;
  const size_t at = static_cast<size_t>(position);
  if (record.Where() == WhereHead) {
    if (at + length > text->headLength) return false;
    std::memcpy(text->work, text->head + at, length);
  } else if (record.Where() == WhereTail) {
    if (at > text->tailLength || length > at) return false;
    std::memcpy(text->work, text->tail + (text->tailLength - at), length);
  }
  return std::memcmp(text->work, record.Pattern(), length) == 0;
}

// Whether the file's first five bytes are "begin", in any letter case.
bool StartsWithBegin(int fd) {
  if (plat::_filelength(fd) < 0) return false;
  char start[sizeof kBegin] = {};
  if (!ReadAt(fd, 0, SEEK_SET, start, sizeof kBegin - 1)) return false;
  return plat::_stricmp(start, kBegin) == 0;
}

// Whether a record matches the open file; fills text's matched name when one does.
bool MatchTextSignature(int fd, TextScan* text) {
  if (!StartsWithBegin(fd)) return false;
  const long fileLength = plat::_filelength(fd);
  size_t searchLength = 0;
  if (fileLength < 0 || !LoadText(fd, fileLength, text, &searchLength)) return false;

  for (const TextSignatureRecord& record : TextSignatureTable) {
    if (record.Length() == 0 || record.Length() > kTextPatternSize) continue;
    if (fileLength < static_cast<long>(record.Length())) continue;
    if (!SizeFits(record, fileLength)) continue;
    if (!RecordMatches(record, searchLength, text)) continue;
    ++g_scan.filesInfected;
    CopyText(text->matchedName, record.Name());
    return true;
  }
  return false;
}

}  // namespace

void RevealTextSignatures() {
  // The patterns are unmasked by XOR: a second pass would mask them again. Initialising the
  // local once, however often and from whichever thread this is called, keeps it to one.
  static const bool revealed = [] {
    for (TextSignatureRecord& record : TextSignatureTable) {
      const size_t length =
          record.Length() <= kTextPatternSize ? record.Length() : kTextPatternSize;
      for (size_t i = 0; i < length; ++i) record.Pattern()[i] ^= kTextPatternMask;
    }
    return true;
  }();
  static_cast<void>(revealed);
}

size_t StripWhitespace(const unsigned char* source, unsigned char* destination, size_t count) {
  unsigned char* out = destination;
  for (const unsigned char* end = source + count; source != end; ++source) {
    // Without a branch: every byte is written, and the next one after it when it is kept (the
    // output never passes the input, so the destination needs no more room than count).
    *out = *source;
    out += kKept[*source];
  }
  return static_cast<size_t>(out - destination);
}

bool FindPattern(const unsigned char* buffer, size_t length, const unsigned char* pattern,
                 size_t patternLength) {
  if (patternLength == 0 || patternLength > length) return false;
  const unsigned char* end = buffer + length;
  const unsigned char* at = buffer;
  while (at < end) {
    const void* found = std::memchr(at, pattern[0], static_cast<size_t>(end - at));
    if (found == nullptr) return false;
    const unsigned char* candidate = static_cast<const unsigned char*>(found);
    if (static_cast<size_t>(end - candidate) < patternLength) return false;
    if (std::memcmp(candidate, pattern, patternLength) == 0) return true;
    at = candidate + 1;
  }
  return false;
}

const unsigned char* RevealedTextPattern(size_t index) {
  RevealTextSignatures();
  return TextSignatureTable[index].Pattern();
}

bool ScanTextFile(const char* /*familyName*/, const char* path) {
  RevealTextSignatures();
  const int fd = plat::_open(path, _O_RDONLY | _O_BINARY);
  if (fd == -1) return false;
  TextScan text{};
  const bool matched = MatchTextSignature(fd, &text);
  if (matched) {
    CopyText(g_scan.detectionName, text.matchedName);
    CopyText(g_scan.statusText, path);
  }
  plat::_close(fd);
  if (!matched) return false;
  DisinfectFile(path, text.matchedName, FindingKind::kTextFile);
  return true;
}
