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
#include <string>
#include <string_view>
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

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A key's values as they stand: names and data in one block of text, kept from input to input,
// so that a look at the key needs no fresh memory (three allocations for each value before).
class Values {
 public:
  // Reads the key anew.
  void Read(HKEY root, const std::string& key) {
    text_.clear();
    entries_.clear();
    // Straight from the key's node: one look-up, not one for each value.
    const posix::Registry::Node* node = sim::machine().registry.Find(root, key);
    if (node == nullptr) return;
    size_t length = 0;
    for (const auto& value : node->values) length += value.name.size() + value.data.size();
    text_.reserve(length);
    entries_.reserve(node->values.size());
    for (const auto& value : node->values) {
      entries_.push_back({text_.size(), value.name.size(), value.data.size()});
      text_ += value.name;
      text_.append(reinterpret_cast<const char*>(value.data.data()), value.data.size());
    }
  }

  size_t size() const { return entries_.size(); }
  std::string_view Name(size_t i) const {
    return {text_.data() + entries_[i].at, entries_[i].name};
  }
  std::string_view Data(size_t i) const {
    return {text_.data() + entries_[i].at + entries_[i].name, entries_[i].data};
  }
  // The data of the value with exactly this name; false when there is none.
  bool Find(std::string_view name, std::string_view* data) const {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (Name(i) == name) {
        *data = Data(i);
        return true;
      }
    }
    return false;
  }
  // The same names with the same data, in any order.
  bool operator==(const Values& other) const {
    if (size() != other.size()) return false;
    std::string_view data;
    for (size_t i = 0; i < size(); ++i) {
      if (!other.Find(Name(i), &data) || data != Data(i)) return false;
    }
    return true;
  }

 private:
  struct Entry {
    size_t at;
    size_t name;
    size_t data;
  };
  std::string text_;
  std::vector<Entry> entries_;
};

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

  sim::Machine& m = sim::machine();  // in its start state (MachineForInput)
  // Made once: a key path given as text would be copied for every call.
  static const std::string runKey = kRunKey;
  static const std::string runServicesKey = kRunServicesKey;
  // The keys the values go to, looked up once, with room made for their values.
  posix::Registry::Node* const machineRun = m.registry.Create(HKEY_LOCAL_MACHINE, runKey);
  posix::Registry::Node* const machineRunServices =
      m.registry.Create(HKEY_LOCAL_MACHINE, runServicesKey);
  posix::Registry::Node* const userRun = m.registry.Create(HKEY_CURRENT_USER, runKey);
  size_t perKey[2] = {0, 0};  // Run, RunServices
  for (size_t from = at, values = 0; from < size && values < kMaxValues;) {
    size_t end = from;
    while (end < size && data[end] != 0xFF) ++end;
    if (end > from) {
      ++perKey[data[from] & 1];
      ++values;
    }
    from = end + 1;
  }
  machineRun->values.reserve(perKey[0]);
  machineRunServices->values.reserve(perKey[1]);
  userRun->values.reserve(perKey[0] + perKey[1]);
  size_t count = 0;
  while (at < size && count < kMaxValues) {
    size_t end = at;
    while (end < size && data[end] != 0xFF) ++end;
    if (end == at) {  // two separators in a row: no value between them
      ++at;
      continue;
    }
    const uint8_t control = data[at];
    const uint8_t* bytes = data + at + 1;
    const uint8_t* bytesEnd = data + end;
    std::string name = "v" + std::to_string(count);
    if (control & 8) {
      const uint8_t* equals = std::find(bytes, bytesEnd, '=');
      if (equals != bytesEnd) {
        name.assign(bytes, equals);
        bytes = equals + 1;
      }
    }
    std::vector<uint8_t> value;
    value.reserve(bytesEnd - bytes + 1);
    value.assign(bytes, bytesEnd);
    if (control & 16) value.push_back(0);
    const DWORD type = kTypes[(control >> 1) & 3];
    ((control & 1) ? machineRunServices : machineRun)->SetValue(name, type, value);
    userRun->SetValue(name, type, value);
    ++count;
    at = end + 1;
  }

  static Values run, runServices, control, after;
  run.Read(HKEY_LOCAL_MACHINE, runKey);
  runServices.Read(HKEY_LOCAL_MACHINE, runServicesKey);
  control.Read(HKEY_CURRENT_USER, runKey);
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
       {std::make_pair(&runKey, &run), std::make_pair(&runServicesKey, &runServices)}) {
    after.Read(HKEY_LOCAL_MACHINE, *key);
    size_t deletedHere = 0;
    for (size_t i = 0; i < before->size(); ++i) {
      const std::string_view name = before->Name(i);
      std::string_view kept;
      if (after.Find(name, &kept)) {
        if (kept != before->Data(i)) {
          fuzz::Violation("value \"%s\" was changed", fuzz::Printable(std::string(name)).c_str());
        }
        continue;
      }
      ++deletedHere;
      const std::string all(before->Data(i));
      const std::string text = Lower(all.substr(0, all.find('\0')));
      if (text.find(fileName) == std::string::npos &&
          Lower(Expanded(text)).find(fileName) == std::string::npos) {
        fuzz::Violation("value \"%s\" = \"%s\" deleted for %s",
                        fuzz::Printable(std::string(name)).c_str(), fuzz::Printable(all).c_str(),
                        infected.c_str());
      }
    }
    if (after.size() + deletedHere != before->size()) fuzz::Violation("values appeared");
    deleted += deletedHere;
  }
  after.Read(HKEY_CURRENT_USER, runKey);
  if (!(after == control)) {
    fuzz::Violation("the user's Run key changed");
  }
  if (window.allLines.size() != deleted) {
    fuzz::Violation("%zu values deleted, %zu lines reported", deleted, window.allLines.size());
  }
  if (m.OpenHandles() != handlesBefore) fuzz::Violation("a handle was left open");
  return 0;
}
