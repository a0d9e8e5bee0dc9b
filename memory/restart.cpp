#include "memory/restart.h"

#include "memory/privileges.h"
#include "memory/version.h"
#include "platform/processes.h"

DWORD RestartWindows() {
  // The 9x family has no privileges; every other answer, a failed query included, takes the
  // NT path.
  if (GetPlatformKind() != PlatformWin9x) {
    const PrivilegeResult privilege = EnablePrivilege("SeShutdownPrivilege");
    if (!privilege.tokenOpened) return 0;
    if (privilege.adjustError != 0) return privilege.adjustError;
  }
  return static_cast<DWORD>(plat::ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
}
