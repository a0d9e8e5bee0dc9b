// Enabling one named privilege in the program's own process token.
#pragma once

#include "platform/base.h"

struct PrivilegeResult {
  bool tokenOpened;   // false: nothing else was tried
  DWORD adjustError;  // the last error right after AdjustTokenPrivileges: 0 when enabled
};

// Enables the privilege; it stays enabled for the life of the process. Each caller decides
// what a failure of either step means.
PrivilegeResult EnablePrivilege(const char* name);
