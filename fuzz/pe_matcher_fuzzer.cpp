// The file matcher over any file: the input is the whole file C:\f.exe, scanned with the
// report-only action. Besides the sanitizers, it checks that the matcher agrees with the
// specimen maker's own reading of a PE file (which record, if any, matches), that the file is
// left as it was, and that every descriptor is closed again.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/file_matcher.h"
#include "engine/scan_state.h"
#include "engine/signatures/signature_record.h"
#include "engine/texts.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"
#include "tests/double/sim_machine.h"
#include "tools/specimen/specimen.h"

namespace {

constexpr char kPath[] = "C:\\f.exe";

// The first record that the specimen maker's reading says matches the file; null for none.
const SignatureRecord* ExpectedMatch(const std::vector<uint8_t>& file) {
  for (const SignatureRecord* record = SignatureTable; !record->IsEnd(); ++record) {
    if (!SizeTestPasses(*record, static_cast<long>(file.size()))) continue;
    uint32_t first = 0;
    uint32_t second = 0;
    if (!specimen::ProbePositions(file, record->FirstOffset(), record->SecondOffset(), &first,
                                  &second)) {
      continue;
    }
    if (std::memcmp(file.data() + first, record->FirstPattern(), kProbeLength) == 0 &&
        std::memcmp(file.data() + second, record->SecondPattern(), kProbeLength) == 0) {
      return record;
    }
  }
  return nullptr;
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The header readers and the address mapping on their own, over addresses of every kind.
void ReadHeadersDirectly(const uint8_t* data, size_t size) {
  const int fd = plat::_open(kPath, _O_RDONLY | _O_BINARY);
  if (fd == -1) fuzz::Violation("cannot open the input again");
  PeHeaders pe;
  if (ReadPeFileHeader(fd, &pe) && ReadPeSections(fd, &pe)) {
    uint32_t addresses[] = {0, 1, 0x1000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 0};
    if (size >= 4) addresses[6] = Le32(data + size - 4);
    for (uint32_t address : addresses) RvaToFileOffset(pe, address, fd);
  }
  plat::_close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::MachineForInput machineForInput;
  const size_t handlesBefore = fuzz::PrepareReportOnlyCheck(kPath, data, size);
  sim::MainWindow window;

  const int matched = CheckFile(kFamilyName, kPath);

  static std::vector<uint8_t> file;  // its memory kept from input to input
  file.assign(data, data + size);
  const SignatureRecord* expected = ExpectedMatch(file);
  if (matched != (expected != nullptr ? 1 : 0)) {
    fuzz::Violation("CheckFile says %d, the specimen maker's reading says %s", matched,
                    expected != nullptr ? expected->Name() : "no match");
  }
  if (matched) {
    if (std::strcmp(g_scan.detectionName, expected->Name()) != 0) {
      fuzz::Violation("matched as %s, expected %s", g_scan.detectionName, expected->Name());
    }
    if (g_scan.filesInfected != 1 || window.list.empty()) {
      fuzz::Violation("a match was not counted or not reported");
    }
  } else if (g_scan.filesInfected != 0 || !window.list.empty()) {
    fuzz::Violation("no match, yet %d infected and %zu lines", g_scan.filesInfected,
                    window.list.size());
  }

  if (!fuzz::FileHolds(kPath, data, size)) {
    fuzz::Violation("report-only changed the file");
  }

  ReadHeadersDirectly(data, size);
  if (sim::machine().OpenHandles() != handlesBefore) {
    fuzz::Violation("%zu handles open after the scan, %zu before", sim::machine().OpenHandles(),
                    handlesBefore);
  }
  return 0;
}
