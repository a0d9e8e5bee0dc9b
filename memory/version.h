// The two Windows version probes every platform-dependent choice rests on. Both ask the
// system anew at every call.
#pragma once

// Platform kinds, compared literally by the callers.
enum : int {
  PlatformQueryFailed = 0,
  PlatformOther = 1,
  PlatformWin9x = 4,  // Windows 95, 98, Me
  PlatformNt = 5,     // NT 4, 2000, XP and later
};

// NT generations. 5 means NT 4 or older here, not the NT family.
enum : int {
  NtGenerationNone = 0,  // query failed, not NT, or NT 6 and later
  NtGeneration4 = 5,     // NT major version 4 or lower
  NtGeneration5 = 6,     // NT major version 5: 2000, XP, Server 2003
};

int GetPlatformKind();
int GetNtGeneration();
