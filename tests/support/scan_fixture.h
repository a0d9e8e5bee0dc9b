// A simulated machine with drive C: on a fresh temporary folder, the scan state at its start
// values and a stand-in main window: the ground for every engine test on the host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/scan_state.h"
#include "tests/double/sim_machine.h"

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  sim::Machine& machine() { return sim::machine(); }
  sim::MainWindow& window() { return *window_; }

  // Maps another drive letter to a fresh folder of its own; returns that host folder.
  std::string AddDrive(char letter, UINT type = DRIVE_FIXED);
  // The host path behind a Windows path on one of this test's drives.
  std::string Host(const std::string& windowsPath) const;
  // Creates a file (and the folders above it) with these bytes.
  void MakeFile(const std::string& windowsPath, const std::string& bytes = "x");
  void MakeFolder(const std::string& windowsPath);
  bool Exists(const std::string& windowsPath) const;
  std::string Contents(const std::string& windowsPath) const;

  // Starts a scan of every fixed drive, as the main window's Scan button does.
  void ScanAllDrives();

 private:
  std::string root_;
  std::unique_ptr<sim::MainWindow> window_;
};
