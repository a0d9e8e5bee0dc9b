#include "memory/process_list.h"

#include <cstdlib>
#include <cstring>

#include "memory/buffers.h"
#include "memory/perf_data.h"
#include "memory/privileges.h"
#include "platform/processes.h"
#include "platform/scoped_handle.h"
#include "platform/windowing.h"

namespace {

constexpr DWORD kTerminateAccess = PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION;
constexpr DWORD kPerfTerminateAccess = PROCESS_TERMINATE;
constexpr DWORD kModuleReadAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

// Pauses between the toolhelp calls, which give a 9x system time between snapshot steps.
constexpr DWORD kToolhelpPause = 100;
constexpr DWORD kBeforeOpenPause = 50;
// After a termination, so that the image file is released before the caller retries it.
constexpr DWORD kAfterKillPause = 500;

constexpr DWORD kMaxProcessIds = 1024;
constexpr size_t kModulePathSize = 260;
// ".EXE": cut from a path to give the performance-data instance name.
constexpr size_t kExtensionLength = 4;

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

// Vista's image-name call, for the processes whose main module a caller cannot read (under
// WoW64 a 32-bit caller reads no 64-bit process's modules); null where it does not exist.
QueryFullProcessImageNameAFn ImageNameLookup() {
  HMODULE kernel = plat::LoadLibraryA("Kernel32.dll");
  return kernel != nullptr
             ? Lookup<QueryFullProcessImageNameAFn>(kernel, "QueryFullProcessImageNameA")
             : nullptr;
}

// The file an open process was started from: its main module's name, else its image name.
DWORD ImagePathOf(HANDLE process, GetModuleFileNameExAFn moduleFn,
                  QueryFullProcessImageNameAFn imageFn, char* path, DWORD capacity) {
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
  const DWORD count =
      bytes / sizeof(DWORD) < kMaxProcessIds ? bytes / sizeof(DWORD) : kMaxProcessIds;
  for (DWORD i = 0; i < count; ++i) {
    plat::ScopedHandle process(plat::OpenProcess(kModuleReadAccess, FALSE, ids[i]));
    // Only a failed open is retried: a stale error after a good open must not cost a handle.
    if (process.get() == nullptr && plat::GetLastError() == ERROR_ACCESS_DENIED) {
      if (!EnablePrivilege("SeDebugPrivilege").tokenOpened) {
        // A bare "false" box captioned "TEMP" is what users have always seen here: kept.
        plat::MessageBoxA(nullptr, "false", "TEMP", MB_OK);
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

bool KillByNameToolhelp(const char* path) {
  HMODULE kernel = plat::LoadLibraryA("Kernel32.dll");
  plat::Sleep(kToolhelpPause);
  if (kernel == nullptr) return false;
  Allocation<PROCESSENTRY32> entry(1);
  if (entry.get() == nullptr) return false;
  auto snapshotFn = Lookup<CreateToolhelp32SnapshotFn>(kernel, "CreateToolhelp32Snapshot");
  if (snapshotFn == nullptr) return false;
  plat::ScopedHandle snapshot(snapshotFn(TH32CS_SNAPPROCESS, 0));
  plat::Sleep(kToolhelpPause);
  if (!snapshot.valid()) return false;
  auto firstFn = Lookup<Process32FirstFn>(kernel, "Process32First");
  if (firstFn == nullptr) return false;
  entry.get()->dwSize = sizeof(PROCESSENTRY32);
  const BOOL first = firstFn(snapshot.get(), entry.get());

  // On 9x the snapshot names carry the folder: only the file names are compared.
  char target[MAX_PATH];
  const char* targetName = AfterLastBackslash(path);
  CopyBounded(target, sizeof target, targetName, std::strlen(targetName));
  plat::_strupr(target);
  if (!first) return false;

  for (;;) {
    entry.get()->szExeFile[MAX_PATH - 1] = '\0';
    if (plat::_stricmp(AfterLastBackslash(entry.get()->szExeFile), target) == 0) break;
    auto nextFn = Lookup<Process32NextFn>(kernel, "Process32Next");
    if (nextFn == nullptr) return false;
    plat::Sleep(kToolhelpPause);
    if (!nextFn(snapshot.get(), entry.get())) return false;
    plat::Sleep(kToolhelpPause);
  }

  plat::Sleep(kBeforeOpenPause);
  plat::ScopedHandle process(
      plat::OpenProcess(kTerminateAccess, FALSE, entry.get()->th32ProcessID));
  const bool terminated = process.get() != nullptr && plat::TerminateProcess(process.get(), 0);
  plat::Sleep(kAfterKillPause);
  return terminated;
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
  const DWORD count =
      bytes / sizeof(DWORD) < kMaxProcessIds ? bytes / sizeof(DWORD) : kMaxProcessIds;
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

bool KillByNamePerfData(const char* path) {
  const size_t length = std::strlen(path);
  if (length <= kExtensionLength) return false;
  // The extension (".EXE") is cut; instance names have none.
  const char* end = path + length - kExtensionLength;
  const char* start = end;
  while (start > path && start[-1] != '\\') --start;
  // An empty name would be a prefix of every instance name: nothing is terminated for it.
  if (start == end) return false;
  char baseName[MAX_PATH];
  CopyBounded(baseName, sizeof baseName, start, static_cast<size_t>(end - start));
  plat::_strupr(baseName);

  PerfProcessEntry table[kPerfProcessTableSize];
  std::memset(table, 0, sizeof table);
  const size_t filled = ReadPerfProcessTable(table);

  // The base name is matched as a prefix: NOTE ends both note and notepad.
  const size_t baseLength = std::strlen(baseName);
  bool terminated = false;
  for (size_t i = 0; i < filled; ++i) {
    if (plat::_strnicmp(table[i].name, baseName, baseLength) != 0) continue;
    plat::ScopedHandle process(plat::OpenProcess(kPerfTerminateAccess, FALSE, table[i].processId));
    if (process.get() != nullptr && plat::TerminateProcess(process.get(), 0)) terminated = true;
    process.Reset();
    plat::Sleep(kAfterKillPause);
  }
  return terminated;
}
