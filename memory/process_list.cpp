#include "memory/process_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "memory/privileges.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/scoped_handle.h"
#include "platform/windowing.h"

namespace {

constexpr DWORD kTerminateAccess = 0x401;  // PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION
constexpr DWORD kPerfTerminateAccess = 0x001;  // PROCESS_TERMINATE
constexpr DWORD kModuleReadAccess = 0x410;     // PROCESS_QUERY_INFORMATION | PROCESS_VM_READ

// Pauses between the toolhelp calls, which give a 9x system time between snapshot steps.
constexpr DWORD kToolhelpPause = 100;
constexpr DWORD kBeforeOpenPause = 50;
// After a termination, so that the image file is released before the caller retries it.
constexpr DWORD kAfterKillPause = 500;

constexpr DWORD kMaxProcessIds = 1024;
constexpr size_t kModulePathSize = 260;

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

// GetProcAddress answers every entry point as FARPROC; going through the generic function type
// keeps the compiler from objecting to the cast to the real shape.
template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(plat::GetProcAddress(module, name)));
}

// The part after the last backslash; all of it when there is none.
const char* AfterLastBackslash(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  return slash != nullptr ? slash + 1 : path;
}

void CopyBounded(char* destination, size_t capacity, const char* source, size_t length) {
  if (length >= capacity) length = capacity - 1;
  std::memcpy(destination, source, length);
  destination[length] = '\0';
}

// Appends a zero-filled node at the tail; null when it cannot be allocated.
ProcessNode* Append(ProcessNode** tail, DWORD processId, const char* imagePath) {
  auto* node = static_cast<ProcessNode*>(std::calloc(1, sizeof(ProcessNode)));
  if (node == nullptr) return nullptr;
  node->processId = processId;
  // Paths come from buffers of MAX_PATH: at most 259 characters are kept.
  CopyBounded(node->imagePath, MAX_PATH, imagePath, std::strlen(imagePath));
  *tail = node;
  return node;
}

// Builds lists head first; the node pointer to fill next is kept so appending stays in order.
class ListBuilder {
 public:
  ListBuilder() = default;
  ~ListBuilder() { FreeProcessList(head_); }
  ListBuilder(const ListBuilder&) = delete;
  ListBuilder& operator=(const ListBuilder&) = delete;

  bool Add(DWORD processId, const char* imagePath) {
    ProcessNode* node = Append(tail_, processId, imagePath);
    if (node == nullptr) return false;
    tail_ = &node->next;
    return true;
  }
  ProcessNode* head() const { return head_; }
  ProcessList Release() {
    ProcessList list(head_);
    head_ = nullptr;
    tail_ = &head_;
    return list;
  }

 private:
  ProcessNode* head_ = nullptr;
  ProcessNode** tail_ = &head_;
};


// Memory from calloc, freed on every way out.
template <typename T>
class Allocation {
 public:
  explicit Allocation(size_t count) : data_(static_cast<T*>(std::calloc(count, sizeof(T)))) {}
  ~Allocation() { std::free(data_); }
  Allocation(const Allocation&) = delete;
  Allocation& operator=(const Allocation&) = delete;
  T* get() const { return data_; }
  // Replaces the memory by a new zeroed block; false (and no memory) when it cannot be had.
  bool Renew(size_t count) {
    std::free(data_);
    data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
    return data_ != nullptr;
  }

 private:
  T* data_;
};

