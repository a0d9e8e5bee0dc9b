#include "cli/scan_options.h"

#include <cstdio>
#include <cstring>

#include "engine/signatures/signature_record.h"

bool ParseScanOptions(int argc, char** argv, ScanOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--trace") == 0) {
      options->trace = true;
    } else if (std::strcmp(argument, "--remove") == 0) {
      options->remove = true;
    } else if (std::strcmp(argument, "--list-signatures") == 0) {
      options->listSignatures = true;
    } else if (argument[0] == '-') {
      *error = std::string("unknown option ") + argument;
      return false;
    } else if (!options->target.empty()) {
      *error = "only one folder can be scanned";
      return false;
    } else {
      options->target = argument;
    }
  }
  return true;
}

void PrintUsage(const std::string& error, const char* folder) {
  if (!error.empty()) std::fprintf(stderr, "vexpurge-scan: %s\n", error.c_str());
  std::fprintf(stderr, "usage: vexpurge-scan [--remove] [--trace] %s\n"
                       "       vexpurge-scan --list-signatures\n", folder);
}

namespace {

void PrintHex(const uint8_t* bytes) {
  for (size_t i = 0; i < kProbeLength; ++i) std::printf("%02x", bytes[i]);
}

}  // namespace

void PrintSignatureTable() {
  int row = 1;
  for (const SignatureRecord* record = SignatureTable; !record->IsEnd(); ++record, ++row) {
    std::printf("%d,%s,%u,%u,%ld,", row, record->Name(), static_cast<unsigned>(record->Kind()),
                static_cast<unsigned>(record->FileSize()), static_cast<long>(record->FirstOffset()));
    PrintHex(record->FirstPattern());
    std::printf(",%ld,", static_cast<long>(record->SecondOffset()));
    PrintHex(record->SecondPattern());
    std::printf("\n");
  }
}
