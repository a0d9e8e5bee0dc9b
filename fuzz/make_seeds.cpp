// Writes the seed corpora of the fuzz targets, from the specimen maker and the shapes the host
// tests use:
//
//   vexpurge-fuzz-seeds SEEDS_FOLDER            the small seeds kept in fuzz/seeds/<target>/
//   vexpurge-fuzz-seeds --large CORPUS_FOLDER   larger ones, made afresh for each run
//
// Everything is deterministic: the same files every time.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/signatures/signature_record.h"
#include "engine/text_scanner.h"
#include "tools/specimen/specimen.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

fs::path g_root;

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  if (bytes.empty() && name.find("empty") == std::string::npos) {
    std::fprintf(stderr, "vexpurge-fuzz-seeds: %s/%s came out empty\n", target.c_str(),
                 name.c_str());
    std::exit(1);
  }
  const fs::path folder = g_root / target;
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "vexpurge-fuzz-seeds: cannot write %s\n", (folder / name).c_str());
    std::exit(1);
  }
}

void Put(const std::string& target, const std::string& name, const std::string& text) {
  Put(target, name, Bytes(text.begin(), text.end()));
}

// A literal with every byte it holds, zero bytes included.
template <size_t N>
std::string Literal(const char (&text)[N]) {
  return std::string(text, N - 1);
}

const SignatureRecord& Row(size_t row) { return SignatureTable[row - 1]; }

// --- The file matcher

void PeSeeds() {
  const char* target = "pe_matcher_fuzzer";
  // The smallest records, matched and missed by one test each.
  for (size_t row : {40, 87, 15}) {
    Put(target, "match-" + std::to_string(row), specimen::MatchingFile(Row(row)));
  }
  using specimen::NearMiss;
  const std::pair<NearMiss, const char*> misses[] = {{NearMiss::LongerByOne, "longer"},
                                                     {NearMiss::FirstPatternByte, "first-byte"},
                                                     {NearMiss::SecondPatternByte, "second-byte"},
                                                     {NearMiss::NoPeSignature, "no-pe"},
                                                     {NearMiss::ShortHeaders, "short-headers"}};
  for (const auto& [kind, name] : misses) {
    Put(target, std::string("near-miss-40-") + name, specimen::NearMissFile(Row(40), kind));
  }
  // Small images of every shape the headers allow.
  specimen::Section text;
  text.virtualAddress = 0x1000;
  text.virtualSize = 0x200;
  text.sizeOfRawData = 0x200;
  text.pointerToRawData = 0x200;
  Put(target, "pe-one-section", specimen::PeBuilder().AddSection(text).Bytes());
  Put(target, "pe-no-section", specimen::PeBuilder().SetLength(0x200).Bytes());
  specimen::PeBuilder twenty;
  for (uint32_t i = 0; i < 20; ++i) {
    specimen::Section s = text;
    s.virtualAddress = 0x1000 * (i + 1);
    twenty.AddSection(s);
  }
  Put(target, "pe-20-sections", twenty.SetLength(0x600).Bytes());
  Put(target, "pe-21-declared", specimen::PeBuilder().AddSection(text).SetSectionCount(21).Bytes());
  Put(target, "pe-high-header",
      specimen::PeBuilder().SetHeaderOffset(0x300).AddSection(text).Bytes());
  Put(target, "pe-entry-high",
      specimen::PeBuilder().AddSection(text).SetEntryPoint(0xFFFFF000u).Bytes());
  // Files cut short inside the headers and inside the section table.
  const Bytes whole = specimen::MatchingFile(Row(40));
  for (size_t length : {64, 200, 300}) {
    Put(target, "cut-" + std::to_string(length), Bytes(whole.begin(), whole.begin() + length));
  }
  Put(target, "mz-only", std::string("MZ") + std::string(62, '\0'));
}

