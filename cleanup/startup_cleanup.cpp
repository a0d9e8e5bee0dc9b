#include "cleanup/startup_cleanup.h"

#include <cstring>
#include <string>

#include "engine/scan_state.h"
#include "engine/text_scanner.h"
#include "engine/texts.h"
#include "memory/version.h"
#include "platform/files.h"
#include "platform/wow64.h"

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

namespace {

constexpr size_t kValueNameSize = 16384;  // the registry's own limit and a terminator
constexpr size_t kValueDataSize = 264;
constexpr DWORD kExpandedSize = 261;

// Closes a registry key on every way out.
class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) plat::RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }
  // Closes now and tells whether that succeeded.
  bool Close() {
    const LONG result = plat::RegCloseKey(key_);
    key_ = nullptr;
    return result == ERROR_SUCCESS;
  }

 private:
  HKEY key_ = nullptr;
};

void ReportRegistryRemoval(const char* name) {
  if (g_scan.mainWindow != nullptr) PostReportLine("System Registry     %s removed", name);
}

// The hosts file: under the system folder on NT, under the Windows folder on 9x.
bool HostsPath(std::string* path) {
  char folder[kPathBufferSize];
  UINT length = 0;
  const char* rest = nullptr;
  switch (GetPlatformKind()) {
    case PlatformNt:
      length = plat::GetSystemDirectoryA(folder, sizeof folder);
      rest = "\\drivers\\etc\\hosts";
      break;
    case PlatformWin9x:
      length = plat::GetWindowsDirectoryA(folder, sizeof folder);
      rest = "\\hosts";
      break;
    default:
      return false;
  }
  if (length == 0 || length >= sizeof folder) return false;
  *path = std::string(folder) + rest;
  return path->size() < kPathBufferSize;
}

// The file name must stand alone in the data: "svc.exe" names the infected svc.exe, while
// "mysvc.exe" or "svc.exe2.exe" merely contain it.
bool IsNameStart(const char* data, const char* at) {
  if (at == data) return true;
  const char before = at[-1];
  return before == '"' || before == '\\' || before == '/' || before == ' ' || before == '\t';
}

bool IsNameEnd(char after) {
  return after == '\0' || after == '"' || after == ' ' || after == '\t' || after == ',';
}

bool NamesFile(const char* data, const char* fileName) {
  const size_t length = std::strlen(fileName);
  if (length == 0) return false;
  for (const char* at = std::strstr(data, fileName); at != nullptr; at = std::strstr(at + 1, fileName)) {
    if (IsNameStart(data, at) && IsNameEnd(at[length])) return true;
  }
  return false;
}

// The candidate starts with the whole infected path, followed by nothing that would make it
// the path of another file.
bool StartsWithPath(const char* candidate, const char* path) {
  const size_t length = std::strlen(path);
  return length > 0 && std::strncmp(candidate, path, length) == 0 && IsNameEnd(candidate[length]);
}

const char* WithoutOpeningQuote(const char* text) { return text[0] == '"' ? text + 1 : text; }

void RememberValueName(const char* name) {
  // A name too long to remember whole is not remembered at all: a cut name could be another
  // value's.
  if (std::strlen(name) < sizeof g_scan.removedValueName) CopyText(g_scan.removedValueName, name);
}

}  // namespace

int CleanupAfterDetection(const char* detectionName) {
  std::string hosts;
  if (HostsPath(&hosts)) ScanTextFile(kFamilyName, hosts.c_str());

  // 64-bit Windows keeps a start-up key of each width: both are cleaned.
  REGSAM views[2];
  const size_t viewCount = plat::RegistryViews(views);
  for (size_t view = 0; view < viewCount; ++view) {
    plat::RegistryViewScope scope(views[view]);
    if (g_scan.removedValueName[0] != '\0') {
      for (const char* key : {kRunKey, kRunServicesKey}) {
        if (DeleteRegistryValue(HKEY_LOCAL_MACHINE, key, g_scan.removedValueName)) {
          ReportRegistryRemoval(detectionName);
        }
      }
    }
    if (g_scan.currentFilePath[0] != '\0') {
      SweepStartupKey(HKEY_LOCAL_MACHINE, kRunKey);
      SweepStartupKey(HKEY_LOCAL_MACHINE, kRunServicesKey);
    }
  }
  return 1;
}