// --- Performance data

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
bool FindCounterOffset(const uint8_t* block, size_t size, size_t firstDefinition,
                       DWORD counters, DWORD counterIndex, DWORD* offset) {
  size_t position = firstDefinition;
  for (DWORD i = 0; i < counters; ++i) {
    if (!Fits(size, position, kCounterDefinitionStride)) return false;
    DWORD titleIndex = 0;
    ReadDword(block, size, position + 4, &titleIndex);
    if (titleIndex == counterIndex) return ReadDword(block, size, position + 36, offset);
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
size_t ReadProcessTable(const char* valueName, DWORD idProcessCounter,
                        PerfProcessEntry* table) {
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
    result = plat::RegQueryValueExA(HKEY_PERFORMANCE_DATA, valueName, nullptr, nullptr,
                                    data.get(), &returned);
  }
  if (result != ERROR_SUCCESS || returned == 0 || returned > capacity) return 0;
  static const uint8_t kSignature[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
  if (returned < sizeof kSignature ||
      std::memcmp(data.get(), kSignature, sizeof kSignature) != 0) {
    return 0;
  }
  return ParsePerfProcessBlock(data.get(), returned, idProcessCounter, table,
                               kPerfProcessTableSize);
}

// Vista's image-name call, for the processes whose main module a caller cannot read (under
// WoW64 a 32-bit caller reads no 64-bit process's modules); null where it does not exist.
QueryFullProcessImageNameAFn ImageNameLookup() {
  HMODULE kernel = plat::LoadLibraryA("Kernel32.dll");
  return kernel != nullptr ? Lookup<QueryFullProcessImageNameAFn>(kernel, "QueryFullProcessImageNameA") : nullptr;
}

// The file an open process was started from: its main module's name, else its image name.
DWORD ImagePathOf(HANDLE process, GetModuleFileNameExAFn moduleFn, QueryFullProcessImageNameAFn imageFn,
                  char* path, DWORD capacity) {
  const DWORD length = moduleFn(process, nullptr, path, capacity);
  if (length != 0 || imageFn == nullptr) return length;
  DWORD size = capacity;
  return imageFn(process, 0, path, &size) ? size : 0;
}

}  // namespace

void FreeProcessList(ProcessNode* head) {
  while (head != nullptr) {
    ProcessNode* next = head->next;
    std::free(head);
    head = next;
  }
}

ProcessList ListProcessesToolhelp() {
  HMODULE kernel = plat::LoadLibraryA("Kernel32.dll");
  if (kernel == nullptr) return nullptr;
  Allocation<PROCESSENTRY32> entry(1);
  if (entry.get() == nullptr) return nullptr;
  auto snapshotFn = Lookup<CreateToolhelp32SnapshotFn>(kernel, "CreateToolhelp32Snapshot");
  if (snapshotFn == nullptr) return nullptr;
  plat::ScopedHandle snapshot(snapshotFn(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return nullptr;
  auto firstFn = Lookup<Process32FirstFn>(kernel, "Process32First");
  if (firstFn == nullptr) return nullptr;

  entry.get()->dwSize = sizeof(PROCESSENTRY32);
  const BOOL first = firstFn(snapshot.get(), entry.get());
  ListBuilder list;
  entry.get()->szExeFile[MAX_PATH - 1] = '\0';
  if (!list.Add(entry.get()->th32ProcessID, entry.get()->szExeFile) || !first) return nullptr;
  for (;;) {
    auto nextFn = Lookup<Process32NextFn>(kernel, "Process32Next");
    if (nextFn == nullptr) return nullptr;
    if (!nextFn(snapshot.get(), entry.get())) break;  // the end of the snapshot
    entry.get()->szExeFile[MAX_PATH - 1] = '\0';
    if (!list.Add(entry.get()->th32ProcessID, entry.get()->szExeFile)) return nullptr;
  }
  return list.Release();
}

ProcessList ListProcessesPsapi() {
  HMODULE psapi = plat::LoadLibraryA("psapi.dll");
  if (psapi == nullptr) return nullptr;
  auto enumFn = Lookup<EnumProcessesFn>(psapi, "EnumProcesses");
  if (enumFn == nullptr) return nullptr;
  DWORD ids[kMaxProcessIds] = {};
  DWORD bytes = 0;
  enumFn(ids, sizeof ids, &bytes);
  auto moduleFn = Lookup<GetModuleFileNameExAFn>(psapi, "GetModuleFileNameExA");
  if (moduleFn == nullptr || bytes < sizeof(DWORD)) return nullptr;
  const QueryFullProcessImageNameAFn imageFn = ImageNameLookup();

  ListBuilder list;
  const DWORD count = bytes / sizeof(DWORD) < kMaxProcessIds ? bytes / sizeof(DWORD)
                                                              : kMaxProcessIds;
  for (DWORD i = 0; i < count; ++i) {
    plat::ScopedHandle process(plat::OpenProcess(kModuleReadAccess, FALSE, ids[i]));
    // Only a failed open is retried: a stale error after a good open must not cost a handle.
    if (process.get() == nullptr && plat::GetLastError() == ERROR_ACCESS_DENIED) {
      if (!EnablePrivilege("SeDebugPrivilege").tokenOpened) {
        plat::MessageBoxA(nullptr, "false", "TEMP", 0);
      }
      process.Reset(plat::OpenProcess(kModuleReadAccess, FALSE, ids[i]));
    }
    if (process.get() == nullptr) continue;
    char path[kModulePathSize] = {};
    if (ImagePathOf(process.get(), moduleFn, imageFn, path, sizeof path) == 0) continue;
    path[sizeof path - 1] = '\0';
    if (!list.Add(ids[i], path)) return nullptr;
  }
  // No node means no list: the sweep has nothing to walk either way.
  return list.Release();
}

int KillByNameToolhelp(const char* path) {
  HMODULE kernel = plat::LoadLibraryA("Kernel32.dll");
  plat::Sleep(kToolhelpPause);
  if (kernel == nullptr) return 0;
  Allocation<PROCESSENTRY32> entry(1);
  if (entry.get() == nullptr) return 0;
  auto snapshotFn = Lookup<CreateToolhelp32SnapshotFn>(kernel, "CreateToolhelp32Snapshot");
  if (snapshotFn == nullptr) return 0;
  plat::ScopedHandle snapshot(snapshotFn(TH32CS_SNAPPROCESS, 0));
  plat::Sleep(kToolhelpPause);
  if (!snapshot.valid()) return 0;
  auto firstFn = Lookup<Process32FirstFn>(kernel, "Process32First");
  if (firstFn == nullptr) return 0;
  entry.get()->dwSize = sizeof(PROCESSENTRY32);
  const BOOL first = firstFn(snapshot.get(), entry.get());

  // On 9x the snapshot names carry the folder: only the file names are compared.
  char target[MAX_PATH];
  const char* targetName = AfterLastBackslash(path);
  CopyBounded(target, sizeof target, targetName, std::strlen(targetName));
  plat::_strupr(target);
  if (!first) return 0;

  for (;;) {
    entry.get()->szExeFile[MAX_PATH - 1] = '\0';
    if (plat::_stricmp(AfterLastBackslash(entry.get()->szExeFile), target) == 0) break;
    auto nextFn = Lookup<Process32NextFn>(kernel, "Process32Next");
    if (nextFn == nullptr) return 0;
    plat::Sleep(kToolhelpPause);
    if (!nextFn(snapshot.get(), entry.get())) return 0;
    plat::Sleep(kToolhelpPause);
  }

  plat::Sleep(kBeforeOpenPause);
  int result = 0;
  plat::ScopedHandle process(plat::OpenProcess(kTerminateAccess, FALSE, entry.get()->th32ProcessID));
  if (process.get() != nullptr && plat::TerminateProcess(process.get(), 0)) result = 1;
  plat::Sleep(kAfterKillPause);
  return result;
}

bool KillByPathPsapi(const char* path) {
  HMODULE psapi = plat::LoadLibraryA("psapi.dll");
  if (psapi == nullptr) return false;
  auto enumFn = Lookup<EnumProcessesFn>(psapi, "EnumProcesses");
  if (enumFn == nullptr) return false;
  DWORD ids[kMaxProcessIds] = {};
  DWORD bytes = 0;
  enumFn(ids, sizeof ids, &bytes);
  if (bytes < sizeof(DWORD)) return false;
  auto moduleFn = Lookup<GetModuleFileNameExAFn>(psapi, "GetModuleFileNameExA");
  if (moduleFn == nullptr) return false;
  const QueryFullProcessImageNameAFn imageFn = ImageNameLookup();

  ListBuilder list;
  const DWORD count = bytes / sizeof(DWORD) < kMaxProcessIds ? bytes / sizeof(DWORD)
                                                              : kMaxProcessIds;
  for (DWORD i = 0; i < count; ++i) {
    plat::ScopedHandle process(plat::OpenProcess(kModuleReadAccess, FALSE, ids[i]));
    if (process.get() == nullptr) continue;
    char module[kModulePathSize] = {};
    if (ImagePathOf(process.get(), moduleFn, imageFn, module, sizeof module) == 0) continue;
    module[sizeof module - 1] = '\0';
    // Out of memory: nothing is terminated, but the list itself could be had.
    if (!list.Add(ids[i], module)) return true;
  }

  // Native paths (\??\, \SystemRoot\) never equal a drive path, and need not.
  const size_t length = std::strlen(path);
  for (const ProcessNode* node = list.head(); node != nullptr; node = node->next) {
    if (std::strlen(node->imagePath) != length ||
        plat::_memicmp(node->imagePath, path, length) != 0) {
      continue;
    }
    plat::ScopedHandle process(plat::OpenProcess(kTerminateAccess, FALSE, node->processId));
    if (process.get() != nullptr && plat::TerminateProcess(process.get(), 0)) {
      process.Reset();
      plat::Sleep(kAfterKillPause);
    }
  }
  return true;
}

int KillByNamePerfData(const char* path) {
  const size_t length = std::strlen(path);
  if (length <= 4) return 0;
  // The extension (".EXE") is cut; instance names have none.
  const char* end = path + length - 4;
  const char* start = end;
  while (start > path && start[-1] != '\\') --start;
  // An empty name would be a prefix of every instance name: nothing is terminated for it.
  if (start == end) return 0;
  char baseName[MAX_PATH];
  CopyBounded(baseName, sizeof baseName, start, static_cast<size_t>(end - start));
  plat::_strupr(baseName);

  PerfProcessEntry table[kPerfProcessTableSize];
  std::memset(table, 0, sizeof table);
  size_t filled = 0;

  char keyPath[128];
  std::snprintf(keyPath, sizeof keyPath, "%s\\%03x", kPerflibKey, kEnglishLanguage);
  plat::ScopedKey perflib;
  if (plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, perflib.out()) == ERROR_SUCCESS) {
    CounterIndexes indexes;
    if (ReadCounterIndexes(perflib.get(), &indexes)) {
      // Without a process object the key path is asked for: no such value, nothing is filled.
      filled = ReadProcessTable(indexes.objectFound ? indexes.objectIndex : keyPath,
                                indexes.idProcessCounter, table);
    }
  }
  plat::RegCloseKey(HKEY_PERFORMANCE_DATA);

  // The base name is matched as a prefix: NOTE ends both note and notepad.
  const size_t baseLength = std::strlen(baseName);
  int result = 0;
  for (size_t i = 0; i < filled; ++i) {
    if (plat::_strnicmp(table[i].name, baseName, baseLength) != 0) continue;
    plat::ScopedHandle process(plat::OpenProcess(kPerfTerminateAccess, FALSE, table[i].processId));
    if (process.get() != nullptr && plat::TerminateProcess(process.get(), 0)) result = 1;
    process.Reset();
    plat::Sleep(kAfterKillPause);
  }
  return result;
}

size_t ParsePerfProcessBlock(const uint8_t* block, size_t size, DWORD idProcessCounter,
                             PerfProcessEntry* table, size_t capacity) {
  if (block == nullptr || table == nullptr || capacity == 0) return 0;
  DWORD headerLength = 0;
  if (!ReadDword(block, size, 24, &headerLength)) return 0;
  const size_t object = headerLength;
  if (!Fits(size, object, kObjectFieldsSize)) return 0;
  DWORD definitionLength = 0;
  DWORD objectHeaderLength = 0;
  DWORD counters = 0;
  DWORD instances = 0;
  ReadDword(block, size, object + 4, &definitionLength);
  ReadDword(block, size, object + 8, &objectHeaderLength);
  ReadDword(block, size, object + 32, &counters);
  ReadDword(block, size, object + 40, &instances);

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
    ReadDword(block, size, instance + 16, &nameOffset);
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
    // 0 is the idle process, which is never to be opened: it gets an id no process has.
    entry.processId = processId == 0 ? 0xFFFFFFFEu : processId;
    instance = next;
  }
  return filled;
}
