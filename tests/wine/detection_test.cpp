// Detection and removal against the real Windows calls under Wine: specimens and clean files on
// C:, start-up values in the real registry, a file held by a running program scheduled for the
// boot, the hosts file, and (with the prefix set to Windows 98) wininit.ini.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "cleanup/startup_cleanup.h"
#include "engine/disinfection.h"
#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "engine/text_scanner.h"
#include "engine/texts.h"
#include "memory/version.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "tests/contract/contract_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const SignatureRecord& Row(int row) { return SignatureTable[row - 1]; }

Lines g_lines;

LRESULT CALLBACK CollectLines(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == AppendLineMessage) {
    g_lines.emplace_back(g_scan.ReportLine);
    return 0;
  }
  if (message == SetStatusMessage) return 0;
  return ::DefWindowProcA(window, message, wParam, lParam);
}

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.rfind('\\'));
}

Bytes ReadAll(const std::string& path) {
  Bytes bytes;
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return bytes;
  char buffer[65536];
  int n;
  while ((n = plat::_read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  plat::_close(fd);
  return bytes;
}

bool WriteAll(const std::string& path, const Bytes& bytes) {
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  const int fd = plat::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const bool ok = plat::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size())) == static_cast<int>(bytes.size());
  plat::_close(fd);
  return ok;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A value's raw data; empty when it does not exist.
std::string RawValue(HKEY root, const char* key, const char* name) {
  std::string data;
  HKEY handle;
  if (::RegOpenKeyExA(root, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return data;
  DWORD size = 0;
  if (::RegQueryValueExA(handle, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    data.resize(size);
    if (::RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]), &size) !=
        ERROR_SUCCESS) {
      data.clear();
    }
    data.resize(size);
  }
  ::RegCloseKey(handle);
  return data;
}

// Every non-empty string of a REG_MULTI_SZ value. The boot-time list pairs each file with its
// new name, an empty string for a delete, so empty strings do not end it.
std::vector<std::string> MultiString(HKEY root, const char* key, const char* name) {
  std::vector<std::string> strings;
  const std::string data = RawValue(root, key, name);
  size_t at = 0;
  while (at < data.size()) {
    const size_t end = data.find('\0', at);
    const std::string entry = data.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!entry.empty()) strings.push_back(entry);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return strings;
}

constexpr char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPending[] = "PendingFileRenameOperations";

class WineDetection : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    ResetScanState();
    g_lines.clear();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = CollectLines;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "VexpurgeTestReport";
    ::RegisterClassA(&windowClass);
    window_ = ::CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    ASSERT_NE(window_, nullptr);
    g_scan.mainWindow = window_;
    g_scan.memorySweepActive = false;
    g_scan.removalAction = ActionRemove;
  }

  void TearDown() override {
    for (PROCESS_INFORMATION& process : started_) {
      ::TerminateProcess(process.hProcess, 0);
      ::WaitForSingleObject(process.hProcess, 5000);
      ::CloseHandle(process.hProcess);
      ::CloseHandle(process.hThread);
    }
    for (const auto& value : runValues_) {
      HKEY key;
      if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, value.first.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        ::RegDeleteValueA(key, value.second.c_str());
        ::RegCloseKey(key);
      }
    }
    ::DestroyWindow(window_);
    ContractTest::TearDown();
  }

  std::string Put(const std::string& name, const Bytes& bytes) {
    const std::string path = Scratch() + "\\" + name;
    EXPECT_TRUE(WriteAll(path, bytes)) << path;
    return path;
  }

  void SetStartupValue(const char* key, const std::string& name, const std::string& data) {
    HKEY handle;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>(data.size() + 1));
    ::RegCloseKey(handle);
    runValues_.emplace_back(key, name);
  }

  bool HasStartupValue(const char* key, const std::string& name) {
    HKEY handle;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    const bool found = ::RegQueryValueExA(handle, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    ::RegCloseKey(handle);
    return found;
  }

  // Our harmless program, padded so that a record matches its file, started from the scratch
  // folder. Returns its path.
  std::string StartRunningSpecimen(const char* name) {
    Bytes program = ReadAll(ProgramFolder() + "\\runnable-specimen.exe");
    EXPECT_FALSE(program.empty()) << "runnable-specimen.exe must be beside the test program";
    const int index = specimen::FindPaddableRecord(program);
    EXPECT_GE(index, 0);
    if (index < 0) return "";
    EXPECT_TRUE(specimen::PadToMatch(program, SignatureTable[index]));
    const std::string path = Put(name, program);
    std::string command = "\"" + path + "\" --seconds 60";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(::CreateProcessA(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                 Scratch().c_str(), &startup, &process));
    started_.push_back(process);
    ::WaitForInputIdle(process.hProcess, 2000);
    ::Sleep(300);
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    detectionName_ = SignatureTable[index].Name();
    return path;
  }

  HWND window_ = nullptr;
  std::vector<PROCESS_INFORMATION> started_;
  std::vector<std::pair<std::string, std::string>> runValues_;
  std::string detectionName_;
};

