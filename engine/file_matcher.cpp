#include "engine/file_matcher.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "cleanup/startup_cleanup.h"
#include "engine/disinfection.h"
#include "engine/scan_state.h"
#include "engine/signatures/signature_record.h"
#include "platform/files.h"

namespace {

constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptionalHeaderSize = 96;
constexpr size_t kSectionSize = 40;
constexpr uint16_t kMaxSections = 20;
constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr long kHeaderOffsetPosition = 60;
// Signature and file header (24 bytes) and a 224-byte PE32 optional header: the section table
// is always taken from here, whatever the file header says the optional header's size is.
constexpr long kSectionTablePosition = 248;

// Per-file work state, overwritten for every file.
struct PeHeaders {
  uint16_t headerOffset;
  uint8_t fileHeader[kFileHeaderSize];
  uint8_t optionalHeader[kOptionalHeaderSize];
  uint8_t sections[kMaxSections * kSectionSize];
} g_pe;

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint16_t NumberOfSections() { return ReadLe16(g_pe.fileHeader + 2); }
uint32_t EntryPoint() { return ReadLe32(g_pe.optionalHeader + 16); }
uint32_t SizeOfHeaders() { return ReadLe32(g_pe.optionalHeader + 60); }
uint32_t SectionVirtualSize(int i) { return ReadLe32(g_pe.sections + i * kSectionSize + 8); }
uint32_t SectionVirtualAddress(int i) { return ReadLe32(g_pe.sections + i * kSectionSize + 12); }
uint32_t SectionRawPointer(int i) { return ReadLe32(g_pe.sections + i * kSectionSize + 20); }

// Seeks to a position and reads exactly count bytes.
bool ReadAt(int fd, long position, void* buffer, unsigned count) {
  return plat::_lseek(fd, position, SEEK_SET) != -1 &&
         plat::_read(fd, buffer, count) == static_cast<int>(count);
}

}  // namespace

bool SizeTestPasses(const SignatureRecord& record, long fileLength) {
  const int64_t difference = static_cast<int64_t>(record.FileSize()) - fileLength;
  switch (record.Kind()) {
    case SizeKindExact: return difference == 0;
    case SizeKindNear: return difference > -static_cast<int64_t>(SizeTolerance) &&
                              difference < static_cast<int64_t>(SizeTolerance);
    case SizeKindAny: return true;
    default: return false;
  }
}

namespace {

// One probe: 20 bytes at the file offset of entry point + offset. Positions of 2^31 and above
// do not fit the run-time library's signed seek and fail.
bool ProbeMatches(int fd, int32_t offset, const uint8_t* pattern) {
  const uint32_t address = EntryPoint() + static_cast<uint32_t>(offset);
  const int32_t position = static_cast<int32_t>(RvaToFileOffset(address, fd));
  uint8_t bytes[kProbeLength];
  return ReadAt(fd, position, bytes, sizeof bytes) && std::memcmp(bytes, pattern, kProbeLength) == 0;
}

bool CountedInMemory(const char* path) {
  for (const std::string& image : g_scan.countedInMemory) {
    if (plat::_stricmp(image.c_str(), path) == 0) return true;
  }
  return false;
}

// Acts on a file whose process the memory sweep has just terminated, without matching it again.
void ApplyForcedAction(const char* familyName, const char* path) {
  g_scan.removalAction = g_scan.postKillAction;
  PostReportLine("System Memory    W32/Tarvix.Backdoor removed");
  plat::Sleep(1000);
  DisinfectFile(path, familyName);
}

}  // namespace

int ReadPeFileHeader(int fd) {
  std::memset(g_pe.fileHeader, 0, sizeof g_pe.fileHeader);
  g_pe.headerOffset = 0;
  uint8_t offset[2];
  if (!ReadAt(fd, kHeaderOffsetPosition, offset, sizeof offset)) return 0;
  g_pe.headerOffset = ReadLe16(offset);
  uint8_t signature[4];
  if (!ReadAt(fd, g_pe.headerOffset, signature, sizeof signature)) return 0;
  if (ReadLe32(signature) != kPeSignature) return 0;
  return ReadAt(fd, g_pe.headerOffset + 4L, g_pe.fileHeader, sizeof g_pe.fileHeader) ? 1 : 0;
}

