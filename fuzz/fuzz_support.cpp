#include "fuzz/fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/scan_state.h"
#include "tests/double/sim_machine.h"

// No stack is kept of where a block was allocated or freed (a report names only the allocator's
// own frame there): walking and storing even four frames at every allocation and free took a
// fifth of each input's time. The finding itself is the same, found as early and stopping the
// run: the shadow memory and the quarantine that find it do not depend on those stacks. For
// the whole stacks, replay the input with ASAN_OPTIONS=malloc_context_size=30.
//
// Freed blocks wait in a quarantine of 32 MB instead of 256 MB before they are used again: an
// input takes a few kilobytes, so a use after free is still caught across thousands of inputs,
// while the blocks handed out stay in the processor's caches instead of touching a quarter
// gigabyte (about a sixth less time for each input, and a fifth of the memory).
extern "C" const char* __asan_default_options() {
  return "malloc_context_size=0:quarantine_size_mb=32";
}

namespace fuzz {

MachineForInput::MachineForInput() { sim::machine(); }
MachineForInput::~MachineForInput() {
  sim::Reset();
  // The scan state's findings too: kept until the next input, they would count as this input's
  // allocations without a free whenever it found more than the last.
  ResetScanState();
}

void FreshMachine() {
  // Already in its start state: MachineForInput restored it at the end of the last input.
  sim::machine().MapMemoryDrive('C');
}

void PutFile(const std::string& windowsPath, const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (!sim::machine().PutFile(windowsPath, std::move(bytes))) {
    Violation("cannot put %s", windowsPath.c_str());
  }
}

bool GetFile(const std::string& windowsPath, std::string* bytes) {
  return sim::machine().GetFile(windowsPath, bytes);
}

bool FileHolds(const std::string& windowsPath, const uint8_t* data, size_t size) {
  // Kept from input to input: a large file's copy then needs no fresh memory each time.
  static std::string bytes;
  return GetFile(windowsPath, &bytes) && bytes.size() == size &&
         (size == 0 || std::memcmp(bytes.data(), data, size) == 0);
}

void Violation(const char* format, ...) {
  std::fputs("\n*** vexpurge fuzz: invariant broken: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs("\n", stderr);
  std::fflush(stderr);
  __builtin_trap();
}

std::string Printable(const std::string& bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

size_t PrepareReportOnlyCheck(const char* windowsPath, const uint8_t* data, size_t size) {
  FreshMachine();
  PutFile(windowsPath, data, size);
  const size_t handles = sim::machine().OpenHandles();
  ResetScanState();
  g_scan.removalAction = ActionReportOnly;
  g_scan.memorySweepActive = false;
  return handles;
}

}  // namespace fuzz
