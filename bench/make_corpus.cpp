// make-corpus: writes the benchmark's file tree and its manifest.
//
//   make-corpus FILES OUT_FOLDER MANIFEST
//   make-corpus --one-per-row OUT_FOLDER     one specimen of every row that has one, named
//                                            rowNNN.exe, for checking a converted database
//   make-corpus --odd-layouts OUT_FOLDER     1500 PE files of random layouts (sections that
//                                            overlap, wrap or point past the end, entry points
//                                            anywhere, no sections at all), each with a record's
//                                            patterns planted where the matcher reads them:
//                                            both (hitNNNNN_rRRR.exe, a match) or only the
//                                            first (missNNNNN_rRRR.exe), for checking that a
//                                            converted signature maps addresses as the matcher
//   make-corpus --one-folder FILES OUT_FOLDER  FILES short text files side by side in one
//                                            folder, for what a wide folder costs in memory
//
// The tree is the same for the same FILES and the same signature table: one fixed-seed generator
// draws every name, size and byte, so repeated runs (and other machines) scan identical data.
// It holds, in nested folders:
//   specimen   files a record matches, laid out by the specimen library (MatchingFile)
//   near-miss  the specimen library's files that fail exactly one of the matcher's tests
//   decoy      clean PE images of exactly a record's size, so the matcher reads both probes
//   pe         clean PE images of many sizes and shapes (some with too many sections)
//   mz         "MZ" files that are not PE images (header offset past the end or no PE signature)
//   binary     random bytes, some empty or shorter than the DOS header
//   text       lines of words
// The manifest lists every file as: relative path, class, row (1-based, 0 for none), detail.
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/signatures/signature_record.h"
#include "tools/specimen/specimen.h"

