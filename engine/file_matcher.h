// The file matcher: the walker's one file callback. It accepts a file only as a PE image whose
// headers can be read, and compares it with the signature table record by record.
#pragma once

#include <cstddef>
#include <cstdint>

struct SignatureRecord;

// The parts of one file's PE headers the matcher reads: filled by ReadPeFileHeader and
// ReadPeSections, then handed to what maps addresses through them.
struct PeHeaders {
  static constexpr size_t kFileHeaderSize = 20;
  static constexpr size_t kOptionalHeaderSize = 96;  // its fields before the data directories
  static constexpr size_t kSectionSize = 40;
  static constexpr uint16_t kMaxSections = 20;

  uint16_t headerOffset = 0;
  uint8_t fileHeader[kFileHeaderSize] = {};
  uint8_t optionalHeader[kOptionalHeaderSize] = {};
  uint8_t sections[kMaxSections * kSectionSize] = {};
};

// Checks one file against the signature table and acts on a match. Returns true when a record
// matched. While postKillAction is set (and a main window exists) it matches nothing and applies
// that action to the file at once.
bool CheckFile(const char* familyName, const char* path);

// Reads the PE signature and the file header of an open file into pe.
bool ReadPeFileHeader(int fd, PeHeaders* pe);

// Reads the optional header and the section table (at most 20 sections) into pe; call after
// ReadPeFileHeader.
bool ReadPeSections(int fd, PeHeaders* pe);

// Maps an image-relative address to a file offset of the open file through pe's section table.
uint32_t RvaToFileOffset(const PeHeaders& pe, uint32_t address, int fd);

// The record's size test against a file length: kind 1 exact, kind 2 within 4095 bytes either
// way, kind 3 none; any other kind never passes.
bool SizeTestPasses(const SignatureRecord& record, long fileLength);
