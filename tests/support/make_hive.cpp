// make-hive: writes a registry hive file of string values, for the command-line tests.
//   make-hive FILE KEY NAME DATA [KEY NAME DATA]...
// KEY is a backslash path below the hive's root; each DATA is stored as REG_EXPAND_SZ.
#include <cstdio>

#include "tests/support/hive_builder.h"

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fprintf(stderr, "usage: make-hive FILE KEY NAME DATA [KEY NAME DATA]...\n");
    return 2;
  }
  hive::Builder builder(argv[1]);
  for (int i = 2; i + 2 < argc; i += 3)
    builder.String(argv[i], argv[i + 1], argv[i + 2], hive::kExpandSz);
  if (builder.Commit()) return 0;
  std::fprintf(stderr, "make-hive: %s cannot be written\n", argv[1]);
  return 1;
}
