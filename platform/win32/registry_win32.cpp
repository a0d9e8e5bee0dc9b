// Registry on Windows: advapi32, unchanged.
#include "platform/registry.h"

namespace plat {

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return ::RegOpenKeyExA(root, subKey, options, access, result);
}
LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
  return ::RegCreateKeyExA(root, subKey, reserved, keyClass, options, access, security, result,
                           disposition);
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
LONG RegDeleteKeyA(HKEY root, LPCSTR subKey) { return ::RegDeleteKeyA(root, subKey); }

}  // namespace plat
