// Contract tests pin what the logic expects of a platform call. Each is written once and built
// twice: on the host against the simulated machine, and for Windows against the real calls
// under Wine. A difference between the two shows up as a failing test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/base.h"

class ContractTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Windows path (no closing backslash) of an empty folder on C: that belongs to this test.
  const std::string& Scratch() const { return scratch_; }
  // A key under HKEY_CURRENT_USER that belongs to this test, created empty.
  const std::string& ScratchKey() const { return scratchKey_; }

  // Writes a file through the platform layer; the path is relative to Scratch().
  std::string WriteFile(const std::string& relative, const std::string& bytes);
  std::string MakeFolder(const std::string& relative);
  // Reads a whole file back; nullopt-like empty flag through found.
  std::string ReadFile(const std::string& path, bool* found = nullptr);

 private:
  std::string scratch_;
  std::string scratchKey_;
  std::string host_;  // host build only: the temporary folder behind C:
};