namespace {

// splitmix64: small, fast, and defined here, so the corpus does not depend on a library's
// distributions.
struct Rng {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  // Log-uniform in [low, high]: many small files, few large ones, as on a real disk.
  uint32_t LogSize(uint32_t low, uint32_t high) {
    const double l = std::log(static_cast<double>(low));
    const double h = std::log(static_cast<double>(high));
    return static_cast<uint32_t>(std::exp(l + (h - l) * Unit()));
  }
};

size_t RowCount() {
  size_t count = 0;
  while (count < kSignatureCount && !SignatureTable[count].IsEnd()) ++count;
  return count;
}

void MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "make-corpus: cannot make %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr ||
      (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "make-corpus: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
}

void FillRandom(Rng& rng, std::vector<uint8_t>& bytes, size_t from) {
  size_t i = from;
  for (; i + 8 <= bytes.size(); i += 8) {
    const uint64_t v = rng.Next();
    std::memcpy(bytes.data() + i, &v, 8);
  }
  for (; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(rng.Next());
}

// Section bodies that look a little like code and data: runs of random bytes, zero padding and
// repeated short sequences, so files differ from one another and are not all incompressible.
void FillBody(Rng& rng, std::vector<uint8_t>& bytes, size_t from) {
  size_t i = from;
  while (i < bytes.size()) {
    const size_t run = std::min<size_t>(bytes.size() - i, 16 + rng.Below(2048));
    switch (rng.Below(4)) {
      case 0:
        std::memset(bytes.data() + i, 0, run);
        break;
      case 1: {
        const uint64_t word = rng.Next();
        for (size_t k = 0; k < run; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * (k % 8)));
        break;
      }
      default:
        for (size_t k = 0; k < run; ++k) bytes[i + k] = static_cast<uint8_t>(rng.Next());
        break;
    }
    i += run;
  }
}

const char* const kWords[] = {
    "the",     "of",       "and",     "report",  "scan",    "folder",  "window",   "file",
    "system",  "drive",    "value",   "service", "network", "printer", "settings", "user",
    "program", "version",  "update",  "install", "remove",  "driver",  "log",      "entry",
    "memory",  "process",  "start",   "stop",    "error",   "warning", "info",     "debug",
    "path",    "registry", "key",     "data",    "buffer",  "table",   "record",   "name",
    "size",    "offset",   "section", "header",  "image",   "module",  "thread",   "handle",
    "a",       "to",       "in",      "is",      "for",     "on",      "with",     "at",
    "lorem",   "ipsum",    "dolor",   "sit",     "amet",    "elit",    "sed",      "magna"};

std::vector<uint8_t> TextFile(Rng& rng, uint32_t size) {
  std::string text;
  text.reserve(size + 64);
  const size_t wordCount = sizeof kWords / sizeof kWords[0];
  while (text.size() < size) {
    const size_t words = 3 + rng.Below(14);
    for (size_t w = 0; w < words; ++w) {
      if (w) text += ' ';
      text += kWords[rng.Below(wordCount)];
    }
    text += rng.Below(3) == 0 ? ".\r\n" : "\n";
  }
  text.resize(size);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> BinaryFile(Rng& rng, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  FillRandom(rng, bytes, 0);
  // Random data starting "MZ" by chance would be a different class; keep the classes apart.
  if (size >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') bytes[0] = 'm';
  return bytes;
}

// "MZ" files that fail the matcher's first tests: a header offset past the end, or pointing at
// bytes that are not "PE\0\0".
std::vector<uint8_t> MzFile(Rng& rng, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  FillRandom(rng, bytes, 0);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  if (size >= 64) {
    const uint32_t h = rng.Below(2) ? size + static_cast<uint32_t>(rng.Below(4096))
                                    : 64 + static_cast<uint32_t>(rng.Below(size - 63));
    bytes[60] = static_cast<uint8_t>(h);
    bytes[61] = static_cast<uint8_t>(h >> 8);
    if (h + 4 <= size && bytes[h] == 'P' && bytes[h + 1] == 'E') bytes[h] = 'p';
  }
  return bytes;
}

// A clean PE image: 0 to 8 sections (some files 21 to 24, which the matcher refuses), header
// offsets and entry points that vary, bodies of random-looking code and data.
std::vector<uint8_t> CleanPe(Rng& rng, uint32_t length) {
  specimen::PeBuilder builder;
  const uint32_t headerOffset = 0x40 + 8 * static_cast<uint32_t>(rng.Below(24));
  uint32_t sections = static_cast<uint32_t>(rng.Below(9));
  if (rng.Below(50) == 0) sections = 21 + static_cast<uint32_t>(rng.Below(4));
  if (sections == 0 && rng.Below(4) != 0) sections = 1;
  const uint32_t tableEnd = headerOffset + specimen::kSectionTableAt + 40 * sections;
  const uint32_t headersSize = (tableEnd + 0x1FF) & ~0x1FFu;
  builder.SetHeaderOffset(headerOffset).SetHeadersSize(headersSize).SetLength(length);

  // Raw data split among the sections in file order, each a multiple of 0x200 where it fits.
  const uint32_t body = length > headersSize ? length - headersSize : 0;
  uint32_t raw = headersSize;
  uint32_t address = 0x1000;
  for (uint32_t i = 0; i < sections; ++i) {
    specimen::Section section;
    const char* names[] = {".text", ".rdata", ".data", ".rsrc", ".reloc", ".idata", ".tls", ".bss"};
    std::memset(section.name, 0, sizeof section.name);
    std::memcpy(section.name, names[i % 8], std::strlen(names[i % 8]));
    uint32_t share = sections ? body / sections : 0;
    share &= ~0x1FFu;
    if (i + 1 == sections) share = length > raw ? length - raw : 0;
    section.pointerToRawData = share ? raw : 0;
    section.sizeOfRawData = share;
    section.virtualAddress = address;
    section.virtualSize = share + static_cast<uint32_t>(rng.Below(0x800));
    section.characteristics = i == 0 ? 0x60000020 : 0xC0000040;
    builder.AddSection(section);
    raw += share;
    address += (section.virtualSize + 0xFFF) & ~0xFFFu;
    if (address == 0) address = 0x1000;
  }
  // Entry points mostly inside the first section, sometimes anywhere.
  uint32_t entry = 0x1000 + static_cast<uint32_t>(rng.Below(std::max<uint32_t>(body, 1)));
  if (rng.Below(10) == 0) entry = static_cast<uint32_t>(rng.Next());
  builder.SetEntryPoint(entry);
  std::vector<uint8_t> bytes = builder.Bytes();
  if (bytes.size() > headersSize) FillBody(rng, bytes, headersSize);
  return bytes;
}

struct Entry {
  std::string path;  // relative to the corpus folder
  std::string kind;  // class
  size_t row = 0;    // 1-based table row, 0 for none
  std::string detail;
  std::vector<uint8_t> bytes;
};

}  // namespace

int OnePerRow(const std::string& root) {
  MakeFolder(root);
  for (size_t row = 0; row < RowCount(); ++row) {
    const std::vector<uint8_t> bytes = specimen::MatchingFile(SignatureTable[row]);
    if (bytes.empty()) continue;
    char name[32];
    std::snprintf(name, sizeof name, "/row%03zu.exe", row + 1);
    WriteFile(root + name, bytes);
  }
  return 0;
}

// Where the probes land is computed by the specimen library's own reading of the file
// (ProbePositions), so these files test a conversion against the matcher's rules, not against
// the specimen maker's one layout.
int OddLayouts(const std::string& root) {
  MakeFolder(root);
  Rng rng{0x4F44444C41594F55ull};
  std::vector<size_t> rows;
  for (size_t row = 0; row < RowCount(); ++row) {
    if (SignatureTable[row].FileSize() <= 300000u) rows.push_back(row);
  }
  int made = 0;
  for (int tries = 0; made < 1500 && tries < 1000000; ++tries) {
    const size_t row = rows[rng.Below(rows.size())];
    const SignatureRecord& record = SignatureTable[row];
    uint32_t length = record.FileSize();
    if (record.Kind() == SizeKindNear)
      length = length - 4000 + static_cast<uint32_t>(rng.Below(8000));
    specimen::PeBuilder builder;
    const uint32_t headerOffset = 0x40 + 8 * static_cast<uint32_t>(rng.Below(40));
    builder.SetHeaderOffset(headerOffset).SetLength(length);
    const uint32_t sections = rng.Below(10) == 0 ? 0 : static_cast<uint32_t>(rng.Below(6));
    for (uint32_t i = 0; i < sections; ++i) {
      specimen::Section section;
      section.virtualAddress = rng.Below(4) == 0
                                   ? static_cast<uint32_t>(rng.Next())
                                   : 0x1000 * static_cast<uint32_t>(1 + rng.Below(64));
      section.virtualSize = rng.Below(4) == 0 ? static_cast<uint32_t>(rng.Next())
                                              : static_cast<uint32_t>(rng.Below(0x40000));
      section.pointerToRawData = rng.Below(5) == 0 ? static_cast<uint32_t>(rng.Next())
                                                   : static_cast<uint32_t>(rng.Below(length));
      section.sizeOfRawData = static_cast<uint32_t>(rng.Below(0x10000));
      builder.AddSection(section);
    }
    builder.SetEntryPoint(rng.Below(3) == 0 ? static_cast<uint32_t>(rng.Next())
                                            : 0x1000 + static_cast<uint32_t>(rng.Below(0x80000)));
    builder.SetHeadersSize(rng.Below(3) == 0 ? static_cast<uint32_t>(rng.Below(length)) : 0x400);
    std::vector<uint8_t> bytes = builder.Bytes();
    uint32_t first = 0;
    uint32_t second = 0;
    if (!specimen::ProbePositions(bytes, record.FirstOffset(), record.SecondOffset(), &first,
                                  &second)) {
      continue;
    }
    // The patterns must neither overlap nor overwrite the headers that decided where they go.
    const uint32_t tableEnd = headerOffset + specimen::kSectionTableAt + 40 * sections;
    const uint32_t distance = first > second ? first - second : second - first;
    if (distance < kProbeLength || first < tableEnd || second < tableEnd) continue;
    const bool hit = rng.Below(4) != 0;
    std::memcpy(bytes.data() + first, record.FirstPattern(), kProbeLength);
    if (hit) std::memcpy(bytes.data() + second, record.SecondPattern(), kProbeLength);
    char name[48];
    std::snprintf(name, sizeof name, "/%s%05d_r%03zu.exe", hit ? "hit" : "miss", made, row + 1);
    WriteFile(root + name, bytes);
    ++made;
  }
  return 0;
}

int OneFolder(size_t files, const std::string& root) {
  MakeFolder(root);
  Rng rng{0x57494445464F4C44ull};
  for (size_t i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/f%06zu.txt", i);
    WriteFile(root + name, TextFile(rng, 16 + static_cast<uint32_t>(rng.Below(200))));
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--one-per-row") == 0) return OnePerRow(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "--one-folder") == 0) {
    return OneFolder(std::strtoul(argv[2], nullptr, 10), argv[3]);
  }
  if (argc == 3 && std::strcmp(argv[1], "--odd-layouts") == 0) return OddLayouts(argv[2]);
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: make-corpus FILES OUT_FOLDER MANIFEST\n"
                 "       make-corpus --one-per-row OUT_FOLDER\n"
                 "       make-corpus --odd-layouts OUT_FOLDER\n"
                 "       make-corpus --one-folder FILES OUT_FOLDER\n");
    return 2;
  }
  const long requested = std::strtol(argv[1], nullptr, 10);
  if (requested < 1000) {
    std::fprintf(stderr, "make-corpus: FILES must be at least 1000\n");
    return 2;
  }
  const size_t total = static_cast<size_t>(requested);
  const std::string root = argv[2];
  Rng rng{0x5645585055524745ull};  // fixed seed

