// Registry on Windows: advapi32, unchanged but for the registry view a RegistryViewScope
// chose, added to every open, creation and key deletion.
#include "platform/registry.h"
#include "platform/win32/wow64_win32.h"
#include "platform/wow64.h"

namespace plat {
namespace {

typedef LONG(WINAPI* RegDeleteKeyExAFn)(HKEY root, LPCSTR subKey, REGSAM view, DWORD reserved);

}  // namespace

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return ::RegOpenKeyExA(root, subKey, options, access | CurrentRegistryView(), result);
}
LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
  return ::RegCreateKeyExA(root, subKey, reserved, keyClass, options,
                           access | CurrentRegistryView(), security, result, disposition);
}
LONG RegCloseKey(HKEY key) { return ::RegCloseKey(key); }
LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                      LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                      LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                      LPDWORD securityDescriptorLength, FILETIME* lastWriteTime) {
  return ::RegQueryInfoKeyA(key, keyClass, classLength, reserved, subKeys, maxSubKeyLength,
                            maxClassLength, values, maxValueNameLength, maxValueLength,
                            securityDescriptorLength, lastWriteTime);
}
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  return ::RegEnumValueA(key, index, name, nameLength, reserved, type, data, dataLength);
}
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                   LPSTR keyClass, LPDWORD classLength, FILETIME* lastWriteTime) {
  return ::RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass, classLength,
                         lastWriteTime);
}
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataLength) {
  return ::RegQueryValueExA(key, name, reserved, type, data, dataLength);
}
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataLength) {
  return ::RegSetValueExA(key, name, reserved, type, data, dataLength);
}
LONG RegDeleteValueA(HKEY key, LPCSTR name) { return ::RegDeleteValueA(key, name); }
LONG RegDeleteKeyA(HKEY root, LPCSTR subKey) {
  const REGSAM view = CurrentRegistryView();
  if (view != 0) {
    // Views exist from XP x64 on, and so does the call that takes one.
    const auto deleteInView = SystemEntry<RegDeleteKeyExAFn>("advapi32.dll", "RegDeleteKeyExA");
    if (deleteInView != nullptr) return deleteInView(root, subKey, view, 0);
  }
  return ::RegDeleteKeyA(root, subKey);
}

}  // namespace plat
