#include "memory/privileges.h"

#include "platform/processes.h"
#include "platform/scoped_handle.h"

PrivilegeResult EnablePrivilege(const char* name) {
  plat::ScopedHandle token;
  if (!plat::OpenProcessToken(plat::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                              token.out())) {
    return {false, plat::GetLastError()};
  }
  TOKEN_PRIVILEGES request = {};
  // An unknown name leaves the LUID zero; the adjustment then reports the failure.
  plat::LookupPrivilegeValueA(nullptr, name, &request.Privileges[0].Luid);
  request.PrivilegeCount = 1;
  request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // Its result says little: only the last error tells whether the privilege was enabled.
  plat::AdjustTokenPrivileges(token.get(), FALSE, &request, 0, nullptr, nullptr);
  return {true, plat::GetLastError()};
}