int ReadPeSections(int fd) {
  if (!ReadAt(fd, g_pe.headerOffset + 24L, g_pe.optionalHeader, sizeof g_pe.optionalHeader)) return 0;
  const uint16_t count = NumberOfSections();
  if (count > kMaxSections) return 0;
  std::memset(g_pe.sections, 0, sizeof g_pe.sections);
  const unsigned bytes = count * static_cast<unsigned>(kSectionSize);
  return ReadAt(fd, g_pe.headerOffset + kSectionTablePosition, g_pe.sections, bytes) ? 1 : 0;
}

uint32_t RvaToFileOffset(uint32_t address, int fd) {
  const int count = NumberOfSections() <= kMaxSections ? NumberOfSections() : 0;
  // The first section that ends beyond the address; its start is not compared, so an address
  // below the first section maps through it. Past the last section, the last one is used.
  int chosen = -1;
  for (int i = 0; i < count; ++i) {
    if (SectionVirtualAddress(i) + SectionVirtualSize(i) > address) {
      chosen = i;
      break;
    }
  }
  if (chosen < 0 && count > 0) chosen = count - 1;
  uint32_t offset = address;
  if (chosen >= 0) offset = address - SectionVirtualAddress(chosen) + SectionRawPointer(chosen);
  if (static_cast<int64_t>(offset) >= plat::_filelength(fd)) offset = address;
  return offset == 0 ? SizeOfHeaders() : offset;
}

int CheckFile(const char* familyName, const char* path) {
  if (g_scan.postKillAction != 0 && g_scan.mainWindow != nullptr) {
    ApplyForcedAction(familyName, path);
    return 0;
  }
  if (g_scan.filesInfected == 0) std::memset(g_scan.removedValueName, 0, sizeof g_scan.removedValueName);

  int fd = plat::_open(path, _O_RDONLY | _O_BINARY);
  if (fd == -1) {
    // No access, locked, or not a plain file: the walk's file was not scanned, and says so. One
    // that has gone since it was listed is simply no longer there.
    if (!g_scan.memorySweepActive && errno != ENOENT) NoteNotScanned(path, "cannot be read");
    return 0;
  }
  std::memset(g_scan.currentFilePath, 0, sizeof g_scan.currentFilePath);
  CopyText(g_scan.currentFilePath, path);

  const long length = plat::_filelength(fd);
  if (length == -1 || !ReadPeFileHeader(fd) || !ReadPeSections(fd)) {
    plat::_close(fd);
    return 0;
  }

  int matched = 0;
  for (const SignatureRecord* record = SignatureTable; !record->IsEnd(); ++record) {
    if (!SizeTestPasses(*record, length)) continue;
    if (!ProbeMatches(fd, record->FirstOffset(), record->FirstPattern())) continue;
    if (!ProbeMatches(fd, record->SecondOffset(), record->SecondPattern())) continue;

    if (!CountedInMemory(path)) ++g_scan.filesInfected;
    if (g_scan.memorySweepActive) g_scan.countedInMemory.emplace_back(path);
    matched = 1;
    plat::_close(fd);
    fd = -1;
    CleanupAfterDetection(record->Name());
    CopyText(g_scan.detectionName, record->Name());
    CopyText(g_scan.statusText, path);
    if (g_scan.memorySweepActive) {
      // The memory sweep only notes the hit; it terminates the process and acts afterwards.
      g_scan.foundInMemory = true;
      return 1;
    }
    DisinfectFile(path, record->Name());
    break;
  }

  std::memset(g_scan.currentFilePath, 0, sizeof g_scan.currentFilePath);
  if (fd != -1) plat::_close(fd);
  return matched;
}
