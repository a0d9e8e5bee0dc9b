// Scripted processes and the system around them, for the tests: the two system
// libraries the logic loads by name (toolhelp in kernel32, psapi), process handles and
// termination, the process token's privileges, the narrowing of UTF-16 text, restart and exit.
// Nothing here reaches the host's own processes: restart and exit are only recorded.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "tests/double/sim_internal.h"

namespace sim {

namespace {

constexpr DWORD kErrorBadLength = 24;           // ERROR_BAD_LENGTH
constexpr DWORD kErrorPartialCopy = 299;        // ERROR_PARTIAL_COPY
constexpr DWORD kErrorPrivilegeNotHeld = 1314;  // ERROR_PRIVILEGE_NOT_HELD

// Fixed addresses for the two libraries: loaded libraries are never closed, so they stay out
// of the handle table and out of OpenHandles().
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7C800000));
HMODULE const kPsapi = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x76BF0000));
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// The process's executable name as toolhelp lists it.
std::string ToolhelpName(const Process& process, bool is9x) {
  if (!process.toolhelpName.empty()) return process.toolhelpName;
  if (is9x) return process.image;
  const size_t slash = process.image.find_last_of("\\/");
  return slash == std::string::npos ? process.image : process.image.substr(slash + 1);
}

// Copies what fits of the text and its terminator; returns the characters copied.
size_t CopyBounded(char* destination, size_t capacity, const std::string& text) {
  const size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
  return n;
}

// --- Toolhelp (kernel32)

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD /*processId*/) {
  Machine& m = machine();
  if (m.snapshotFails) return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  HandleEntry entry;
  entry.kind = HandleEntry::Kind::Snapshot;
  if (flags & TH32CS_SNAPPROCESS) {
    const bool is9x = m.Is9x();
    for (const Process& process : m.processes) {
      if (process.running) entry.snapshot.emplace_back(process.pid, ToolhelpName(process, is9x));
    }
  }
  return m.impl().Add(std::move(entry));
}

BOOL SnapshotEntry(HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
  HandleEntry* handle = machine().impl().Get(snapshot, HandleEntry::Kind::Snapshot);
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
    return Fail(kErrorBadLength, FALSE);
  }
  if (first) handle->next = 0;
  if (handle->next >= handle->snapshot.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
  const auto& taken = handle->snapshot[handle->next++];
  entry->cntUsage = 0;
  entry->th32ProcessID = taken.first;
  entry->th32DefaultHeapID = 0;
  entry->th32ModuleID = 0;
  entry->cntThreads = 1;
  entry->th32ParentProcessID = 0;
  entry->pcPriClassBase = 8;
  entry->dwFlags = 0;
  CopyBounded(entry->szExeFile, sizeof entry->szExeFile, taken.second);
  return TRUE;
}

BOOL WINAPI Process32First(HANDLE snapshot, PROCESSENTRY32* entry) {
  return SnapshotEntry(snapshot, entry, true);
}

BOOL WINAPI Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) {
  return SnapshotEntry(snapshot, entry, false);
}

// --- psapi

BOOL WINAPI EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) {
  if (bytesReturned == nullptr || (ids == nullptr && bytes != 0)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const DWORD room = bytes / sizeof(DWORD);
  DWORD written = 0;
  for (const Process& process : machine().processes) {
    if (!process.running) continue;
    if (written == room) break;
    ids[written++] = process.pid;
  }
  *bytesReturned = written * static_cast<DWORD>(sizeof(DWORD));
  return TRUE;
}

DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD capacity) {
  Machine& m = machine();
  const HandleEntry* handle = m.impl().Get(process, HandleEntry::Kind::Process);
  if (handle == nullptr || module != nullptr) return Fail(ERROR_INVALID_HANDLE, DWORD{0});
  const DWORD needed = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
  if ((handle->access & needed) != needed) return Fail(ERROR_ACCESS_DENIED, DWORD{0});
  const Process* target = m.FindProcess(handle->pid);
  // An ended process has no modules left to read.
  if (target == nullptr || !target->running) return Fail(kErrorPartialCopy, DWORD{0});
  if (target->image64 && m.width == Machine::Width::Program32On64)
    return Fail(kErrorPartialCopy, DWORD{0});
  if (name == nullptr || capacity == 0) return Fail(ERROR_INSUFFICIENT_BUFFER, DWORD{0});
  const std::string& path = target->moduleName.empty() ? target->image : target->moduleName;
  return static_cast<DWORD>(CopyBounded(name, capacity, path));
}

// Vista's image name of any process, whatever its width; size is in characters.
BOOL WINAPI QueryFullProcessImageNameA(HANDLE process, DWORD /*flags*/, LPSTR name, DWORD* size) {
  Machine& m = machine();
  const HandleEntry* handle = m.impl().Get(process, HandleEntry::Kind::Process);
  if (handle == nullptr || size == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & (PROCESS_QUERY_INFORMATION | 0x1000)) == 0)
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  const Process* target = m.FindProcess(handle->pid);
  if (target == nullptr || !target->running) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (name == nullptr || *size <= target->image.size())
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  *size = static_cast<DWORD>(CopyBounded(name, *size, target->image));
  return TRUE;
}

