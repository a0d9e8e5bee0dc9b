// The memory sweep, kill-by-image and the service calls against real processes, services and
// registry under Wine. The prefix's Windows version is set per run (see tests/CMakeLists.txt),
// so the same tests take the toolhelp, psapi and performance-data paths for real.
#include <windows.h>

#include <algorithm>
#include <string>

#include "cleanup/service_keys.h"
#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "engine/texts.h"
#include "memory/memory_sweep.h"
#include "memory/service_stop.h"
#include "memory/version.h"
#include "tests/wine/wine_fixture.h"

namespace {

class WineMemory : public WineDetection {
 protected:
  // On the 9x family toolhelp gives a full path; Wine gives the bare file name even then. Run
  // from the specimen's folder, the bare name still finds the file, as the full path would.
  void SetUp() override {
    WineDetection::SetUp();
    ::GetCurrentDirectoryA(sizeof previous_, previous_);
    ::SetCurrentDirectoryA(Scratch().c_str());
  }
  void TearDown() override {
    ::SetCurrentDirectoryA(previous_);
    WineDetection::TearDown();
  }

  char previous_[MAX_PATH] = {};
};

TEST_F(WineMemory, TheSweepTerminatesARunningSpecimenAndRemovesItsFile) {
  const std::string path = StartRunningSpecimen("resident.exe");
  ASSERT_FALSE(path.empty());
  const std::string clean = Put("clean.txt", Text("nothing here"));

  CopyText(g_scan.scanTarget, Scratch().c_str());
  RunScan();

  EXPECT_FALSE(SpecimenRunning());
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(Exists(clean));
  // Toolhelp on Wine names the file without its folder; the line shows the path walked.
  const std::string shown = GetPlatformKind() == PlatformWin9x ? "resident.exe" : path;
  ASSERT_GE(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0], "System Memory    W32/Tarvix.Backdoor removed");
  EXPECT_EQ(_stricmp(g_lines[1].c_str(), (shown + "     W32/Tarvix.Backdoor removed").c_str()), 0)
      << g_lines[1];
  EXPECT_EQ(g_scan.filesInfected, 1);
  EXPECT_EQ(g_scan.filesRemoved, 1);
  EXPECT_EQ(g_lines.back(), "Total files removed\t\t:  1");
}

TEST_F(WineMemory, ReportOnlyTerminatesNothing) {
  const std::string path = StartRunningSpecimen("resident.exe");
  ASSERT_FALSE(path.empty());
  g_scan.removalAction = ActionReportOnly;
  CopyText(g_scan.scanTarget, Scratch().c_str());
  RunScan();
  EXPECT_TRUE(SpecimenRunning());
  EXPECT_TRUE(Exists(path));
  ASSERT_FALSE(g_lines.empty());
  const std::string told = " not terminated as per user's selection";
  EXPECT_EQ(g_lines[0].rfind("System Memory    ", 0), 0u) << g_lines[0];
  EXPECT_EQ(g_lines[0].substr(g_lines[0].size() - std::min(g_lines[0].size(), told.size())), told);
}

TEST_F(WineMemory, AFileHeldByItsOwnRunningProgramIsFreedAndRemoved) {
  if (GetPlatformKind() == PlatformNt && GetNtGeneration() != NtGeneration5) {
    GTEST_SKIP() << "performance data has no processes under Wine";
  }
  const std::string path = StartRunningSpecimen("holder.exe", true);
  ASSERT_FALSE(path.empty());
  EXPECT_FALSE(::DeleteFileA(path.c_str()));

  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);

  EXPECT_FALSE(SpecimenRunning());
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(g_lines, (Lines{path + "     " + detectionName_ + " removed"}));
  EXPECT_EQ(g_scan.restartNeeded, 0);
}

TEST_F(WineMemory, KillProcessByImageOnEveryGeneration) {
  const std::string path = StartRunningSpecimen("target.exe");
  ASSERT_FALSE(path.empty());
  MessageBoxWatcher box(path);
  const int result = KillProcessByImage(path.c_str());
  if (GetPlatformKind() == PlatformNt && GetNtGeneration() != NtGeneration5) {
    // Performance data fails safely: nothing is terminated and the user is told.
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box.answered(), 1);
    EXPECT_TRUE(SpecimenRunning());
  } else {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(box.answered(), 0);
    EXPECT_FALSE(SpecimenRunning());
  }
}

// --- Services ---------------------------------------------------------------------------------

class WineServices : public WineDetection {
 protected:
  void TearDown() override {
    for (int set : {1, 2}) {
      const std::string base =
          "SYSTEM\\ControlSet00" + std::to_string(set) + "\\Services\\" + kName;
      for (const char* sub : {"\\Enum", "\\Security", ""})
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (base + sub).c_str());
    }
    if (SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
      if (SC_HANDLE service = ::OpenServiceA(manager, kName, SERVICE_ALL_ACCESS)) {
        ::DeleteService(service);
        ::CloseServiceHandle(service);
      }
      ::CloseServiceHandle(manager);
    }
    WineDetection::TearDown();
  }

  static constexpr const char* kName = "vexpurgetestsvc";
};

TEST_F(WineServices, ARegisteredServiceIsFoundAndItsKeysGoFromBothControlSets) {
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  const std::string binary = ProgramFolder() + "\\runnable-specimen.exe";
  SC_HANDLE service = ::CreateServiceA(
      manager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
      SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(service, nullptr) << ::GetLastError();
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);

  EXPECT_FALSE(StopService("vexpurge-no-such-service"));
  // It is not running: the stop request is refused and no stop is reported.
  EXPECT_FALSE(StopService(kName));

  // Wine keeps services only under CurrentControlSet; the numbered sets are made here.
  for (int set : {1, 2}) {
    const std::string base = "SYSTEM\\ControlSet00" + std::to_string(set) + "\\Services\\" + kName;
    for (const char* sub : {"\\Enum", "\\Security"}) {
      HKEY key;
      ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (base + sub).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                ERROR_SUCCESS);
      ::RegCloseKey(key);
    }
  }
  EXPECT_TRUE(RemoveServiceKeys(kName));
  for (int set : {1, 2}) {
    HKEY key;
    const std::string base = "SYSTEM\\ControlSet00" + std::to_string(set) + "\\Services\\" + kName;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, base.c_str(), 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND)
        << base;
  }
  EXPECT_FALSE(RemoveServiceKeys(kName));
  EXPECT_FALSE(RemoveServiceKeys(""));
}

}  // namespace
