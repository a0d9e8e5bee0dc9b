#include "tests/support/scan_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

void ScanTest::SetUp() {
  sim::Reset();
  ResetScanState();
  char pattern[] = "/tmp/vexpurge-scan-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  root_ = made;
  AddDrive('C');
  window_ = std::make_unique<sim::MainWindow>();
}

void ScanTest::TearDown() {
  window_.reset();
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string ScanTest::AddDrive(char letter, UINT type) {
  const std::string folder = root_ + "/" + std::string(1, letter);
  fs::create_directories(folder);
  machine().MapDrive(letter, folder, type);
  return folder;
}

std::string ScanTest::Host(const std::string& windowsPath) const {
  std::string rest = windowsPath.substr(2);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  return root_ + "/" + std::string(1, static_cast<char>(std::toupper(windowsPath[0]))) + rest;
}

void ScanTest::MakeFile(const std::string& windowsPath, const std::string& bytes) {
  const fs::path path = Host(windowsPath);
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

void ScanTest::MakeFolder(const std::string& windowsPath) {
  fs::create_directories(Host(windowsPath));
}

bool ScanTest::Exists(const std::string& windowsPath) const {
  return fs::exists(Host(windowsPath));
}

std::string ScanTest::Contents(const std::string& windowsPath) const {
  std::ifstream in(Host(windowsPath), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void ScanTest::ScanAllDrives() {
  CopyText(g_scan.scanTarget, "!:");
  g_scan.removalAction = ActionRemove;
  g_scan.terminateRequested = false;
}