void PeLargeSeeds() {
  const char* target = "pe_matcher_fuzzer";
  // Every exact-size record up to 64 KB, and the one near-size record with its misses.
  for (size_t row = 1; row <= kSignatureCount && !Row(row).IsEnd(); ++row) {
    const SignatureRecord& record = Row(row);
    if (record.Kind() != SizeKindExact || record.FileSize() > 65536) continue;
    Put(target, "match-" + std::to_string(row), specimen::MatchingFile(record));
  }
  for (size_t row = 1; row <= kSignatureCount && !Row(row).IsEnd(); ++row) {
    if (Row(row).Kind() != SizeKindNear) continue;
    Put(target, "match-" + std::to_string(row), specimen::MatchingFile(Row(row)));
    const Bytes longer = specimen::NearMissFile(Row(row), specimen::NearMiss::LongerByOne);
    if (!longer.empty()) Put(target, "near-miss-longer-" + std::to_string(row), longer);
  }
}

// --- The text scanner

std::string Pattern() {
  return std::string(reinterpret_cast<const char*>(RevealedTextPattern(0)),
                     TextSignatureTable[0].Length());
}

std::string Broken(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && i % 7 == 0) out += "\r\n\t ";
    out += text[i];
  }
  return out;
}

void TextSeeds() {
  const char* target = "text_scanner_fuzzer";
  const std::string pattern = Pattern();
  Put(target, "begin-pattern", "begin 644 x\n" + pattern + "\nend\n");
  Put(target, "BEGIN-broken", "BEGIN 644 data\r\n" + Broken(pattern) + "\r\nend\r\n");
  std::string near = pattern;
  near.back() ^= 1;
  Put(target, "begin-near", "begin 644 x\n" + near + "\n");
  std::string exact = "begin 644 x\n" + pattern + "\n";
  exact += std::string(4096 - exact.size(), 'z');
  Put(target, "exact-4096", exact);
  Put(target, "cut-at-4096", "begin 644 x\n" + std::string(4096 - 12 - 50, 'z') + pattern);
  Put(target, "long-5000", "begin 644 x\n" + pattern + std::string(5000, 'q'));
  Put(target, "hosts", std::string("127.0.0.1 localhost\r\n"));
  Put(target, "begi", std::string("begi"));
}

void TextLargeSeeds() {
  const char* target = "text_scanner_fuzzer";
  const std::string filler(20000, 'q');
  Put(target, "long-head", "begin 644 x\n" + Pattern() + filler);
  Put(target, "long-tail", "begin 644 x\n" + filler + Pattern());
}

// --- Performance data: blocks shaped as Windows writes them (see the process list tests)

struct Instance {
  std::string name;
  uint32_t pid;
};

void Put32(Bytes& b, size_t at, uint32_t value) { std::memcpy(&b[at], &value, 4); }

Bytes Block(const std::vector<Instance>& instances,
            const std::vector<uint32_t>& counters = {6, 784}) {
  constexpr size_t kBlockHeader = 64;
  constexpr size_t kObjectHeader = 64;
  Bytes b(kBlockHeader + kObjectHeader + 40 * counters.size(), 0);
  std::memcpy(b.data(), "P\0E\0R\0F\0", 8);
  Put32(b, 24, kBlockHeader);
  const size_t object = kBlockHeader;
  Put32(b, object + 4, static_cast<uint32_t>(kObjectHeader + 40 * counters.size()));
  Put32(b, object + 8, kObjectHeader);
  Put32(b, object + 32, static_cast<uint32_t>(counters.size()));
  Put32(b, object + 40, static_cast<uint32_t>(instances.size()));
  const size_t counterBlockLength = 8 + 8 * counters.size();
  for (size_t i = 0; i < counters.size(); ++i) {
    const size_t definition = kBlockHeader + kObjectHeader + 40 * i;
    Put32(b, definition, 40);
    Put32(b, definition + 4, counters[i]);
    Put32(b, definition + 36, static_cast<uint32_t>(8 + 8 * i));
  }
  for (const Instance& instance : instances) {
    const size_t nameBytes = ((instance.name.size() + 1) * 2 + 7) / 8 * 8;
    const size_t at = b.size();
    b.resize(at + 24 + nameBytes + counterBlockLength, 0);
    Put32(b, at, static_cast<uint32_t>(24 + nameBytes));
    Put32(b, at + 16, 24);
    Put32(b, at + 20, static_cast<uint32_t>((instance.name.size() + 1) * 2));
    for (size_t i = 0; i < instance.name.size(); ++i)
      b[at + 24 + 2 * i] = static_cast<uint8_t>(instance.name[i]);
    const size_t counterBlock = at + 24 + nameBytes;
    Put32(b, counterBlock, static_cast<uint32_t>(counterBlockLength));
    for (size_t i = 0; i < counters.size(); ++i) {
      Put32(b, counterBlock + 8 + 8 * i, counters[i] == 784 ? instance.pid : 0xbdbdbdbd);
    }
  }
  Put32(b, object, static_cast<uint32_t>(b.size() - object));
  return b;
}

