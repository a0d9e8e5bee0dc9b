// The text-signature scanner over any file: the input is the whole file, scanned with the
// report-only action. Its verdict is checked against a plain reading of what it looks for (a
// file starting with "begin" whose head, blanks removed, holds the pattern), and the two
// helpers are checked against straightforward versions on slices of the input.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/scan_state.h"
#include "engine/signatures/signature_record.h"
#include "engine/text_scanner.h"
#include "engine/texts.h"
#include "fuzz/fuzz_support.h"
#include "tests/double/sim_machine.h"

namespace {

constexpr char kPath[] = "C:\\t.txt";
constexpr size_t kChunk = 4096;

bool IsBlank(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

std::string Stripped(const uint8_t* data, size_t size) {
  std::string out(size, '\0');
  size_t kept = 0;
  for (size_t i = 0; i < size; ++i) {
    if (!IsBlank(data[i])) out[kept++] = static_cast<char>(data[i]);
  }
  out.resize(kept);
  return out;
}

bool Contains(const std::string& text, const unsigned char* pattern, size_t length) {
  const char* p = reinterpret_cast<const char*>(pattern);
  return length > 0 && std::search(text.begin(), text.end(), p, p + length) != text.end();
}

// The file's head and tail windows with the blanks removed, made once for all the records.
struct StrippedWindows {
  StrippedWindows(const uint8_t* data, size_t size) {
    const size_t window = size < kChunk ? size : kChunk;
    head = Stripped(data, window);
    tail = Stripped(data + size - window, window);
  }
  std::string head;
  std::string tail;
};

// Whether a record that searches the head or the tail matches; -1 when the record is of
// another kind, which this reading does not cover.
int ExpectedSearchMatch(const TextSignatureRecord& record, size_t size,
                        const StrippedWindows& windows) {
  if (record.Mode() != 1) return -1;
  const size_t length = record.Length();
  if (length == 0 || length > kTextPatternSize || size < length) return 0;
  const int64_t fileLength = static_cast<int64_t>(size);
  if (record.SizeKind() == 16 && fileLength != record.Size()) return 0;
  if (record.SizeKind() == 17 &&
      (fileLength - 4096 > record.Size() || fileLength + 4096 < record.Size())) {
    return 0;
  }
  const std::string none;
  const std::string& text = record.Where() == 0   ? windows.head
                            : record.Where() == 1 ? windows.tail
                                                  : none;
  return Contains(text, record.Pattern(), length) ? 1 : 0;
}

bool StartsWithBegin(const uint8_t* data, size_t size) {
  if (size < 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    if (std::tolower(data[i]) != "begin"[i]) return false;
  }
  return true;
}

// StripWhitespace into an exact-size buffer, and FindPattern with the pattern and the buffer
// taken from the input, each compared with a plain version.
void CheckHelpers(const uint8_t* data, size_t size) {
  std::unique_ptr<unsigned char[]> stripped(new unsigned char[size + 1]);
  const size_t kept = StripWhitespace(data, stripped.get(), size);
  const std::string expected = Stripped(data, size);
  if (kept != expected.size() || std::memcmp(stripped.get(), expected.data(), kept) != 0) {
    fuzz::Violation("StripWhitespace kept %zu bytes, expected %zu", kept, expected.size());
  }
  if (size == 0) return;
  const size_t patternLength = data[0] % 8;
  if (1 + patternLength > size) return;
  const std::string_view pattern(reinterpret_cast<const char*>(data + 1), patternLength);
  const std::string_view haystack(reinterpret_cast<const char*>(data + 1 + patternLength),
                                  size - 1 - patternLength);
  // Heap copies of exactly their length, so a read past either shows.
  std::unique_ptr<unsigned char[]> p(new unsigned char[patternLength]);
  std::unique_ptr<unsigned char[]> h(new unsigned char[haystack.size()]);
  std::memcpy(p.get(), pattern.data(), patternLength);
  std::memcpy(h.get(), haystack.data(), haystack.size());
  const int found = FindPattern(h.get(), haystack.size(), p.get(), patternLength);
  const bool present = patternLength > 0 && haystack.find(pattern) != std::string_view::npos;
  if (found != (present ? 1 : 0)) {
    fuzz::Violation("FindPattern says %d for \"%s\" in \"%s\"", found,
                    fuzz::Printable(std::string(pattern)).c_str(),
                    fuzz::Printable(std::string(haystack)).c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::MachineForInput machineForInput;
  RevealedTextPattern(0);  // the reading below compares with the plain patterns
  CheckHelpers(data, size);

  const size_t handlesBefore = fuzz::PrepareReportOnlyCheck(kPath, data, size);
  sim::MainWindow window;
  const int matched = ScanTextFile(kFamilyName, kPath);

  int expected = 0;
  bool covered = true;
  if (StartsWithBegin(data, size)) {
    const StrippedWindows windows(data, size);
    for (const TextSignatureRecord& record : TextSignatureTable) {
      const int verdict = ExpectedSearchMatch(record, size, windows);
      if (verdict < 0) covered = false;
      if (verdict > 0) {
        expected = 1;
        break;
      }
    }
  }
  if (covered && matched != expected) {
    fuzz::Violation("ScanTextFile says %d, the plain reading %d", matched, expected);
  }
  if (matched != g_scan.filesInfected || window.list.size() != static_cast<size_t>(matched)) {
    fuzz::Violation("match %d counted %d times, %zu lines", matched, g_scan.filesInfected,
                    window.list.size());
  }
  if (!fuzz::FileHolds(kPath, data, size)) {
    fuzz::Violation("report-only changed the file");
  }
  if (sim::machine().OpenHandles() != handlesBefore) fuzz::Violation("a handle was left open");
  return 0;
}
