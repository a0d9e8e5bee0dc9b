// vexpurge-specimen: writes synthetic specimens for one record of the signature table.
//
//   vexpurge-specimen match ROW OUT
//   vexpurge-specimen near-miss ROW KIND OUT   KIND: longer shorter first-byte second-byte
//                                                    21-sections no-pe short-headers
//   vexpurge-specimen pad PROGRAM ROW|auto OUT  prints the row used
//   vexpurge-specimen both ROW ROW OUT
//
// Rows are numbered from 1, as the table is listed. Exit 0 done, 1 the specimen cannot be made
// or written, 2 bad use.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/specimen/specimen.h"

namespace {

const char kUsage[] =
    "usage: vexpurge-specimen match ROW OUT\n"
    "       vexpurge-specimen near-miss ROW KIND OUT\n"
    "         KIND: longer, shorter, first-byte, second-byte, 21-sections, no-pe, short-headers\n"
    "       vexpurge-specimen pad PROGRAM ROW|auto OUT\n"
    "       vexpurge-specimen both ROW ROW OUT\n"
    "ROW is a 1-based row of the signature table.\n";

int BadUse(const std::string& problem) {
  std::cerr << "vexpurge-specimen: " << problem << "\n" << kUsage;
  return 2;
}

int Fail(const std::string& problem) {
  std::cerr << "vexpurge-specimen: " << problem << "\n";
  return 1;
}

size_t RowCount() {
  size_t count = 0;
  while (count < kSignatureCount && !SignatureTable[count].IsEnd()) ++count;
  return count;
}

// A 1-based row as typed; false when it is not a number naming a row of the table.
bool ParseRow(const char* text, size_t* index) {
  char* end = nullptr;
  errno = 0;
  const unsigned long row = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0) return false;
  if (row < 1 || row > RowCount()) return false;
  *index = row - 1;
  return true;
}

std::string RowError(const char* text) {
  return std::string("bad row \"") + text + "\": rows are 1 to " + std::to_string(RowCount());
}

std::string Describe(size_t index) {
  const SignatureRecord& record = SignatureTable[index];
  return "row " + std::to_string(index + 1) + " (" + record.Name() + ", size " +
         std::to_string(record.FileSize()) + ", kind " + std::to_string(record.Kind()) +
         ", offsets " + std::to_string(record.FirstOffset()) + " and " +
         std::to_string(record.SecondOffset()) + ")";
}

int Write(const char* path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Fail(std::string("cannot write ") + path + ": " + std::strerror(errno));
  return 0;
}

int Match(const char* rowText, const char* path) {
  size_t row = 0;
  if (!ParseRow(rowText, &row)) return BadUse(RowError(rowText));
  const std::vector<uint8_t> file = specimen::MatchingFile(SignatureTable[row]);
  if (file.empty()) return Fail("no matching file can be laid out for " + Describe(row));
  return Write(path, file);
}

int NearMiss(const char* rowText, const char* kindText, const char* path) {
  size_t row = 0;
  if (!ParseRow(rowText, &row)) return BadUse(RowError(rowText));
  specimen::NearMiss kind;
  if (!specimen::ParseNearMiss(kindText, &kind)) {
    return BadUse(std::string("unknown near-miss kind \"") + kindText + "\"");
  }
  const std::vector<uint8_t> file = specimen::NearMissFile(SignatureTable[row], kind);
  if (file.empty()) {
    return Fail(std::string("no \"") + kindText + "\" near miss can be laid out for " +
                Describe(row));
  }
  return Write(path, file);
}

int Pad(const char* programPath, const char* rowText, const char* path) {
  std::ifstream in(programPath, std::ios::binary);
  if (!in) return Fail(std::string("cannot read ") + programPath + ": " + std::strerror(errno));
  std::vector<uint8_t> program((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  if (in.bad()) return Fail(std::string("cannot read ") + programPath);

  size_t row = 0;
  if (std::strcmp(rowText, "auto") == 0) {
    const int found = specimen::FindPaddableRecord(program);
    if (found < 0) {
      return Fail(std::string("no exact-size record has both probes in the padding of ") +
                  programPath + " (" + std::to_string(program.size()) + " bytes)");
    }
    row = static_cast<size_t>(found);
  } else if (!ParseRow(rowText, &row)) {
    return BadUse(RowError(rowText));
  }
  if (!specimen::PadToMatch(program, SignatureTable[row])) {
    return Fail(Describe(row) + " does not put both probes in the padding of " + programPath +
                " (" + std::to_string(program.size()) + " bytes)");
  }
  const int status = Write(path, program);
  if (status == 0) std::cout << row + 1 << "\n";
  return status;
}

int Both(const char* rowA, const char* rowB, const char* path) {
  size_t a = 0;
  size_t b = 0;
  if (!ParseRow(rowA, &a)) return BadUse(RowError(rowA));
  if (!ParseRow(rowB, &b)) return BadUse(RowError(rowB));
  const std::vector<uint8_t> file = specimen::MatchingBoth(SignatureTable[a], SignatureTable[b]);
  if (file.empty()) {
    return Fail("no one file can match both " + Describe(a) + " and " + Describe(b));
  }
  return Write(path, file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return BadUse("no command");
  const std::string command = argv[1];
  if (command == "match" && argc == 4) return Match(argv[2], argv[3]);
  if (command == "near-miss" && argc == 5) return NearMiss(argv[2], argv[3], argv[4]);
  if (command == "pad" && argc == 5) return Pad(argv[2], argv[3], argv[4]);
  if (command == "both" && argc == 5) return Both(argv[2], argv[3], argv[4]);
  if (command == "match" || command == "near-miss" || command == "pad" || command == "both") {
    return BadUse("wrong number of arguments for " + command);
  }
  return BadUse("unknown command \"" + command + "\"");
}
