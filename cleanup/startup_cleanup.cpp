#include "cleanup/startup_cleanup.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/scan_state.h"
#include "engine/text_scanner.h"
#include "engine/texts.h"
#include "memory/version.h"
#include "platform/files.h"
#include "platform/scoped_handle.h"
#include "platform/wow64.h"

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

namespace {

constexpr size_t kValueNameSize = 16384;  // the registry's own limit and a terminator
constexpr size_t kValueDataSize = 264;
constexpr DWORD kExpandedSize = 261;

RegistryWriteBack g_writeBack;

// Values reported as left in place, by the user's choice or because the change could not be kept,
// as the registry view, the key path and the value name in lower case: each is reported once, as a
// removing scan would remove it once.
std::vector<std::string> g_valuesLeft;

std::string ValueId(const char* keyPath, const char* name) {
  // Each registry view holds a key of its own under the same path.
  std::string id = std::to_string(plat::CurrentRegistryView()) + '\n' + keyPath + '\n' + name;
  for (char& c : id) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return id;
}

bool WasLeft(const char* keyPath, const char* name) {
  if (g_valuesLeft.empty()) return false;  // the usual case: no name to build
  const std::string id = ValueId(keyPath, name);
  for (const std::string& left : g_valuesLeft) {
    if (left == id) return true;
  }
  return false;
}

// The value as a registry path: the 32-bit view of 64-bit Windows keeps its software keys under
// Wow6432Node, where a registry editor shows them.
std::string ValuePath(HKEY root, const char* keyPath, const char* valueName) {
  std::string key = keyPath;
  if (plat::CurrentRegistryView() == KEY_WOW64_32KEY &&
      plat::_strnicmp(keyPath, "Software\\", 9) == 0)
    key.insert(9, "Wow6432Node\\");
  return std::string(root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
         key + "\\" + valueName;
}

// Keeps the value's finding for the front ends; its line is the caller's.
void KeepValueFinding(HKEY root, const char* keyPath, const char* valueName, const char* name,
                      FindingAction action, FindingResult result) {
  Finding finding;
  finding.path = ValuePath(root, keyPath, valueName);
  finding.name = name;
  finding.kind = FindingKind::kRegistry;
  finding.action = action;
  finding.result = result;
  KeepFinding(std::move(finding));
}

void ReportRegistryRemoval(HKEY root, const char* keyPath, const char* valueName,
                           const char* name) {
  KeepValueFinding(root, keyPath, valueName, name, FindingAction::kDelete, FindingResult::kDone);
  if (g_scan.mainWindow != nullptr) PostReportLine("System Registry     %s removed", name);
}

void ReportValueLeft(HKEY root, const char* keyPath, const char* valueName, const char* name,
                     const char* why) {
  g_valuesLeft.push_back(ValueId(keyPath, valueName));
  KeepValueFinding(root, keyPath, valueName, name,
                   why == nullptr ? FindingAction::kReportOnly : FindingAction::kDelete,
                   why == nullptr ? FindingResult::kLeftAsSelected : FindingResult::kFailed);
  if (g_scan.mainWindow == nullptr) return;
  if (why == nullptr) {
    PostReportLine("System Registry     %s not removed as per user's selection", name);
  } else {
    PostReportLine("System Registry     %s not removed: %s", name, why);
  }
}

// Takes a matched value away and reports it; report-only says so instead and changes nothing.
// deleted counts the values gone from the key. True when the value counts as removed.
bool RemoveValue(HKEY root, const char* keyPath, const char* valueName, const char* name,
                 DWORD* deleted) {
  if (g_scan.removalAction == ActionReportOnly) {
    ReportValueLeft(root, keyPath, valueName, name, nullptr);
    return true;
  }
  std::string why;
  if (g_writeBack.canChange && !g_writeBack.canChange(keyPath, &why)) {
    ReportValueLeft(root, keyPath, valueName, name, why.c_str());
    return false;
  }
  if (!DeleteRegistryValue(root, keyPath, valueName)) return false;
  if (deleted != nullptr) ++*deleted;
  if (g_writeBack.save && !g_writeBack.save(&why)) {
    ReportValueLeft(root, keyPath, valueName, name, why.c_str());
    return false;
  }
  ReportRegistryRemoval(root, keyPath, valueName, name);
  return true;
}

// Whether the value is there to be removed (report-only mode deletes nothing to find out).
bool ValueExists(HKEY root, const char* keyPath, const char* valueName) {
  plat::ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return false;
  return plat::RegQueryValueExA(key.get(), valueName, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
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
// The same characters but the terminator, for strcspn.
constexpr char kNameEnds[] = "\" \t,";

bool NamesFile(const char* data, const char* fileName) {
  const size_t length = std::strlen(fileName);
  if (length == 0) return false;
  for (const char* at = std::strstr(data, fileName); at != nullptr;
       at = std::strstr(at + 1, fileName)) {
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

// Whether the candidate names the infected file through 8.3 aliases ("c:\progra~1\..."),
// resolved on the volume. Unquoted, the path may end at any character that ends a name.
bool NamesThroughAliases(const char* candidate) {
  if (std::strchr(candidate, '~') == nullptr) return false;
  char prefix[kValueDataSize];
  char found[kPathBufferSize + 1];
  const size_t candidateLength = std::strlen(candidate);
  // Every place after the first character where a name may end, the terminator last.
  for (size_t end = 1; end <= candidateLength; ++end) {
    end += std::strcspn(candidate + end, kNameEnds);
    if (end >= sizeof prefix) break;
    std::memcpy(prefix, candidate, end);
    prefix[end] = '\0';
    const DWORD length = plat::GetLongPathNameA(prefix, found, sizeof found);
    if (length == 0 || length >= sizeof found) continue;
    plat::_strlwr(found);
    if (std::strcmp(found, g_scan.currentFilePath) == 0) return true;
  }
  return false;
}

// ReadRegistryValue on a key already open for reading.
bool ReadValueText(HKEY key, const char* valueName, char* destination, size_t capacity) {
  if (capacity == 0) return false;
  DWORD size = 0;
  if (plat::RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  if (size > capacity) return false;
  DWORD read = static_cast<DWORD>(capacity);
  auto* bytes = reinterpret_cast<BYTE*>(destination);
  if (plat::RegQueryValueExA(key, valueName, nullptr, nullptr, bytes, &read) != ERROR_SUCCESS) {
    return false;
  }
  // Whatever its type, the data is taken as text: it must end inside the buffer.
  if (read == 0 || destination[read - 1] != '\0') {
    if (read >= capacity) return false;
    destination[read] = '\0';
  }
  return true;
}

void RememberValueName(const char* name) {
  // A name too long to remember whole is not remembered at all: a cut name could be another
  // value's.
  if (std::strlen(name) < sizeof g_scan.removedValueName) CopyText(g_scan.removedValueName, name);
}

}  // namespace

void CheckHostsFile(char drive) {
  g_scan.hostsChecked = true;
  std::string hosts;
  if (!HostsPath(&hosts)) return;
  if (drive != 0 && hosts.size() > 1 && hosts[1] == ':') hosts[0] = drive;
  ScanTextFile(kFamilyName, hosts.c_str());
}

void CleanupAfterDetection(const char* detectionName) {
  if (!g_scan.hostsChecked) CheckHostsFile();
  if (g_scan.removedValueName[0] == '\0') g_valuesLeft.clear();

  // 64-bit Windows keeps a start-up key of each width: both are cleaned.
  REGSAM views[2];
  const size_t viewCount = plat::RegistryViews(views);
  for (size_t view = 0; view < viewCount; ++view) {
    plat::RegistryViewScope scope(views[view]);
    if (g_scan.removedValueName[0] != '\0') {
      for (const char* key : {kRunKey, kRunServicesKey}) {
        if (WasLeft(key, g_scan.removedValueName) ||
            !ValueExists(HKEY_LOCAL_MACHINE, key, g_scan.removedValueName)) {
          continue;
        }
        RemoveValue(HKEY_LOCAL_MACHINE, key, g_scan.removedValueName, detectionName, nullptr);
      }
    }
    if (g_scan.currentFilePath[0] != '\0') {
      SweepStartupKey(HKEY_LOCAL_MACHINE, kRunKey);
      SweepStartupKey(HKEY_LOCAL_MACHINE, kRunServicesKey);
    }
  }
}

void SweepStartupKey(HKEY root, const char* keyPath) {
  plat::ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return;
  DWORD valueCount = 0;
  if (plat::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &valueCount, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return;
  }

  // Taken once: after a deletion the registry numbers the later values one lower.
  DWORD deleted = 0;
  // One buffer for the whole walk, on the stack like the text scan's 12 KB (taken from the heap
  // for every key, it cost the sweep a tenth of its time under the sanitizers). Never cleared:
  // a name is used only when the enumeration wrote it, terminator and all.
  char name[kValueNameSize];
  for (DWORD i = 0; i < valueCount; ++i) {
    DWORD nameLength = static_cast<DWORD>(kValueNameSize);
    if (plat::RegEnumValueA(key.get(), i - deleted, name, &nameLength, nullptr, nullptr, nullptr,
                            nullptr) != ERROR_SUCCESS ||
        WasLeft(keyPath, name)) {
      continue;
    }
    const char* slash = std::strrchr(g_scan.currentFilePath, '\\');
    if (slash == nullptr) return;
    const char* fileName = slash + 1;

    char data[kValueDataSize];
    // Through the key the walk holds open: no second open and close for every value.
    if (!ReadValueText(key.get(), name, data, sizeof data)) continue;
    plat::_strlwr(data);
    plat::_strlwr(g_scan.currentFilePath);
    char expanded[kExpandedSize];
    const DWORD expandedLength = plat::ExpandEnvironmentStringsA(data, expanded, sizeof expanded);
    if (expandedLength == 0 || expandedLength > sizeof expanded) continue;
    plat::_strlwr(expanded);
    NormalizeCommand(data);
    NormalizeCommand(expanded);

    // Bare data names a program found through the search path (or lacks a drive).
    const bool bare = std::strchr(data, '\\') == nullptr || data[0] == '\\';
    if (bare && NamesFile(data, fileName)) {
      // Only a file in a system folder is found by its bare name.
      if ((std::strstr(g_scan.currentFilePath, "\\system\\") != nullptr ||
           std::strstr(g_scan.currentFilePath, "\\system32\\") != nullptr) &&
          RemoveValue(root, keyPath, name, kFamilyName, &deleted)) {
        RememberValueName(name);
      }
      continue;
    }
    if (StartsWithPath(WithoutOpeningQuote(data), g_scan.currentFilePath) ||
        StartsWithPath(WithoutOpeningQuote(expanded), g_scan.currentFilePath) ||
        NamesThroughAliases(WithoutOpeningQuote(data)) ||
        NamesThroughAliases(WithoutOpeningQuote(expanded))) {
      // Remembered before the delete: a refused delete is tried again at the next detection.
      RememberValueName(name);
      RemoveValue(root, keyPath, name, kFamilyName, &deleted);
    }
  }
}

void NormalizeCommand(char* text) {
  const size_t start = std::strspn(text, " \t");
  std::memmove(text, text + start, std::strlen(text + start) + 1);
  bool quoted = false;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == '/' && (quoted || i == 0 || (text[i - 1] != ' ' && text[i - 1] != '\t')))
      text[i] = '\\';
  }
}

void SetRegistryWriteBack(RegistryWriteBack writeBack) { g_writeBack = std::move(writeBack); }

bool DeleteRegistryValue(HKEY root, const char* keyPath, const char* valueName) {
  plat::ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_ALL_ACCESS, key.out()) != ERROR_SUCCESS)
    return false;
  if (plat::RegDeleteValueA(key.get(), valueName) != ERROR_SUCCESS) return false;
  return key.Close();
}

bool ReadRegistryValue(HKEY root, const char* keyPath, const char* valueName, char* destination,
                       size_t capacity) {
  if (capacity == 0) return false;
  plat::ScopedKey key;
  if (plat::RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return false;
  if (!ReadValueText(key.get(), valueName, destination, capacity)) return false;
  return key.Close();
}
