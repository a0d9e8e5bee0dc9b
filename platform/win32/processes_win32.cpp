// Processes on Windows: kernel32, advapi32 and user32, unchanged. Toolhelp and psapi are not
// linked: the logic finds them with LoadLibraryA and GetProcAddress.
#include <cstdlib>
#include <cstring>

#include "platform/processes.h"

namespace plat {

BOOL GetVersionExA(OSVERSIONINFOA* info) { return ::GetVersionExA(info); }

// A bare name is loaded from the system folder only: a library of that name lying beside the
// program, or in the current folder, must never run inside it.
HMODULE LoadLibraryA(LPCSTR name) {
  if (name == nullptr || std::strpbrk(name, "\\/:") != nullptr) return ::LoadLibraryA(name);
  char path[MAX_PATH];
  const UINT length = ::GetSystemDirectoryA(path, sizeof path);
  const size_t nameLength = std::strlen(name);
  if (length == 0 || length + 1 + nameLength >= sizeof path) {
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  path[length] = '\\';
  std::memcpy(path + length + 1, name, nameLength + 1);
  return ::LoadLibraryA(path);
}
FARPROC GetProcAddress(HMODULE module, LPCSTR name) { return ::GetProcAddress(module, name); }

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
  return ::OpenProcess(access, inheritHandle, processId);
}
BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  return ::TerminateProcess(process, exitCode);
}
BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  return ::OpenProcessToken(process, access, token);
}
BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, LUID* luid) {
  return ::LookupPrivilegeValueA(systemName, name, luid);
}
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                           DWORD* returnLength) {
  return ::AdjustTokenPrivileges(token, disableAll, newState, bufferLength, previousState,
                                 returnLength);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR narrow,
                        int narrowCapacity, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  return ::WideCharToMultiByte(codePage, flags, wide, wideCount, narrow, narrowCapacity,
                               defaultChar, usedDefaultChar);
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) { return ::ExitWindowsEx(flags, reason); }

void exit(int status) { std::exit(status); }

}  // namespace plat