  // Folders: 24 top folders, each with up to 8 subfolders, some with a third and fourth level.
  std::vector<std::string> folders = {""};
  for (int top = 0; top < 24; ++top) {
    char name[16];
    std::snprintf(name, sizeof name, "d%02d", top);
    const std::string topPath = name;
    folders.push_back(topPath);
    const uint64_t subs = rng.Below(9);
    for (uint64_t s = 0; s < subs; ++s) {
      const std::string subPath = topPath + "/s" + std::to_string(s);
      folders.push_back(subPath);
      if (rng.Below(3) == 0) {
        const uint64_t deep = 1 + rng.Below(4);
        for (uint64_t t = 0; t < deep; ++t) {
          const std::string deepPath = subPath + "/t" + std::to_string(t);
          folders.push_back(deepPath);
          if (rng.Below(4) == 0) folders.push_back(deepPath + "/u0");
        }
      }
    }
  }

  const size_t rows = RowCount();
  std::vector<Entry> entries;

  // Specimens: 48 rows spread over the table, and the near-size record at both ends of its
  // window.
  size_t specimens = 0;
  for (size_t i = 0; i < rows && specimens < 48; ++i) {
    const size_t row = (i * 11 + 3) % rows;  // 11 is prime to the table length: rows spread out
    std::vector<uint8_t> bytes = specimen::MatchingFile(SignatureTable[row]);
    if (bytes.empty()) continue;
    entries.push_back({"", "specimen", row + 1, "match", std::move(bytes)});
    ++specimens;
  }
  for (size_t row = 0; row < rows; ++row) {
    const SignatureRecord& record = SignatureTable[row];
    if (record.Kind() != SizeKindNear) continue;
    for (int64_t delta : {-int64_t{SizeTolerance - 1}, int64_t{SizeTolerance - 1}}) {
      const int64_t length = int64_t{record.FileSize()} + delta;
      if (length <= 0) continue;
      std::vector<uint8_t> bytes = specimen::MatchingFile(record, static_cast<uint32_t>(length));
      if (bytes.empty()) continue;
      entries.push_back(
          {"", "specimen", row + 1,
           "match" + std::string(delta < 0 ? "-" : "+") + std::to_string(SizeTolerance - 1),
           std::move(bytes)});
    }
  }

