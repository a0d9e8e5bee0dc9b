// What the fuzz targets share: a fresh simulated machine whose drive C: lives in memory (no
// input touches the host's disk), and the one way to report a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Declared first in a target's entry point: the input runs on the scripted machine in its start
// state, and the machine is taken back to it before the input ends, freeing everything the
// input made it hold. (libFuzzer takes more allocations than frees during an input for a
// possible leak and runs the input again under the leak checker, which costs more than the
// input itself.) The machine itself is kept from input to input: restored, not made anew.
class MachineForInput {
 public:
  MachineForInput();
  ~MachineForInput();
  MachineForInput(const MachineForInput&) = delete;
  MachineForInput& operator=(const MachineForInput&) = delete;
};

// Maps drive C: as an empty memory volume on the machine MachineForInput holds in its start state.
void FreshMachine();

// The file at a Windows path on the machine's drives; Violation when it cannot be put there.
void PutFile(const std::string& windowsPath, const uint8_t* data, size_t size);
// False when the file does not exist.
bool GetFile(const std::string& windowsPath, std::string* bytes);
// Whether the file at a Windows path exists and holds exactly these bytes.
bool FileHolds(const std::string& windowsPath, const uint8_t* data, size_t size);

// A fresh machine holding the input at this Windows path, and the scan state at its start values
// set for a report-only check outside the memory sweep. Returns the handles open now, which the
// target expects to find again afterwards.
size_t PrepareReportOnlyCheck(const char* windowsPath, const uint8_t* data, size_t size);

// Prints what went wrong and stops the process so that libFuzzer keeps the input.
[[noreturn]] void Violation(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Text shown in a violation report: printable bytes as they are, the others as \xNN.
std::string Printable(const std::string& bytes, size_t limit = 400);

}  // namespace fuzz
