#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/scan_state.h"
#include "tests/double/sim_machine.h"

namespace fs = std::filesystem;

namespace fuzz {
namespace {

std::string g_folder;

void RemoveFolder() {
  std::error_code ignored;
  if (!g_folder.empty()) fs::remove_all(g_folder, ignored);
}

const std::string& Folder() {
  if (g_folder.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/vexpurge-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("vexpurge fuzz: mkdtemp");
      std::abort();
    }
    g_folder = pattern;
    std::atexit(RemoveFolder);
  }
  return g_folder;
}

std::string DriveFolder() { return Folder() + "/C"; }

}  // namespace

std::string FreshMachine() {
  const std::string drive = DriveFolder();
  std::error_code ignored;
  fs::remove_all(drive, ignored);
  fs::create_directories(drive);
  sim::Reset();
  sim::machine().MapDrive('C', drive);
  return drive;
}

std::string HostPath(const std::string& windowsPath) {
  std::string rest = windowsPath.size() > 2 ? windowsPath.substr(2) : std::string();
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  const fs::path path = DriveFolder() + rest;
  fs::create_directories(path.parent_path());
  return path.string();
}

void WriteHostFile(const std::string& hostPath, const uint8_t* data, size_t size) {
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) Violation("cannot write %s", hostPath.c_str());
}

void WriteHostFile(const std::string& hostPath, const std::string& bytes) {
  WriteHostFile(hostPath, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool ReadHostFile(const std::string& hostPath, std::string* bytes) {
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *bytes = content.str();
  return true;
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
  WriteHostFile(HostPath(windowsPath), data, size);
  const size_t handles = sim::machine().OpenHandles();
  ResetScanState();
  g_scan.removalAction = ActionReportOnly;
  g_scan.memorySweepActive = false;
  return handles;
}

}  // namespace fuzz