  // Near misses: every kind the library can lay out, for 50 rows up to 1 MiB and for the
  // near-size record.
  size_t nearRows = 0;
  for (size_t i = 0; i < rows && nearRows < 50; ++i) {
    const size_t row = (i * 7 + 1) % rows;
    const SignatureRecord& record = SignatureTable[row];
    if (record.FileSize() > (1u << 20) && record.Kind() != SizeKindNear) continue;
    bool any = false;
    for (specimen::NearMiss kind :
         {specimen::NearMiss::LongerByOne, specimen::NearMiss::ShorterByOne,
          specimen::NearMiss::FirstPatternByte, specimen::NearMiss::SecondPatternByte,
          specimen::NearMiss::TwentyOneSections, specimen::NearMiss::NoPeSignature,
          specimen::NearMiss::ShortHeaders}) {
      std::vector<uint8_t> bytes = specimen::NearMissFile(record, kind);
      if (bytes.empty()) continue;
      entries.push_back({"", "near-miss", row + 1, specimen::NearMissName(kind), std::move(bytes)});
      any = true;
    }
    if (any) ++nearRows;
  }

  // The rest, in fixed shares of what is left.
  const size_t fixed = entries.size();
  const size_t rest = total > fixed ? total - fixed : 0;
  const size_t decoys = rest / 100;
  const size_t pes = rest * 30 / 100;
  const size_t mzs = rest * 2 / 100;
  const size_t texts = rest * 40 / 100;
  const size_t binaries = rest - decoys - pes - mzs - texts;