TEST_F(WineDetection, RemoveDeletesExactlyTheSpecimens) {
  ASSERT_EQ(GetPlatformKind(), PlatformNt);
  const std::string a = Put("a.exe", specimen::MatchingFile(Row(40)));
  const std::string b = Put("big.dll", specimen::MatchingFile(Row(3)));
  const std::string hidden = Put("hidden.exe", specimen::MatchingFile(Row(45)));
  ASSERT_TRUE(::SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  const Bytes nearBytes = specimen::NearMissFile(Row(122), specimen::NearMiss::FirstPatternByte);
  const std::string nearMiss = Put("near.exe", nearBytes);
  const Bytes programBytes = ReadAll(ProgramFolder() + "\\runnable-specimen.exe");
  const std::string program = Put("program.exe", programBytes);
  const std::string text = Put("notes.txt", Text("begin here\r\nnothing to see\r\n"));

  CopyText(g_scan.scanTarget, Scratch().c_str());
  RunScan();

  EXPECT_FALSE(Exists(a));
  EXPECT_FALSE(Exists(b));
  EXPECT_FALSE(Exists(hidden));
  EXPECT_EQ(ReadAll(nearMiss), nearBytes);
  EXPECT_EQ(ReadAll(program), programBytes);
  EXPECT_EQ(ReadAll(text), Text("begin here\r\nnothing to see\r\n"));
  EXPECT_EQ(g_scan.filesScanned, 6);
  EXPECT_EQ(g_scan.filesInfected, 3);
  EXPECT_EQ(g_scan.filesRemoved, 3);
  const Lines expected = {a + "     W32/Tarvix.12.Backdoor removed", b + "     W32/Tarvix.19.P.Backdoor removed",
                          hidden + "     W32/Tarvix.A.VirTool removed"};
  ASSERT_GE(g_lines.size(), 3u);
  EXPECT_EQ(Lines(g_lines.begin(), g_lines.begin() + 3), expected);
  EXPECT_EQ(g_lines.back(), "Total files removed\t\t:  3");
}

TEST_F(WineDetection, StartupValuesThatLaunchASpecimenAreRemoved) {
  const std::string path = Put("starter.exe", specimen::MatchingFile(Row(58)));
  SetStartupValue(kRunKey, "vexpurge-test-bad", "\"" + path + "\" /autorun");
  SetStartupValue(kRunServicesKey, "vexpurge-test-bad2", path);
  SetStartupValue(kRunKey, "vexpurge-test-good", "C:\\windows\\notepad.exe");
  const bool menuBuilder = HasStartupValue(kRunServicesKey, "winemenubuilder");

  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);

  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(HasStartupValue(kRunKey, "vexpurge-test-bad"));
  EXPECT_FALSE(HasStartupValue(kRunServicesKey, "vexpurge-test-bad2"));
  EXPECT_TRUE(HasStartupValue(kRunKey, "vexpurge-test-good"));
  EXPECT_EQ(HasStartupValue(kRunServicesKey, "winemenubuilder"), menuBuilder);
  EXPECT_EQ(g_lines, (Lines{"System Registry     W32/Tarvix.Backdoor removed",
                            "System Registry     W32/Tarvix.Backdoor removed",
                            path + "     W32/Tarvix.Bs.Backdoor removed"}));
}

TEST_F(WineDetection, ARunningSpecimenIsScheduledForDeletionAtTheBoot) {
  ASSERT_EQ(GetPlatformKind(), PlatformNt);
  const std::string pendingBefore = RawValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending);
  const std::string path = StartRunningSpecimen("running.exe");
  ASSERT_FALSE(path.empty());

  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);

  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(g_lines, (Lines{path + "     " + detectionName_ + " Unable to remove"}));
  EXPECT_EQ(g_scan.restartNeeded, 1);
  const std::vector<std::string> pending = MultiString(HKEY_LOCAL_MACHINE, kSessionManager, kPending);
  bool found = false;
  for (const std::string& entry : pending) found = found || _stricmp(entry.c_str(), ("\\??\\" + path).c_str()) == 0;
  EXPECT_TRUE(found) << "no pending delete for " << path;

  // Put the list back as it was, so that nothing happens at the prefix's next start.
  HKEY key;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  if (pendingBefore.empty()) {
    ::RegDeleteValueA(key, kPending);
  } else {
    ::RegSetValueExA(key, kPending, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(pendingBefore.data()),
                     static_cast<DWORD>(pendingBefore.size()));
  }
  ::RegCloseKey(key);
}