// The fuzz target's header: counter index, table capacity, mode; then the block.
Bytes PerfInput(const Bytes& block, uint8_t capacity = 0, uint32_t counter = 784,
                const std::string& counters = std::string()) {
  Bytes input(6, 0);
  std::memcpy(input.data(), &counter, 4);
  input[4] = capacity;
  if (!counters.empty()) {
    input[5] = 1;
    input.push_back(static_cast<uint8_t>(counters.size()));
    input.push_back(static_cast<uint8_t>(counters.size() >> 8));
    input.insert(input.end(), counters.begin(), counters.end());
  }
  input.insert(input.end(), block.begin(), block.end());
  return input;
}

void PerfSeeds() {
  const char* target = "perf_data_fuzzer";
  const Bytes three = Block({{"Idle", 0}, {"System", 4}, {"notepad", 1234}});
  Put(target, "three", PerfInput(three));
  Put(target, "three-capacity-2", PerfInput(three, 2));
  Put(target, "matches",
      PerfInput(Block({{"note", 10}, {"wordpad", 11}, {"NOTEPAD", 12}, {"not", 13}})));
  Put(target, "names",
      PerfInput(
          Block({{"abcdefghijklmnop", 1}, {"abcdefghijklmnopq", 2}, {std::string(260, 'n'), 3}})));
  Put(target, "reordered", PerfInput(Block({{"a", 9}}, {784, 6, 1410})));
  Put(target, "no-id-process", PerfInput(Block({{"a", 9}}, {6, 1410})));
  std::vector<Instance> many;
  for (uint32_t i = 0; i < 40; ++i) many.push_back({"p" + std::to_string(i), 1000 + i});
  Put(target, "forty", PerfInput(Block(many)));
  Bytes negative = Block({{"p1", 5}, {"p2", 6}});
  Put32(negative, 64 + 40, 0xFFFFFFFF);
  Put(target, "negative-count", PerfInput(negative));
  const Bytes cut = Block({{"first", 1}, {"second", 2}});
  Put(target, "cut", PerfInput(Bytes(cut.begin(), cut.end() - 20)));
  const std::string counters = Literal(
      "1\0System\0"
      "230\0Process\0"
      "6\0% Processor Time\0"
      "784\0ID Process\0\0");
  Put(target, "own-counters", PerfInput(three, 0, 784, counters));
  Bytes growing = PerfInput(three);
  growing[5] = 2;  // served with padding past the first buffer
  Put(target, "growing", growing);
  const std::string odd = Literal(
      "784\0ID Process\0x\0process\0"
      "9999\0PROCESS\0\0");
  Put(target, "odd-counters", PerfInput(three, 0, 784, odd));
}

void PerfLargeSeeds() {
  std::vector<Instance> many;
  for (uint32_t i = 0; i < 300; ++i) many.push_back({"p" + std::to_string(i), 1000 + i});
  Put("perf_data_fuzzer", "three-hundred", PerfInput(Block(many)));
}

// --- The start-up sweep: a file selector, then values (control byte, bytes) split by 0xFF

