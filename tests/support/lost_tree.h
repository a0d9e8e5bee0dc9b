// A tree of clean files of every kind the scanner meets, with specimens among them, written
// through the platform layer so that the same tree is built on the simulated machine and under
// Wine; and the check that a removal scan took exactly the specimens and changed nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TreeFile {
  std::string path;  // Windows path
  uint64_t digest;   // of the contents
  uint64_t size;
  uint32_t attributes;
  bool specimen;
};

struct LostTree {
  std::vector<TreeFile> files;
  int specimens = 0;
};

// Builds the tree under a folder (which must exist). cleanCount: how many small clean files
// to add besides the fixed kinds.
LostTree BuildLostTree(const std::string& root, int cleanCount);

// What differs from the promise: a clean file changed, lost or with other attributes, or a
// specimen still there. Empty when all is well.
std::vector<std::string> CheckLostTree(const LostTree& tree);