class WineHosts : public WineDetection {
 protected:
  void SetUp() override {
    WineDetection::SetUp();
    char system[MAX_PATH];
    ::GetSystemDirectoryA(system, sizeof system);
    hosts_ = std::string(system) + "\\drivers\\etc\\hosts";
    original_ = ReadAll(hosts_);
    hadHosts_ = Exists(hosts_);
  }
  void TearDown() override {
    if (hadHosts_) WriteAll(hosts_, original_);
    WineDetection::TearDown();
  }

  std::string hosts_;
  Bytes original_;
  bool hadHosts_ = false;
};

TEST_F(WineHosts, HostsFileWithTheTextSignatureGoesAfterABinaryDetection) {
  const unsigned char* pattern = RevealedTextPattern(0);
  ASSERT_TRUE(WriteAll(hosts_, Text("begin 644 hosts\r\n" + std::string(reinterpret_cast<const char*>(pattern), 100) +
                                    "\r\nend\r\n")));
  const std::string path = Put("trigger.exe", specimen::MatchingFile(Row(1)));
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);
  EXPECT_FALSE(Exists(hosts_));
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(_stricmp(g_lines[0].c_str(), (hosts_ + "     W32/Kelto.Worm removed").c_str()), 0) << g_lines[0];
}

TEST_F(WineHosts, PlainHostsFileIsUntouched) {
  const Bytes plain = Text("127.0.0.1 localhost\r\n::1 localhost\r\n");
  ASSERT_TRUE(WriteAll(hosts_, plain));
  const std::string path = Put("trigger.exe", specimen::MatchingFile(Row(1)));
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);
  EXPECT_EQ(ReadAll(hosts_), plain);
  EXPECT_EQ(g_lines.size(), 1u);
}

// --- Windows 98: run with the prefix's version set to win98 -----------------------------------

class Win98Wininit : public WineDetection {
 protected:
  void SetUp() override {
    WineDetection::SetUp();
    if (GetPlatformKind() != PlatformWin9x) GTEST_SKIP() << "needs the prefix set to win98";
    char windows[MAX_PATH];
    ::GetWindowsDirectoryA(windows, sizeof windows);
    wininit_ = std::string(windows) + "\\wininit.ini";
    hadWininit_ = Exists(wininit_);
    original_ = ReadAll(wininit_);
    ::DeleteFileA(wininit_.c_str());
  }
  void TearDown() override {
    if (!wininit_.empty()) {
      ::DeleteFileA(wininit_.c_str());
      if (hadWininit_) WriteAll(wininit_, original_);
    }
    WineDetection::TearDown();
  }

  std::string ShortPath(const std::string& path) {
    char buffer[MAX_PATH];
    const DWORD length = ::GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
    EXPECT_GT(length, 0u);
    return std::string(buffer, length);
  }

  std::string wininit_;
  Bytes original_;
  bool hadWininit_ = false;
};

TEST_F(Win98Wininit, RunningSpecimenGoesIntoANewWininit) {
  EXPECT_EQ(GetNtGeneration(), NtGenerationNone);
  const std::string path = StartRunningSpecimen("running98.exe");
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);
  EXPECT_EQ(g_lines, (Lines{path + "     " + detectionName_ + " Unable to remove"}));
  EXPECT_EQ(g_scan.restartNeeded, 1);
  EXPECT_EQ(ReadAll(wininit_), Text("[rename]\r\nNUL=" + ShortPath(path) + "\r\n"));
}

TEST_F(Win98Wininit, EntryJoinsAnExistingRenameSection) {
  const std::string path = Put("later file.exe", Text("x"));
  ASSERT_TRUE(WriteAll(wininit_, Text("[Rename]\r\nNUL=C:\\OLD.EXE\r\n[Other]\r\nkey=value")));
  EXPECT_EQ(ScheduleBootRemoval(path.c_str()), 1);
  EXPECT_EQ(ReadAll(wininit_),
            Text("[Rename]\nNUL=C:\\OLD.EXE\nNUL=" + ShortPath(path) + "\r\n[Other]\nkey=value"));
  ASSERT_TRUE(WriteAll(wininit_, Text("[Other]\r\nkey=value")));
  EXPECT_EQ(ScheduleBootRemoval(path.c_str()), 1);
  EXPECT_EQ(ReadAll(wininit_), Text("[Other]\nkey=value\r\n[rename]\r\nNUL=" + ShortPath(path) + "\r\n"));
}

}  // namespace
