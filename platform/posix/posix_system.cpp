// The system around the files and the registry, as the Linux back end answers it: this host
// runs no Windows programs and no Windows services, keeps no process token and shows no message
// boxes. Every such call fails the way Windows fails it when there is nothing to find, so the
// logic takes the paths it takes when a process or service is gone. Restarting is refused:
// the program never restarts the machine it runs on from here. Sleeping and exit are real.
//
// The tests link a scripted version of these calls instead (tests/double/).
#include <time.h>

#include <cstdlib>

#include "platform/posix/posix_internal.h"

namespace plat {

HMODULE LoadLibraryA(LPCSTR /*name*/) { return posix::Fail(ERROR_MOD_NOT_FOUND, HMODULE{nullptr}); }

FARPROC GetProcAddress(HMODULE /*module*/, LPCSTR /*name*/) {
  return posix::Fail(ERROR_PROC_NOT_FOUND, FARPROC{nullptr});
}

HANDLE OpenProcess(DWORD /*access*/, BOOL /*inheritHandle*/, DWORD /*processId*/) {
  return posix::Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
}

BOOL TerminateProcess(HANDLE /*process*/, UINT /*exitCode*/) {
  return posix::Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL CloseHandle(HANDLE /*handle*/) { return posix::Fail(ERROR_INVALID_HANDLE, FALSE); }

// The pseudo-handle Windows gives for the current process.
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

BOOL OpenProcessToken(HANDLE /*process*/, DWORD /*access*/, HANDLE* token) {
  if (token != nullptr) *token = nullptr;
  return posix::Fail(ERROR_ACCESS_DENIED, FALSE);
}

BOOL LookupPrivilegeValueA(LPCSTR /*systemName*/, LPCSTR /*name*/, LUID* /*luid*/) {
  return posix::Fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL AdjustTokenPrivileges(HANDLE /*token*/, BOOL /*disableAll*/, TOKEN_PRIVILEGES* /*newState*/,
                           DWORD /*bufferLength*/, TOKEN_PRIVILEGES* /*previousState*/,
                           DWORD* /*returnLength*/) {
  return posix::Fail(ERROR_INVALID_HANDLE, FALSE);
}

int WideCharToMultiByte(UINT /*codePage*/, DWORD /*flags*/, LPCWSTR /*wide*/, int /*wideCount*/,
                        LPSTR /*narrow*/, int /*narrowCapacity*/, LPCSTR /*defaultChar*/,
                        BOOL* /*usedDefaultChar*/) {
  return posix::Fail(ERROR_INVALID_PARAMETER, 0);
}

BOOL ExitWindowsEx(UINT /*flags*/, DWORD /*reason*/) {
  return posix::Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
}

void exit(int status) { std::exit(status); }

void Sleep(DWORD milliseconds) {
  struct timespec pause = {static_cast<time_t>(milliseconds / 1000),
                           static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

int MessageBoxA(HWND /*owner*/, LPCSTR /*text*/, LPCSTR /*caption*/, UINT /*type*/) {
  return posix::Fail(ERROR_CALL_NOT_IMPLEMENTED, 0);
}

SC_HANDLE OpenSCManagerA(LPCSTR /*machine*/, LPCSTR /*database*/, DWORD /*access*/) {
  return posix::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{nullptr});
}

SC_HANDLE OpenServiceA(SC_HANDLE /*manager*/, LPCSTR /*name*/, DWORD /*access*/) {
  return posix::Fail(ERROR_INVALID_HANDLE, SC_HANDLE{nullptr});
}

BOOL ControlService(SC_HANDLE /*service*/, DWORD /*control*/, SERVICE_STATUS* /*status*/) {
  return posix::Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL QueryServiceStatus(SC_HANDLE /*service*/, SERVICE_STATUS* /*status*/) {
  return posix::Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL CloseServiceHandle(SC_HANDLE /*handle*/) { return posix::Fail(ERROR_INVALID_HANDLE, FALSE); }

}  // namespace plat
