// Writes a registry hive file from the command line, for the tests that build disk images from
// the shell: each group of four arguments is one value, made with the keys on its way.
//
//   vexpurge-make-hive FILE [KEY NAME TYPE DATA]...
//     KEY: backslash path below the root; TYPE: sz, expand_sz or dword (DATA in decimal)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/hive_builder.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vexpurge-make-hive FILE [KEY NAME TYPE DATA]...\n"
               "  TYPE: sz, expand_sz or dword (DATA in decimal)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc - 2) % 4 != 0) return Usage();
  hive::Builder builder(argv[1]);
  for (int i = 2; i < argc; i += 4) {
    const std::string key = argv[i], name = argv[i + 1], type = argv[i + 2], data = argv[i + 3];
    if (type == "sz" || type == "expand_sz") {
      builder.String(key, name, data, type == "sz" ? hive::kSz : hive::kExpandSz);
    } else if (type == "dword") {
      char* end = nullptr;
      const unsigned long value = std::strtoul(data.c_str(), &end, 10);
      if (data.empty() || *end != '\0' || value > 0xffffffffUL) return Usage();
      builder.Value(key, name, hive::kDword, hive::Dword(static_cast<uint32_t>(value)));
    } else {
      return Usage();
    }
  }
  if (!builder.Commit()) {
    std::fprintf(stderr, "vexpurge-make-hive: %s: cannot be written\n", argv[1]);
    return 1;
  }
  return 0;
}
