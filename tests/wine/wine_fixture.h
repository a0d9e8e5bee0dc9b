// What the Windows-side tests share: a scratch folder and key (from the contract fixture), a
// message-only window that collects the results list, the engine's state reset, running
// specimens started from the scratch folder, and start-up values removed again afterwards.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/contract/contract_fixture.h"

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

struct SignatureRecord;
const SignatureRecord& Row(int row);

extern Lines g_lines;

std::string ProgramFolder();
Bytes ReadAll(const std::string& path);
bool WriteAll(const std::string& path, const Bytes& bytes);
Bytes Text(const std::string& text);
bool Exists(const std::string& path);
// A value's raw data; empty when it does not exist.
std::string RawValue(HKEY root, const char* key, const char* name);
// Every non-empty string of a REG_MULTI_SZ value.
std::vector<std::string> MultiString(HKEY root, const char* key, const char* name);

extern const char kSessionManager[];
extern const char kPending[];

// Puts the machine's boot-time list back as it was when this object was made.
class PendingRenamesGuard {
 public:
  PendingRenamesGuard();
  ~PendingRenamesGuard();
  PendingRenamesGuard(const PendingRenamesGuard&) = delete;
  PendingRenamesGuard& operator=(const PendingRenamesGuard&) = delete;

 private:
  std::string before_;
};

// Answers the system's message boxes that carry this caption, on a thread of its own, as a user
// would: a box left open would block the test for ever.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(std::string caption);
  ~MessageBoxWatcher();
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;
  int answered() const { return answered_; }

 private:
  std::string caption_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

class WineDetection : public ContractTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Put(const std::string& name, const Bytes& bytes);
  void SetStartupValue(const char* key, const std::string& name, const std::string& data);
  bool HasStartupValue(const char* key, const std::string& name);
  // Our harmless program, padded so that a record matches its file, started from the scratch
  // folder (holding its own image open with hold). Returns its path.
  // program names another of our programs beside the test program (of the other width, say).
  std::string StartRunningSpecimen(const char* name, bool hold = false,
                                   const char* program = "runnable-specimen.exe");
  bool SpecimenRunning(size_t index = 0);

  HWND window_ = nullptr;
  std::vector<PROCESS_INFORMATION> started_;
  std::vector<std::pair<std::string, std::string>> runValues_;
  std::string detectionName_;
};
