#include "memory/version.h"

#include <cstring>

#include "platform/processes.h"

namespace {

bool QueryVersion(OSVERSIONINFOA* info) {
  std::memset(info, 0, sizeof *info);
  info->dwOSVersionInfoSize = sizeof *info;
  return plat::GetVersionExA(info) != FALSE;
}

}  // namespace

int GetPlatformKind() {
  OSVERSIONINFOA info;
  if (!QueryVersion(&info)) return PlatformQueryFailed;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return PlatformWin9x;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return PlatformNt;
  return PlatformOther;
}

int GetNtGeneration() {
  OSVERSIONINFOA info;
  if (!QueryVersion(&info) || info.dwPlatformId != VER_PLATFORM_WIN32_NT) return NtGenerationNone;
  if (info.dwMajorVersion <= 4) return NtGeneration4;
  if (info.dwMajorVersion == 5) return NtGeneration5;
  return NtGenerationNone;
}
