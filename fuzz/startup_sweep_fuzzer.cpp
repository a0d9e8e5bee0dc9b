// The start-up entry sweep over any registry values.
//
// Input: one byte choosing the infected file (with bit 7 set, the file's path follows, up to
// the first 0xFF byte), then values separated by 0xFF bytes. Each value
// is one control byte and its bytes: bit 0 RunServices instead of Run; bits 1-2 the type
// (REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ); bit 3 the bytes up to the first '=' are
// the value's name (else it is named by its number); bit 4 a terminating zero byte is added.
//
// The values are set under both machine start-up keys and, as a control, under the user's Run
// key. After the sweep, a deleted value's text (its data up to the first zero byte), or that
// text with the environment's variables expanded, must name the infected file, in any letter
// case; nothing outside the two keys may change; every
// deletion is reported once; every handle is closed.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cleanup/startup_cleanup.h"
#include "engine/scan_state.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"
#include "platform/posix/posix_internal.h"
#include "platform/registry.h"
#include "tests/double/sim_machine.h"

namespace {

const char* const kInfectedFiles[] = {
    "C:\\WINDOWS\\system32\\svcx.exe",
    "C:\\Program Files\\Long Folder\\run me.exe",
    "C:\\svcx.exe",
    "C:\\WINDOWS\\SYSTEM\\A.EXE",
};
constexpr DWORD kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ};
constexpr size_t kMaxValues = 16;

using Values = std::map<std::string, std::vector<uint8_t>>;  // by name, as they stand

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Values Read(HKEY root, const char* key) {
  Values values;
  // Straight from the key's node: one look-up, not one for each value.
  if (const posix::Registry::Node* node = sim::machine().registry.Find(root, key)) {
    for (const auto& value : node->values) values[value.name] = value.data;
  }
  return values;
}

std::string Expanded(const std::string& text) {
  std::vector<char> out(plat::ExpandEnvironmentStringsA(text.c_str(), nullptr, 0) + 1);
  plat::ExpandEnvironmentStringsA(text.c_str(), out.data(), static_cast<DWORD>(out.size()));
  return out.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::MachineForInput machineForInput;
  if (size == 0) return 0;
  std::string infected = kInfectedFiles[data[0] % 4];
  size_t at = 1;
  if (data[0] & 0x80) {
    size_t end = at;
    while (end < size && data[end] != 0xFF) ++end;
    // What the matcher would have copied: the path up to its first zero byte, cut to fit.
    infected.assign(reinterpret_cast<const char*>(data + at), end - at);
    infected = infected.substr(0, infected.find('\0')).substr(0, sizeof g_scan.currentFilePath - 1);
    at = end + 1;
  }
  const size_t slash = infected.rfind('\\');
  const std::string fileName =
      Lower(slash == std::string::npos ? infected : infected.substr(slash + 1));

  sim::Reset();
  sim::Machine& m = sim::machine();
  size_t count = 0;
  while (at < size && count < kMaxValues) {
    size_t end = at;
    while (end < size && data[end] != 0xFF) ++end;
    if (end == at) {  // two separators in a row: no value between them
      ++at;
      continue;
    }
    const uint8_t control = data[at];
    std::string bytes(reinterpret_cast<const char*>(data + at + 1), end - at - 1);
    std::string name = "v" + std::to_string(count);
    if (control & 8) {
      const size_t equals = bytes.find('=');
      if (equals != std::string::npos) {
        name = bytes.substr(0, equals);
        bytes.erase(0, equals + 1);
      }
    }
    if (control & 16) bytes += '\0';
    const char* key = (control & 1) ? kRunServicesKey : kRunKey;
    const std::vector<uint8_t> value(bytes.begin(), bytes.end());
    const DWORD type = kTypes[(control >> 1) & 3];
    m.registry.SetValue(HKEY_LOCAL_MACHINE, key, name, type, value);
    m.registry.SetValue(HKEY_CURRENT_USER, kRunKey, name, type, value);
    ++count;
    at = end + 1;
  }

  const Values run = Read(HKEY_LOCAL_MACHINE, kRunKey);
  const Values runServices = Read(HKEY_LOCAL_MACHINE, kRunServicesKey);
  const Values control = Read(HKEY_CURRENT_USER, kRunKey);
  const size_t handlesBefore = m.OpenHandles();

  ResetScanState();
  sim::MainWindow window;
  // Report-only deletes nothing: the sweep is checked where it removes.
  g_scan.removalAction = ActionRemove;
  g_scan.memorySweepActive = false;
  CopyText(g_scan.currentFilePath, infected.c_str());
  CleanupAfterDetection("W32/Tarvix.19.Backdoor");

  size_t deleted = 0;
  for (const auto& [key, before] :
       {std::make_pair(kRunKey, run), std::make_pair(kRunServicesKey, runServices)}) {
    const Values after = Read(HKEY_LOCAL_MACHINE, key);
    size_t deletedHere = 0;
    for (const auto& [name, bytes] : before) {
      const auto kept = after.find(name);
      if (kept != after.end()) {
        if (kept->second != bytes)
          fuzz::Violation("value \"%s\" was changed", fuzz::Printable(name).c_str());
        continue;
      }
      ++deletedHere;
      const std::string all(bytes.begin(), bytes.end());
      const std::string text = Lower(all.substr(0, all.find('\0')));
      if (text.find(fileName) == std::string::npos &&
          Lower(Expanded(text)).find(fileName) == std::string::npos) {
        fuzz::Violation("value \"%s\" = \"%s\" deleted for %s", fuzz::Printable(name).c_str(),
                        fuzz::Printable(all).c_str(), infected.c_str());
      }
    }
    if (after.size() + deletedHere != before.size()) fuzz::Violation("values appeared");
    deleted += deletedHere;
  }
  if (Read(HKEY_CURRENT_USER, kRunKey) != control) fuzz::Violation("the user's Run key changed");
  if (window.allLines.size() != deleted) {
    fuzz::Violation("%zu values deleted, %zu lines reported", deleted, window.allLines.size());
  }
  if (m.OpenHandles() != handlesBefore) fuzz::Violation("a handle was left open");
  return 0;
}
