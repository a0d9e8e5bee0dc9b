#include "memory/privileges.h"

#include "platform/processes.h"

PrivilegeResult EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!plat::OpenProcessToken(plat::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return {false, plat::GetLastError()};
  }
  TOKEN_PRIVILEGES request = {};
  // An unknown name leaves the LUID zero; the adjustment then reports the failure.
  plat::LookupPrivilegeValueA(nullptr, name, &request.Privileges[0].Luid);
  request.PrivilegeCount = 1;
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // Its result says little: only the last error tells whether the privilege was enabled.
  plat::AdjustTokenPrivileges(token, FALSE, &request, 0, nullptr, nullptr);
  const DWORD error = plat::GetLastError();
  plat::CloseHandle(token);
  return {true, error};
}