void StartupSeeds() {
  const char* target = "startup_sweep_fuzzer";
  const auto values = [](char file, const std::vector<std::string>& list) {
    std::string input(1, file);
    for (size_t i = 0; i < list.size(); ++i) {
      if (i > 0) input += '\xff';
      input += list[i];
    }
    return input;
  };
  // Control 0x18: a named, terminated REG_SZ under Run; 0x19 the same under RunServices;
  // 0x1a REG_EXPAND_SZ; 0x08 unterminated; 0x1c REG_BINARY.
  Put(target, "system32",
      values(0, {"\x18svc=svcx.exe", "\x18other=notepad.exe",
                 "\x18q=\"C:\\WINDOWS\\system32\\svcx.exe\" /start", "\x19svc=svcx.exe -service",
                 "\x18mine=mysvcx.exe"}));
  Put(target, "spaces",
      values(1, {"\x18q=\"C:\\Program Files\\Long Folder\\run me.exe\" /silent",
                 "\x18plain=c:\\program files\\long folder\\RUN ME.EXE",
                 "\x18longer=C:\\Program Files\\Long Folder\\run me.exe.bak"}));
  Put(target, "expand",
      values(2, {"\x1a"
                 "env=%SystemDrive%\\svcx.exe",
                 "\x1a"
                 "bad=%Unknown%\\svcx.exe",
                 "\x08raw=C:\\svcx.exe",
                 Literal("\x1c"
                         "bin=C:\\svcx.exe\0tail")}));
  Put(target, "9x-system",
      values(3, {"\x18"
                 "a=a.exe",
                 "\x18"
                 "b=C:\\WINDOWS\\SYSTEM\\a.exe,1",
                 "\x18"
                 "c=\\a.exe"}));
  // Bit 7 of the first byte: the infected path is given, up to the first 0xFF.
  Put(target, "own-path",
      values('\x80', {"C:\\Temp\\svc%x.exe",
                      "\x18"
                      "a=C:\\Temp\\svc%x.exe /q",
                      "\x1a"
                      "b=%TEMP%\\svc%x.exe",
                      "\x18"
                      "c=svc%x.exe"}));
  Put(target, "long",
      values(0, {"\x18huge=C:\\WINDOWS\\system32\\svcx.exe " + std::string(286, 'x'),
                 "\x18" + std::string(200, 'n') + "=svcx.exe"}));
}

// --- wininit.ini

void WininitSeeds() {
  const char* target = "wininit_fuzzer";
  Put(target, "section-then-other",
      std::string("[Rename]\r\nNUL=C:\\OLD.EXE\r\n[Other]\r\nx=1\r\n"));
  Put(target, "no-section", std::string("[Other]\r\nx=1\r\n"));
  Put(target, "section-last-no-break", std::string("[other]\r\n[RENAME]\r\nNUL=C:\\A.EXE"));
  Put(target, "no-break", std::string("[Other]\r\nx=1"));
  Put(target, "empty", std::string());
  Put(target, "long-line", "[rename]\r\n" + std::string(700, 'a') + "[x]\r\n[next]\r\n");
  Put(target, "ctrl-z", std::string("[rename]\r\nNUL=C:\\A.EXE\r\n\x1a[other]\r\n"));
  Put(target, "lone-cr", std::string("[rename]\rNUL=C:\\A.EXE\r\r\n[x]\n"));
  Put(target, "two-sections", std::string("[rename]\nA=B\n[rename]\nC=D\n"));
}

}  // namespace

int main(int argc, char** argv) {
  const bool large = argc == 3 && std::strcmp(argv[1], "--large") == 0;
  if (!(argc == 2 && argv[1][0] != '-') && !large) {
    std::fprintf(stderr,
                 "usage: vexpurge-fuzz-seeds SEEDS_FOLDER\n"
                 "       vexpurge-fuzz-seeds --large CORPUS_FOLDER\n");
    return 2;
  }
  g_root = argv[argc - 1];
  if (large) {
    PeLargeSeeds();
    TextLargeSeeds();
    PerfLargeSeeds();
  } else {
    PeSeeds();
    TextSeeds();
    PerfSeeds();
    StartupSeeds();
    WininitSeeds();
  }
  return 0;
}