void SweepStartupKey(HKEY root, const char* keyPath) {
  ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return;
  DWORD valueCount = 0;
  if (plat::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &valueCount, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return;
  }

  // Taken once: after a deletion the registry numbers the later values one lower.
  DWORD deleted = 0;
  static char name[kValueNameSize];
  for (DWORD i = 0; i < valueCount; ++i) {
    std::memset(name, 0, sizeof name);
    DWORD nameLength = sizeof name;
    if (plat::RegEnumValueA(key.get(), i - deleted, name, &nameLength, nullptr, nullptr, nullptr,
                            nullptr) != ERROR_SUCCESS) {
      continue;
    }
    const char* slash = std::strrchr(g_scan.currentFilePath, '\\');
    if (slash == nullptr) return;
    const char* fileName = slash + 1;

    char data[kValueDataSize];
    if (!ReadRegistryValue(root, keyPath, name, data, sizeof data)) continue;
    plat::_strlwr(data);
    plat::_strlwr(g_scan.currentFilePath);
    char expanded[kExpandedSize];
    const DWORD expandedLength = plat::ExpandEnvironmentStringsA(data, expanded, sizeof expanded);
    if (expandedLength == 0 || expandedLength > sizeof expanded) continue;
    plat::_strlwr(expanded);

    // Bare data names a program found through the search path (or lacks a drive).
    const bool bare = std::strchr(data, '\\') == nullptr || data[0] == '\\';
    if (bare && NamesFile(data, fileName)) {
      // Only a file in a system folder is found by its bare name.
      if ((std::strstr(g_scan.currentFilePath, "\\system\\") != nullptr ||
           std::strstr(g_scan.currentFilePath, "\\system32\\") != nullptr) &&
          DeleteRegistryValue(root, keyPath, name)) {
        RememberValueName(name);
        ReportRegistryRemoval(kFamilyName);
        ++deleted;
      }
      continue;
    }
    if (StartsWithPath(WithoutOpeningQuote(data), g_scan.currentFilePath) ||
        StartsWithPath(WithoutOpeningQuote(expanded), g_scan.currentFilePath)) {
      // Remembered before the delete: a refused delete is tried again at the next detection.
      RememberValueName(name);
      if (DeleteRegistryValue(root, keyPath, name)) {
        ReportRegistryRemoval(kFamilyName);
        ++deleted;
      }
    }
  }
}

bool DeleteRegistryValue(HKEY root, const char* keyPath, const char* valueName) {
  ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_ALL_ACCESS, key.out()) != ERROR_SUCCESS) return false;
  if (plat::RegDeleteValueA(key.get(), valueName) != ERROR_SUCCESS) return false;
  return key.Close();
}

bool ReadRegistryValue(HKEY root, const char* keyPath, const char* valueName, char* destination,
                       size_t capacity) {
  if (capacity == 0) return false;
  ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  if (plat::RegQueryValueExA(key.get(), valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  if (size > capacity) return false;
  DWORD read = static_cast<DWORD>(capacity);
  auto* bytes = reinterpret_cast<BYTE*>(destination);
  if (plat::RegQueryValueExA(key.get(), valueName, nullptr, nullptr, bytes, &read) != ERROR_SUCCESS) {
    return false;
  }
  // Whatever its type, the data is taken as text: it must end inside the buffer.
  if (read == 0 || destination[read - 1] != '\0') {
    if (read >= capacity) return false;
    destination[read] = '\0';
  }
  return key.Close();
}
