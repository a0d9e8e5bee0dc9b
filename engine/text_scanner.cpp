#include "engine/text_scanner.h"

#include <cstring>

#include "engine/disinfection.h"
#include "engine/scan_state.h"
#include "engine/signatures/signature_record.h"
#include "platform/files.h"

namespace {

constexpr size_t kChunk = 4096;
constexpr int32_t kSizeTolerance = 4096;
enum : int16_t { WhereHead = 0, WhereTail = 1 };
enum : int16_t { ModeSearch = 1 };
enum : int16_t { SizeKindExact = 16, SizeKindNear = 17 };

// Work buffers, owned by the scanner. The work buffer has one byte more than a chunk so that
// the byte after a full chunk of data is always 0.
unsigned char g_head[kChunk];
unsigned char g_tail[kChunk];
unsigned char g_work[kChunk + 1];
size_t g_headLength = 0;
size_t g_tailLength = 0;
char g_matchedName[32];
bool g_revealed = false;

bool IsBlank(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

bool ReadAt(int fd, long position, int origin, void* buffer, unsigned count) {
  return plat::_lseek(fd, position, origin) != -1 &&
         plat::_read(fd, buffer, count) == static_cast<int>(count);
}

// The text as loaded from the file: its stripped head and tail, and the search length.
bool LoadText(int fd, long fileLength, size_t* searchLength) {
  if (fileLength < static_cast<long>(kChunk)) {
    if (!ReadAt(fd, 0, SEEK_SET, g_work, static_cast<unsigned>(fileLength))) return false;
    g_headLength = StripWhitespace(g_work, g_head, static_cast<size_t>(fileLength));
    std::memcpy(g_tail, g_head, g_headLength);
    g_tailLength = g_headLength;
    *searchLength = static_cast<size_t>(fileLength);
    return true;
  }
  if (!ReadAt(fd, 0, SEEK_SET, g_work, kChunk)) return false;
  g_headLength = StripWhitespace(g_work, g_head, kChunk);
  std::memset(g_work, 0, sizeof g_work);
  if (!ReadAt(fd, -static_cast<long>(kChunk), SEEK_END, g_work, kChunk)) return false;
  g_tailLength = StripWhitespace(g_work, g_tail, kChunk);
  *searchLength = kChunk;
  return true;
}

bool SizeFits(const TextSignatureRecord& record, long fileLength) {
  switch (record.SizeKind()) {
    case SizeKindExact: return fileLength == record.Size();
    case SizeKindNear:
      return static_cast<int64_t>(fileLength) - kSizeTolerance <= record.Size() &&
             static_cast<int64_t>(fileLength) + kSizeTolerance >= record.Size();
    default: return true;
  }
}

bool RecordMatches(const TextSignatureRecord& record, size_t searchLength) {
  const size_t length = record.Length();
  std::memset(g_work, 0, sizeof g_work);
  if (record.Mode() == ModeSearch) {
    if (record.Where() == WhereHead) std::memcpy(g_work, g_head, g_headLength);
    if (record.Where() == WhereTail) std::memcpy(g_work, g_tail, g_tailLength);
    return FindPattern(g_work, searchLength, record.Pattern(), length) != 0;
  }
  // A fixed-position window must lie wholly inside the stripped text, or it does not match.
  const int position = record.Position();
  if (position < 0) return false;
  const size_t at = static_cast<size_t>(position);
  if (record.Where() == WhereHead) {
    if (at + length > g_headLength) return false;
    std::memcpy(g_work, g_head + at, length);
  } else if (record.Where() == WhereTail) {
    if (at > g_tailLength || length > at) return false;
    std::memcpy(g_work, g_tail + (g_tailLength - at), length);
  }
  return std::memcmp(g_work, record.Pattern(), length) == 0;
}

}  // namespace

void RevealTextSignatures() {
  for (TextSignatureRecord& record : TextSignatureTable) {
    const size_t length = record.Length() <= kTextPatternSize ? record.Length() : kTextPatternSize;
    for (size_t i = 0; i < length; ++i) record.Pattern()[i] ^= kTextPatternMask;
  }
}

const char* MatchedTextSignatureName() { return g_matchedName; }

size_t StripWhitespace(const unsigned char* source, unsigned char* destination, size_t count) {
  size_t written = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!IsBlank(source[i])) destination[written++] = source[i];
  }
  return written;
}

int FindPattern(const unsigned char* buffer, size_t length, const unsigned char* pattern,
                size_t patternLength) {
  if (patternLength == 0 || patternLength > length) return 0;
  const unsigned char* end = buffer + length;
  const unsigned char* at = buffer;
  while (at < end) {
    const void* found = std::memchr(at, pattern[0], static_cast<size_t>(end - at));
    if (found == nullptr) return 0;
    const unsigned char* candidate = static_cast<const unsigned char*>(found);
    if (static_cast<size_t>(end - candidate) < patternLength) return 0;
    if (std::memcmp(candidate, pattern, patternLength) == 0) return 1;
    at = candidate + 1;
  }
  return 0;
}

int StartsWithBegin(int fd) {
  if (plat::_filelength(fd) < 0) return 0;
  char start[6] = {};
  if (!ReadAt(fd, 0, SEEK_SET, start, 5)) return 0;
  return plat::_stricmp(start, "begin") == 0 ? 1 : 0;
}

int MatchTextSignature(int fd) {
  std::memset(g_work, 0, sizeof g_work);
  if (!StartsWithBegin(fd)) return 0;
  const long fileLength = plat::_filelength(fd);
  size_t searchLength = 0;
  if (fileLength < 0 || !LoadText(fd, fileLength, &searchLength)) return 0;

  for (const TextSignatureRecord& record : TextSignatureTable) {
    if (record.Length() == 0 || record.Length() > kTextPatternSize) continue;
    if (fileLength < static_cast<long>(record.Length())) continue;
    if (!SizeFits(record, fileLength)) continue;
    if (!RecordMatches(record, searchLength)) continue;
    ++g_scan.filesInfected;
    CopyText(g_matchedName, record.Name());
    return 1;
  }
  return 0;
}

const unsigned char* RevealedTextPattern(size_t index) {
  if (!g_revealed) {
    RevealTextSignatures();
    g_revealed = true;
  }
  return TextSignatureTable[index].Pattern();
}

int ScanTextFile(const char* /*familyName*/, const char* path) {
  RevealedTextPattern(0);
  const int fd = plat::_open(path, _O_RDONLY | _O_BINARY);
  if (fd == -1) return 0;
  const int matched = MatchTextSignature(fd);
  if (matched) {
    CopyText(g_scan.detectionName, g_matchedName);
    CopyText(g_scan.statusText, path);
  }
  plat::_close(fd);
  if (!matched) return 0;
  DisinfectFile(path, g_matchedName, FindingKind::kTextFile);
  return 1;
}