// GetProcAddress answers a function pointer of any shape as FARPROC; going through the
// generic function type keeps the compiler from objecting to the cast.
template <typename Function>
FARPROC AsFarproc(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// A library name without its ".dll": LoadLibraryA takes "PSAPI" and "psapi.dll" alike.
std::string LibraryBase(std::string name) {
  if (name.size() > 4 && plat::_stricmp(name.c_str() + name.size() - 4, ".dll") == 0) {
    name.resize(name.size() - 4);
  }
  return name;
}

// The library a name refers to, or nullptr.
HMODULE KnownLibrary(const std::string& name) {
  const std::string base = LibraryBase(name);
  if (plat::_stricmp(base.c_str(), "kernel32") == 0) return kKernel32;
  if (plat::_stricmp(base.c_str(), "psapi") == 0) return kPsapi;
  return nullptr;
}

bool LibraryMissing(const std::string& name) {
  const auto& missing = machine().missingLibraries;
  const std::string base = LibraryBase(name);
  return missing.count(base) != 0 || missing.count(base + ".dll") != 0;
}

// Privilege names and the numbers Windows gives them on every system.
struct PrivilegeName {
  const char* name;
  DWORD luid;
};
const PrivilegeName kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},
    {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},
    {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},
    {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},
    {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14},
    {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},
    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},
    {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},
    {"SeUndockPrivilege", 25},
};

const char* PrivilegeByLuid(const LUID& luid) {
  if (luid.HighPart != 0) return nullptr;
  for (const PrivilegeName& privilege : kPrivileges) {
    if (privilege.luid == luid.LowPart) return privilege.name;
  }
  return nullptr;
}

bool IsProcessHandle(HANDLE handle) {
  return handle == kCurrentProcess ||
         machine().impl().Get(handle, HandleEntry::Kind::Process) != nullptr;
}

}  // namespace

}  // namespace sim

namespace plat {

HMODULE LoadLibraryA(LPCSTR name) {
  if (name == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, HMODULE{nullptr});
  HMODULE module = sim::KnownLibrary(name);
  if (module == nullptr || sim::LibraryMissing(name)) {
    return sim::Fail(ERROR_MOD_NOT_FOUND, HMODULE{nullptr});
  }
  return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module != sim::kKernel32 && module != sim::kPsapi) {
    return sim::Fail(ERROR_MOD_NOT_FOUND, FARPROC{nullptr});
  }
  if (name == nullptr) return sim::Fail(ERROR_PROC_NOT_FOUND, FARPROC{nullptr});
  const std::string entry = name;  // exported names are matched exactly, case included
  FARPROC found = nullptr;
  if (module == sim::kKernel32) {
    if (entry == "CreateToolhelp32Snapshot") {
      found = sim::AsFarproc<std::remove_pointer_t<CreateToolhelp32SnapshotFn>>(
          &sim::CreateToolhelp32Snapshot);
    } else if (entry == "Process32First") {
      found = sim::AsFarproc<std::remove_pointer_t<Process32FirstFn>>(&sim::Process32First);
    } else if (entry == "Process32Next") {
      found = sim::AsFarproc<std::remove_pointer_t<Process32NextFn>>(&sim::Process32Next);
    } else if (entry == "QueryFullProcessImageNameA" &&
               sim::machine().version.platformId == VER_PLATFORM_WIN32_NT &&
               sim::machine().version.major >= 6) {
      found = sim::AsFarproc<std::remove_pointer_t<QueryFullProcessImageNameAFn>>(
          &sim::QueryFullProcessImageNameA);
    }
  } else {
    if (entry == "EnumProcesses") {
      found = sim::AsFarproc<std::remove_pointer_t<EnumProcessesFn>>(&sim::EnumProcesses);
    } else if (entry == "GetModuleFileNameExA") {
      found =
          sim::AsFarproc<std::remove_pointer_t<GetModuleFileNameExAFn>>(&sim::GetModuleFileNameExA);
    }
  }
  if (found == nullptr || sim::machine().missingEntryPoints.count(entry) != 0) {
    return sim::Fail(ERROR_PROC_NOT_FOUND, FARPROC{nullptr});
  }
  return found;
}

