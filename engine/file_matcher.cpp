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

constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr long kHeaderOffsetPosition = 60;
// Positions from the start of the PE headers: the optional header follows the 4-byte signature
// and the 20-byte file header.
constexpr long kFileHeaderPosition = 4;
constexpr long kOptionalHeaderPosition = 24;
// Signature and file header (24 bytes) and a 224-byte PE32 optional header: the section table
// is always taken from here, whatever the file header says the optional header's size is.
constexpr long kSectionTablePosition = 248;

// Field positions inside the file header, the optional header and one section header.
constexpr size_t kNumberOfSections = 2;
constexpr size_t kAddressOfEntryPoint = 16;
constexpr size_t kSizeOfHeaders = 60;
constexpr size_t kSectionVirtualSize = 8;
constexpr size_t kSectionVirtualAddress = 12;
constexpr size_t kSectionPointerToRawData = 20;

// The pause after the memory sweep's report line, before the file itself is acted on.
constexpr DWORD kPauseAfterMemoryLineMs = 1000;

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint16_t NumberOfSections(const PeHeaders& pe) {
  return ReadLe16(pe.fileHeader + kNumberOfSections);
}
uint32_t EntryPoint(const PeHeaders& pe) {
  return ReadLe32(pe.optionalHeader + kAddressOfEntryPoint);
}
uint32_t SizeOfHeaders(const PeHeaders& pe) { return ReadLe32(pe.optionalHeader + kSizeOfHeaders); }
uint32_t SectionField(const PeHeaders& pe, int i, size_t field) {
  return ReadLe32(pe.sections + i * PeHeaders::kSectionSize + field);
}

// Seeks to a position and reads exactly count bytes.
bool ReadAt(int fd, long position, void* buffer, unsigned count) {
  return plat::_lseek(fd, position, SEEK_SET) != -1 &&
         plat::_read(fd, buffer, count) == static_cast<int>(count);
}

}  // namespace

bool SizeTestPasses(const SignatureRecord& record, long fileLength) {
  const int64_t difference = static_cast<int64_t>(record.FileSize()) - fileLength;
  switch (record.Kind()) {
    case SizeKindExact:
      return difference == 0;
    case SizeKindNear:
      return difference > -static_cast<int64_t>(SizeTolerance) &&
             difference < static_cast<int64_t>(SizeTolerance);
    case SizeKindAny:
      return true;
    default:
      return false;
  }
}

namespace {

// One probe: 20 bytes at the file offset of entry point + offset. Positions of 2^31 and above
// do not fit the run-time library's signed seek and fail.
bool ProbeMatches(const PeHeaders& pe, int fd, int32_t offset, const uint8_t* pattern) {
  const uint32_t address = EntryPoint(pe) + static_cast<uint32_t>(offset);
  const int32_t position = static_cast<int32_t>(RvaToFileOffset(pe, address, fd));
  uint8_t bytes[kProbeLength];
  return ReadAt(fd, position, bytes, sizeof bytes) &&
         std::memcmp(bytes, pattern, kProbeLength) == 0;
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
  plat::Sleep(kPauseAfterMemoryLineMs);
  DisinfectFile(path, familyName);
}

}  // namespace

bool ReadPeFileHeader(int fd, PeHeaders* pe) {
  std::memset(pe->fileHeader, 0, sizeof pe->fileHeader);
  pe->headerOffset = 0;
  uint8_t offset[2];
  if (!ReadAt(fd, kHeaderOffsetPosition, offset, sizeof offset)) return false;
  pe->headerOffset = ReadLe16(offset);
  uint8_t signature[4];
  if (!ReadAt(fd, pe->headerOffset, signature, sizeof signature)) return false;
  if (ReadLe32(signature) != kPeSignature) return false;
  return ReadAt(fd, pe->headerOffset + kFileHeaderPosition, pe->fileHeader, sizeof pe->fileHeader);
}

