// Performance data blocks, as the registry hands them over on NT 4 and NT 6.
//
// Input: 4 bytes counter index (little-endian), 1 byte table capacity (0: the full table),
// 1 byte mode, then the block. With mode bit 0 set, 2 bytes length and that many bytes of the
// perflib "Counters" value come before the block. With mode bit 1 set, the block is served
// with zero bytes after it, past the first buffer's size, so the reading has to grow.
//
// The block is parsed straight from a heap copy of exactly its size into a table of exactly the
// capacity, so any read or write past either shows; then the whole termination by name runs on
// a simulated NT 4 machine that serves the block, where only the processes whose instance
// names begin with the base name may be terminated (and the idle process never).
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "memory/process_list.h"
#include "tests/double/sim_machine.h"

namespace {

constexpr char kPerflib009[] = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";
constexpr size_t kHeaderSize = 6;
constexpr DWORD kIdleId = 0xFFFFFFFEu;
constexpr size_t kFirstBufferSize = 51200;  // what the reading asks for first

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::vector<PerfProcessEntry> Parse(const uint8_t* block, size_t size, DWORD counter,
                                    size_t capacity) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  if (size > 0) std::memcpy(copy.get(), block, size);
  std::unique_ptr<PerfProcessEntry[]> table(new PerfProcessEntry[capacity]);
  std::memset(table.get(), 0xbd, capacity * sizeof(PerfProcessEntry));
  const size_t filled = ParsePerfProcessBlock(copy.get(), size, counter, table.get(), capacity);
  const size_t limit = capacity - 1 < kPerfProcessLimit ? capacity - 1 : kPerfProcessLimit;
  if (filled > limit) fuzz::Violation("%zu entries filled in a table of %zu", filled, capacity);
  for (size_t i = 0; i < filled; ++i) {
    if (std::memchr(table[i].name, '\0', sizeof table[i].name) == nullptr) {
      fuzz::Violation("entry %zu has an unterminated name", i);
    }
    if (table[i].processId == 0) fuzz::Violation("entry %zu has process id 0", i);
  }
  return std::vector<PerfProcessEntry>(table.get(), table.get() + filled);
}

bool BeginsWithNoCase(const char* text, const std::string& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (text[i] == '\0' || std::toupper(static_cast<unsigned char>(text[i])) !=
                               std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::MachineForInput machineForInput;
  if (size < kHeaderSize) return 0;
  const DWORD counter = Le32(data);
  const size_t capacity = data[4] == 0 ? kPerfProcessTableSize : data[4];
  const bool ownCounters = (data[5] & 1) != 0;
  size_t at = kHeaderSize;
  std::string counters;
  if (ownCounters) {
    if (size < at + 2) return 0;
    const size_t length = data[at] | static_cast<size_t>(data[at + 1]) << 8;
    at += 2;
    if (size - at < length) return 0;
    counters.assign(reinterpret_cast<const char*>(data + at), length);
    at += length;
  } else {
    const std::string index = std::to_string(counter);
    const char names[] =
        "1\0System\0"
        "230\0Process\0";
    counters.assign(names, sizeof names - 1);
    counters += index + '\0' + "ID Process" + '\0' + '\0';
  }
  const uint8_t* block = data + at;
  const size_t blockSize = size - at;

  Parse(block, blockSize, counter, capacity);
  std::vector<uint8_t> served(block, block + blockSize);
  if (data[5] & 2) served.resize(kFirstBufferSize + blockSize + 1, 0);
  const std::vector<PerfProcessEntry> entries =
      Parse(served.data(), served.size(), counter, kPerfProcessTableSize);

  // The whole path: an NT 4 machine whose processes are the block's instances and the idle one.
  sim::Machine& m = sim::machine();  // in its start state (MachineForInput)
  m.SetVersion(sim::WindowsVersion::NT4);
  m.registry.SetValue(HKEY_LOCAL_MACHINE, kPerflib009, "Counters", REG_MULTI_SZ,
                      std::vector<uint8_t>(counters.begin(), counters.end()));
  m.performanceData["230"] = std::move(served);
  m.AddProcess(0, "C:\\WINNT\\Idle.exe");
  for (const PerfProcessEntry& entry : entries) {
    if (entry.processId != kIdleId && m.FindProcess(entry.processId) == nullptr) {
      m.AddProcess(entry.processId, std::string("C:\\WINNT\\") + entry.name + ".exe");
    }
  }
  const size_t handlesBefore = m.OpenHandles();

  // The first instance's own name makes a match likely; its base name is what is compared.
  std::string baseName = "p1";
  if (!entries.empty() && entries[0].name[0] != '\0' &&
      std::strchr(entries[0].name, '\\') == nullptr) {
    baseName = entries[0].name;
  }
  const std::string path = "C:\\WINNT\\" + baseName + ".exe";
  const int result = KillByNamePerfData(path.c_str());

  if (m.OpenHandles() != handlesBefore) fuzz::Violation("a handle was left open");
  if (!m.FindProcess(0)->running) fuzz::Violation("the idle process was terminated");
  if (m.sleeps.size() > kPerfProcessLimit) fuzz::Violation("%zu pauses", m.sleeps.size());
  size_t terminated = 0;
  for (const sim::Process& process : m.processes) terminated += process.running ? 0 : 1;
  if ((result == 1) != (terminated > 0)) {
    fuzz::Violation("answered %d with %zu processes terminated", result, terminated);
  }
  if (!ownCounters) {
    // Served under the process object's index with the input's counter: the same instances.
    std::set<DWORD> expected;
    size_t matches = 0;
    const bool signedBlock = blockSize >= 8 && std::memcmp(block, "P\0E\0R\0F\0", 8) == 0;
    for (const PerfProcessEntry& entry : entries) {
      if (!signedBlock || !BeginsWithNoCase(entry.name, baseName)) continue;
      ++matches;
      if (entry.processId != kIdleId) expected.insert(entry.processId);
    }
    for (const sim::Process& process : m.processes) {
      if (!process.running && expected.count(process.pid) == 0) {
        fuzz::Violation("process %u (%s) terminated for base name %s", process.pid,
                        process.image.c_str(), baseName.c_str());
      }
      if (process.running && expected.count(process.pid) != 0) {
        fuzz::Violation("process %u (%s) was not terminated for base name %s", process.pid,
                        process.image.c_str(), baseName.c_str());
      }
    }
    if (m.sleeps.size() != matches) {
      fuzz::Violation("%zu pauses for %zu matching instances", m.sleeps.size(), matches);
    }
  }
  return 0;
}