  // Decoys take the sizes of records up to 256 KiB, so they stay cheap to write and scan.
  std::vector<size_t> smallRows;
  for (size_t row = 0; row < rows; ++row) {
    if (SignatureTable[row].FileSize() <= (256u << 10)) smallRows.push_back(row);
  }
  for (size_t i = 0; i < decoys; ++i) {
    const size_t row = smallRows[rng.Below(smallRows.size())];
    entries.push_back({"", "decoy", row + 1, "size", CleanPe(rng, SignatureTable[row].FileSize())});
  }
  for (size_t i = 0; i < pes; ++i) {
    // One in 200 is large (0.5 to 3 MiB); the rest 1 KiB to 192 KiB.
    const uint32_t size =
        rng.Below(200) == 0 ? rng.LogSize(512u << 10, 3u << 20) : rng.LogSize(1024, 192u << 10);
    entries.push_back({"", "pe", 0, "", CleanPe(rng, size)});
  }
  for (size_t i = 0; i < mzs; ++i) {
    entries.push_back({"", "mz", 0, "", MzFile(rng, rng.LogSize(64, 64u << 10))});
  }
  for (size_t i = 0; i < texts; ++i) {
    entries.push_back({"", "text", 0, "", TextFile(rng, rng.LogSize(40, 32u << 10))});
  }
  for (size_t i = 0; i < binaries; ++i) {
    uint32_t size = rng.LogSize(16, 256u << 10);
    if (rng.Below(100) == 0) size = static_cast<uint32_t>(rng.Below(62));  // empty or no DOS header
    entries.push_back({"", "binary", 0, "", BinaryFile(rng, size)});
  }

  // Names and places: the classes are shuffled together, so no folder holds only one kind and
  // the order of names says nothing about the class.
  for (size_t i = entries.size(); i > 1; --i) std::swap(entries[i - 1], entries[rng.Below(i)]);
  MakeFolder(root);
  for (const std::string& folder : folders) {
    if (!folder.empty()) MakeFolder(root + "/" + folder);
  }
  FILE* manifest = std::fopen(argv[3], "w");
  if (manifest == nullptr) {
    std::fprintf(stderr, "make-corpus: cannot write %s\n", argv[3]);
    return 1;
  }
  std::fprintf(manifest, "path\tclass\trow\tdetail\tsize\n");
  uint64_t bytesWritten = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    Entry& entry = entries[i];
    const char* extension = ".bin";
    if (entry.kind == "text") {
      const char* textExtensions[] = {".txt", ".log", ".ini", ".htm", ".csv"};
      extension = textExtensions[rng.Below(5)];
    } else if (entry.kind == "binary" || entry.kind == "mz") {
      const char* binaryExtensions[] = {".bin", ".dat", ".tmp", ".db"};
      extension = binaryExtensions[rng.Below(4)];
    } else {
      const char* imageExtensions[] = {".exe", ".dll", ".exe", ".scr", ".sys"};
      extension = imageExtensions[rng.Below(5)];
    }
    const std::string& folder = folders[rng.Below(folders.size())];
    char name[32];
    std::snprintf(name, sizeof name, "f%06zu%s", i, extension);
    entry.path = folder.empty() ? std::string(name) : folder + "/" + name;
    WriteFile(root + "/" + entry.path, entry.bytes);
    bytesWritten += entry.bytes.size();
    std::fprintf(manifest, "%s\t%s\t%zu\t%s\t%zu\n", entry.path.c_str(), entry.kind.c_str(),
                 entry.row, entry.detail.c_str(), entry.bytes.size());
    std::vector<uint8_t>().swap(entry.bytes);
  }
  if (std::fclose(manifest) != 0) return 1;
  std::printf(
      "make-corpus: %zu files (%zu specimens) in %zu folders, %.1f MiB\n", entries.size(),
      static_cast<size_t>(std::count_if(entries.begin(), entries.end(),
                                        [](const Entry& e) { return e.kind == "specimen"; })),
      folders.size(), static_cast<double>(bytesWritten) / (1 << 20));
  return 0;
}