bool ReadPeSections(int fd, PeHeaders* pe) {
  if (!ReadAt(fd, pe->headerOffset + kOptionalHeaderPosition, pe->optionalHeader,
              sizeof pe->optionalHeader)) {
    return false;
  }
  const uint16_t count = NumberOfSections(*pe);
  if (count > PeHeaders::kMaxSections) return false;
  std::memset(pe->sections, 0, sizeof pe->sections);
  const unsigned bytes = count * static_cast<unsigned>(PeHeaders::kSectionSize);
  return ReadAt(fd, pe->headerOffset + kSectionTablePosition, pe->sections, bytes);
}

uint32_t RvaToFileOffset(const PeHeaders& pe, uint32_t address, int fd) {
  const int count = NumberOfSections(pe) <= PeHeaders::kMaxSections ? NumberOfSections(pe) : 0;
  // The first section that ends beyond the address; its start is not compared, so an address
  // below the first section maps through it. Past the last section, the last one is used.
  int chosen = -1;
  for (int i = 0; i < count; ++i) {
    if (SectionField(pe, i, kSectionVirtualAddress) + SectionField(pe, i, kSectionVirtualSize) >
        address) {
      chosen = i;
      break;
    }
  }
  if (chosen < 0 && count > 0) chosen = count - 1;
  uint32_t offset = address;
  if (chosen >= 0) {
    offset = address - SectionField(pe, chosen, kSectionVirtualAddress) +
             SectionField(pe, chosen, kSectionPointerToRawData);
  }
  if (static_cast<int64_t>(offset) >= plat::_filelength(fd)) offset = address;
  return offset == 0 ? SizeOfHeaders(pe) : offset;
}

bool CheckFile(const char* familyName, const char* path) {
  if (g_scan.postKillAction != 0 && g_scan.mainWindow != nullptr) {
    ApplyForcedAction(familyName, path);
    return false;
  }
  if (g_scan.filesInfected == 0)
    std::memset(g_scan.removedValueName, 0, sizeof g_scan.removedValueName);

  int fd = plat::_open(path, _O_RDONLY | _O_BINARY);
  if (fd == -1) {
    // No access, locked, or not a plain file: the walk's file was not scanned, and says so. One
    // that has gone since it was listed is simply no longer there.
    if (!g_scan.memorySweepActive && errno != ENOENT) NoteNotScanned(path, "cannot be read");
    return false;
  }
  std::memset(g_scan.currentFilePath, 0, sizeof g_scan.currentFilePath);
  CopyText(g_scan.currentFilePath, path);

  const long length = plat::_filelength(fd);
  PeHeaders pe;
  if (length == -1 || !ReadPeFileHeader(fd, &pe) || !ReadPeSections(fd, &pe)) {
    plat::_close(fd);
    return false;
  }

  bool matched = false;
  for (const SignatureRecord* record = SignatureTable; !record->IsEnd(); ++record) {
    if (!SizeTestPasses(*record, length)) continue;
    if (!ProbeMatches(pe, fd, record->FirstOffset(), record->FirstPattern())) continue;
    if (!ProbeMatches(pe, fd, record->SecondOffset(), record->SecondPattern())) continue;

    if (!CountedInMemory(path)) ++g_scan.filesInfected;
    if (g_scan.memorySweepActive) g_scan.countedInMemory.emplace_back(path);
    matched = true;
    plat::_close(fd);
    fd = -1;
    CleanupAfterDetection(record->Name());
    CopyText(g_scan.detectionName, record->Name());
    CopyText(g_scan.statusText, path);
    if (g_scan.memorySweepActive) {
      // The memory sweep only notes the hit; it terminates the process and acts afterwards.
      g_scan.foundInMemory = true;
      return true;
    }
    DisinfectFile(path, record->Name());
    break;
  }

  std::memset(g_scan.currentFilePath, 0, sizeof g_scan.currentFilePath);
  if (fd != -1) plat::_close(fd);
  return matched;
}
