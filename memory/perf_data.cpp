#include "memory/perf_data.h"

#include <cstdio>
#include <cstring>

#include "memory/buffers.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/scoped_handle.h"

namespace {

constexpr char kPerflibKey[] = "software\\microsoft\\windows nt\\currentversion\\perflib";
constexpr unsigned kEnglishLanguage = 9;
constexpr DWORD kPerfDataStart = 51200;
constexpr DWORD kPerfDataStep = 25600;
// Windows leaves the size variable as it was when the block does not fit, so the buffer grows by
// steps. A registry that keeps answering "more data" is given up at 32 MB rather than be allowed
// to loop for ever or eat all memory; a few hundred processes take tens of kilobytes.
constexpr DWORD kPerfDataLimit = 32u * 1024 * 1024;
// The counter names are a few hundred kilobytes; anything past this is not a real list.
constexpr DWORD kCountersLimit = 32u * 1024 * 1024;

// Field positions in the block's structures, in bytes from each structure's start.
constexpr size_t kBlockHeaderLength = 24;      // data block: where the first object begins
constexpr size_t kObjectDefinitionLength = 4;  // object: where its first instance begins
constexpr size_t kObjectHeaderLength = 8;      // object: where its first counter definition begins
constexpr size_t kObjectCounterCount = 32;
constexpr size_t kObjectInstanceCount = 40;  // signed
constexpr size_t kCounterTitleIndex = 4;     // counter definition
constexpr size_t kCounterOffset = 36;        // counter definition: its value in a counter block
constexpr size_t kInstanceNameOffset = 16;   // instance: its UTF-16 name
// The idle process's id 0 becomes one no process has, so that it is never opened.
constexpr DWORD kIdleProcessId = 0xFFFFFFFEu;

bool Fits(size_t size, size_t position, size_t length) {
  return length <= size && position <= size - length;
}

bool ReadDword(const uint8_t* block, size_t size, size_t position, DWORD* value) {
  if (!Fits(size, position, 4)) return false;
  std::memcpy(value, block + position, 4);
  return true;
}

// position + offset, when that still lies inside the block.
bool Advance(size_t size, size_t position, DWORD offset, size_t* result) {
  if (position > size || offset > size - position) return false;
  *result = position + offset;
  return true;
}

constexpr size_t kObjectFieldsSize = 44;         // up to and including the instance count
constexpr size_t kCounterDefinitionStride = 40;  // the definitions' own length is not trusted
constexpr size_t kInstanceFieldsSize = 20;       // up to and including the name offset
constexpr size_t kWideNameLimit = 260;           // what converts into a buffer of 260

// The instance's UTF-16 name, copied and terminated; false when it is not terminated inside
// the block. A name longer than kWideNameLimit is cut there, so its conversion fails as it
// would for the whole name.
bool CopyWideName(const uint8_t* block, size_t size, size_t position, WCHAR* name) {
  size_t count = 0;
  for (; count < kWideNameLimit; ++count) {
    WCHAR unit;
    if (!Fits(size, position, sizeof unit)) return false;
    std::memcpy(&unit, block + position, sizeof unit);
    position += sizeof unit;
    if (unit == 0) break;
    name[count] = unit;
  }
  name[count] = 0;
  return true;
}

// The counter offset of the definition whose title index is counterIndex.
bool FindCounterOffset(const uint8_t* block, size_t size, size_t firstDefinition, DWORD counters,
                       DWORD counterIndex, DWORD* offset) {
  size_t position = firstDefinition;
  for (DWORD i = 0; i < counters; ++i) {
    if (!Fits(size, position, kCounterDefinitionStride)) return false;
    DWORD titleIndex = 0;
    ReadDword(block, size, position + kCounterTitleIndex, &titleIndex);
    if (titleIndex == counterIndex) {
      return ReadDword(block, size, position + kCounterOffset, offset);
    }
    position += kCounterDefinitionStride;
  }
  return false;
}

// The perflib "Counters" value: pairs of decimal index and English name.
struct CounterIndexes {
  bool objectFound = false;
  char objectIndex[16] = {};  // the performance query's value name
  DWORD idProcessCounter = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The digits that end two bytes before position: the index string just before a name.
// Empty when that byte is not a digit.
void PrecedingIndex(const char* text, size_t position, char* digits, size_t capacity) {
  digits[0] = '\0';
  if (position < 2 || !IsDigit(text[position - 2])) return;
  const size_t end = position - 1;
  size_t start = position - 2;
  while (start > 0 && IsDigit(text[start - 1])) --start;
  CopyBounded(digits, capacity, text + start, end - start);
}

DWORD DecimalValue(const char* digits) {
  DWORD value = 0;
  for (; IsDigit(*digits); ++digits) value = value * 10 + static_cast<DWORD>(*digits - '0');
  return value;
}

// text holds size bytes and one zero byte more, so every string in it is terminated.
void ScanCounterNames(const char* text, size_t size, CounterIndexes* indexes) {
  size_t position = 0;
  while (position < size && text[position] != '\0') {
    const char* name = text + position;
    if (plat::_stricmp(name, "process") == 0) {
      indexes->objectFound = true;
      PrecedingIndex(text, position, indexes->objectIndex, sizeof indexes->objectIndex);
    } else if (plat::_stricmp(name, "id process") == 0) {
      char digits[16];
      PrecedingIndex(text, position, digits, sizeof digits);
      indexes->idProcessCounter = DecimalValue(digits);
    }
    position += std::strlen(name) + 1;
  }
}

// Reads the counter names from the open perflib key; false when they cannot be had.
bool ReadCounterIndexes(HKEY perflib, CounterIndexes* indexes) {
  DWORD size = 0;
  if (plat::RegQueryValueExA(perflib, "Counters", nullptr, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size > kCountersLimit) {
    return false;
  }
  Allocation<char> text(static_cast<size_t>(size) + 1);
  if (text.get() == nullptr) return false;
  DWORD read = size;
  if (plat::RegQueryValueExA(perflib, "Counters", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(text.get()), &read) != ERROR_SUCCESS) {
    return false;
  }
  ScanCounterNames(text.get(), read < size ? read : size, indexes);
  return true;
}

// Queries the process object and reads its instances into the table; 0 when nothing came.
size_t ReadProcessTable(const char* valueName, DWORD idProcessCounter, PerfProcessEntry* table) {
  DWORD capacity = kPerfDataStart;
  Allocation<uint8_t> data(capacity);
  if (data.get() == nullptr) return 0;
  DWORD returned = capacity;
  LONG result = plat::RegQueryValueExA(HKEY_PERFORMANCE_DATA, valueName, nullptr, nullptr,
                                       data.get(), &returned);
  while (result == ERROR_MORE_DATA) {
    // Never shrink, even if the size were set lower: growth must reach the limit to end.
    const DWORD base = returned > capacity ? returned : capacity;
    if (base > kPerfDataLimit - kPerfDataStep) return 0;
    capacity = base + kPerfDataStep;
    if (!data.Renew(capacity)) return 0;
    returned = capacity;
    result = plat::RegQueryValueExA(HKEY_PERFORMANCE_DATA, valueName, nullptr, nullptr, data.get(),
                                    &returned);
  }
  if (result != ERROR_SUCCESS || returned == 0 || returned > capacity) return 0;
  static const uint8_t kSignature[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
  if (returned < sizeof kSignature || std::memcmp(data.get(), kSignature, sizeof kSignature) != 0) {
    return 0;
  }
  return ParsePerfProcessBlock(data.get(), returned, idProcessCounter, table,
                               kPerfProcessTableSize);
}

}  // namespace

size_t ParsePerfProcessBlock(const uint8_t* block, size_t size, DWORD idProcessCounter,
                             PerfProcessEntry* table, size_t capacity) {
  if (block == nullptr || table == nullptr || capacity == 0) return 0;
  DWORD headerLength = 0;
  if (!ReadDword(block, size, kBlockHeaderLength, &headerLength)) return 0;
  const size_t object = headerLength;
  if (!Fits(size, object, kObjectFieldsSize)) return 0;
  DWORD definitionLength = 0;
  DWORD objectHeaderLength = 0;
  DWORD counters = 0;
  DWORD instances = 0;
  ReadDword(block, size, object + kObjectDefinitionLength, &definitionLength);
  ReadDword(block, size, object + kObjectHeaderLength, &objectHeaderLength);
  ReadDword(block, size, object + kObjectCounterCount, &counters);
  ReadDword(block, size, object + kObjectInstanceCount, &instances);

  size_t firstDefinition = 0;
  size_t instance = 0;
  DWORD counterOffset = 0;
  if (!Advance(size, object, objectHeaderLength, &firstDefinition) ||
      !Advance(size, object, definitionLength, &instance) ||
      !FindCounterOffset(block, size, firstDefinition, counters, idProcessCounter,
                         &counterOffset)) {
    return 0;
  }

  // The count is a signed field: compared unsigned, a negative one reads as the limit.
  size_t limit = instances > kPerfProcessLimit ? kPerfProcessLimit : instances;
  if (limit > capacity - 1) limit = capacity - 1;

  size_t filled = 0;
  for (; filled < limit; ++filled) {
    // Each instance is read whole before its entry is written, so a block cut anywhere
    // leaves only complete entries behind.
    DWORD instanceLength = 0;
    DWORD nameOffset = 0;
    if (!Fits(size, instance, kInstanceFieldsSize)) break;
    ReadDword(block, size, instance, &instanceLength);
    ReadDword(block, size, instance + kInstanceNameOffset, &nameOffset);
    size_t counterBlock = 0;
    size_t name = 0;
    if (instanceLength < kInstanceFieldsSize ||
        !Advance(size, instance, instanceLength, &counterBlock) ||
        !Advance(size, instance, nameOffset, &name)) {
      break;
    }
    WCHAR wideName[kWideNameLimit + 1];
    if (!CopyWideName(block, size, name, wideName)) break;

    // The counter block's length is at least its own field, so each step moves forward.
    DWORD counterBlockLength = 0;
    DWORD processId = 0;
    size_t next = 0;
    if (!ReadDword(block, size, counterBlock, &counterBlockLength) || counterBlockLength < 4 ||
        !Advance(size, counterBlock, counterBlockLength, &next) ||
        counterOffset > counterBlockLength - 4 ||
        !ReadDword(block, size, counterBlock + counterOffset, &processId)) {
      break;
    }

    PerfProcessEntry& entry = table[filled];
    std::memset(&entry, 0, sizeof entry);
    char narrow[kWideNameLimit];
    if (plat::WideCharToMultiByte(CP_ACP, 0, wideName, -1, narrow, sizeof narrow, nullptr,
                                  nullptr) == 0) {
      std::strcpy(entry.name, "unknown");
    } else {
      narrow[sizeof narrow - 1] = '\0';
      // A longer name is left empty, so that it matches no base name at all.
      if (std::strlen(narrow) < sizeof entry.name) std::strcpy(entry.name, narrow);
    }
    entry.processId = processId == 0 ? kIdleProcessId : processId;
    instance = next;
  }
  return filled;
}

size_t ReadPerfProcessTable(PerfProcessEntry* table) {
  char keyPath[128];
  std::snprintf(keyPath, sizeof keyPath, "%s\\%03x", kPerflibKey, kEnglishLanguage);
  size_t filled = 0;
  {
    plat::ScopedKey perflib;
    if (plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, perflib.out()) ==
        ERROR_SUCCESS) {
      CounterIndexes indexes;
      if (ReadCounterIndexes(perflib.get(), &indexes)) {
        // Without a process object the key path is asked for: no such value, nothing is filled.
        filled = ReadProcessTable(indexes.objectFound ? indexes.objectIndex : keyPath,
                                  indexes.idProcessCounter, table);
      }
    }
  }
  plat::RegCloseKey(HKEY_PERFORMANCE_DATA);
  return filled;
}