HANDLE OpenProcess(DWORD access, BOOL /*inheritHandle*/, DWORD processId) {
  sim::Machine& m = sim::machine();
  const sim::Process* process = m.FindProcess(processId);
  if (process == nullptr || !process->running) {
    return sim::Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
  }
  if (process->openDenied &&
      !(process->openWithDebugPrivilege && m.enabledPrivileges.count("SeDebugPrivilege") != 0)) {
    return sim::Fail(ERROR_ACCESS_DENIED, HANDLE{nullptr});
  }
  sim::HandleEntry entry;
  entry.kind = sim::HandleEntry::Kind::Process;
  entry.pid = processId;
  entry.access = access;
  return m.impl().Add(std::move(entry));
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  sim::Machine& m = sim::machine();
  // The pseudo handle is refused: it would end the test program itself.
  const sim::HandleEntry* handle = m.impl().Get(process, sim::HandleEntry::Kind::Process);
  if (handle == nullptr) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & PROCESS_TERMINATE) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  sim::Process* target = m.FindProcess(handle->pid);
  if (target == nullptr) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  ++target->terminateCalls;
  // Windows answers ERROR_ACCESS_DENIED for a process that has already ended, too.
  if (!target->running || target->refusesTermination) {
    return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (target->survivesTermination) return TRUE;
  target->running = false;
  target->exitCode = exitCode;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  // Closing the pseudo handle is allowed and does nothing.
  if (handle == sim::kCurrentProcess) return TRUE;
  auto& impl = sim::machine().impl();
  for (auto kind : {sim::HandleEntry::Kind::Process, sim::HandleEntry::Kind::Snapshot,
                    sim::HandleEntry::Kind::Token}) {
    if (impl.Get(handle, kind) != nullptr) return impl.Close(handle);
  }
  return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
}

HANDLE GetCurrentProcess() { return sim::kCurrentProcess; }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  sim::Machine& m = sim::machine();
  if (!sim::IsProcessHandle(process)) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (token == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  ++m.tokenOpens;
  if (m.tokenOpenFails) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  sim::HandleEntry entry;
  entry.kind = sim::HandleEntry::Kind::Token;
  entry.access = access;
  *token = m.impl().Add(std::move(entry));
  return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR /*systemName*/, LPCSTR name, LUID* luid) {
  if (name == nullptr || luid == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  for (const sim::PrivilegeName& privilege : sim::kPrivileges) {
    if (_stricmp(privilege.name, name) == 0) {
      luid->LowPart = privilege.luid;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  return sim::Fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                           DWORD /*bufferLength*/, TOKEN_PRIVILEGES* /*previousState*/,
                           DWORD* /*returnLength*/) {
  sim::Machine& m = sim::machine();
  const sim::HandleEntry* handle = m.impl().Get(token, sim::HandleEntry::Kind::Token);
  if (handle == nullptr) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & TOKEN_ADJUST_PRIVILEGES) == 0) {
    return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (disableAll) {
    m.enabledPrivileges.clear();
    m.lastError = ERROR_SUCCESS;
    return TRUE;
  }
  if (newState == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  // Windows succeeds even when some privilege is not in the token; only the last error,
  // cleared or ERROR_NOT_ALL_ASSIGNED, tells the caller.
  bool allAssigned = true;
  const LUID_AND_ATTRIBUTES* requested = newState->Privileges;
  for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
    const char* name = sim::PrivilegeByLuid(requested[i].Luid);
    if (name == nullptr || m.heldPrivileges.count(name) == 0) {
      allAssigned = false;
      continue;
    }
    if (requested[i].Attributes & SE_PRIVILEGE_ENABLED) {
      m.enabledPrivileges.insert(name);
    } else {
      m.enabledPrivileges.erase(name);
    }
  }
  m.lastError = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
  return TRUE;
}

int WideCharToMultiByte(UINT /*codePage*/, DWORD /*flags*/, LPCWSTR wide, int wideCount,
                        LPSTR narrow, int narrowCapacity, LPCSTR defaultChar,
                        BOOL* usedDefaultChar) {
  sim::Machine& m = sim::machine();
  if (m.wideConversionFails || wide == nullptr || wideCount == 0 || wideCount < -1 ||
      narrowCapacity < 0 || (narrow == nullptr && narrowCapacity != 0)) {
    return sim::Fail(ERROR_INVALID_PARAMETER, 0);
  }
  size_t count = 0;
  if (wideCount == -1) {
    while (wide[count] != 0) ++count;
    ++count;  // the terminator is converted and counted too
  } else {
    count = static_cast<size_t>(wideCount);
  }
  // Each UTF-16 unit becomes one byte: Latin-1 as itself, anything else the default character.
  const char replacement = defaultChar != nullptr ? defaultChar[0] : '?';
  bool replaced = false;
  const size_t capacity = static_cast<size_t>(narrowCapacity);
  for (size_t i = 0; i < count; ++i) {
    const bool fits = wide[i] <= 0xFF;
    replaced = replaced || !fits;
    if (capacity != 0 && i < capacity) {
      narrow[i] = fits ? static_cast<char>(wide[i]) : replacement;
    }
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
  if (capacity != 0 && capacity < count) return sim::Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  return static_cast<int>(count);
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
  sim::Machine& m = sim::machine();
  m.restarts.push_back(sim::RestartRequest{flags, reason});
  if (!m.exitWindowsResult) return sim::Fail(sim::kErrorPrivilegeNotHeld, FALSE);
  return m.exitWindowsResult;
}

void exit(int status) {
  sim::machine().exits.push_back(status);
  throw sim::ProgramExit{status};
}

}  // namespace plat
