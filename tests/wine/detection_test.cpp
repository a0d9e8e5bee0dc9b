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
#include "tests/wine/wine_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

TEST_F(WineDetection, RemoveDeletesExactlyTheSpecimens) {
  ASSERT_EQ(GetPlatformKind(), PlatformNt);
  const std::string a = Put("a.exe", specimen::MatchingFile(Row(40)));
  const std::string b = Put("big.dll", specimen::MatchingFile(Row(3)));
  const std::string hidden = Put("hidden.exe", specimen::MatchingFile(Row(45)));
  ASSERT_TRUE(::SetFileAttributesA(
      hidden.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
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
  const Lines expected = {a + "     W32/Tarvix.12.Backdoor removed",
                          b + "     W32/Tarvix.19.P.Backdoor removed",
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

TEST_F(WineDetection, ARunningSpecimenThatCannotBeTerminatedIsScheduledForTheBoot) {
  // Wine has no process object in its performance data: where that back end is the one used
  // (NT 4, NT 6 and later), the program cannot be terminated and says so.
  if (GetPlatformKind() != PlatformNt || GetNtGeneration() == NtGeneration5) {
    GTEST_SKIP() << "toolhelp or psapi terminates it";
  }
  PendingRenamesGuard pending;  // puts the list back: nothing happens at the next start
  const std::string path = StartRunningSpecimen("running.exe", true);
  ASSERT_FALSE(path.empty());

  MessageBoxWatcher box(path);
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);

  EXPECT_EQ(box.answered(), 1);
  EXPECT_TRUE(SpecimenRunning());
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(g_lines, (Lines{path + "     " + detectionName_ + " Unable to remove"}));
  EXPECT_EQ(g_scan.restartNeeded, 1);
  bool found = false;
  for (const std::string& entry : MultiString(HKEY_LOCAL_MACHINE, kSessionManager, kPending)) {
    found = found || _stricmp(entry.c_str(), ("\\??\\" + path).c_str()) == 0;
  }
  EXPECT_TRUE(found) << "no pending delete for " << path;
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
  ASSERT_TRUE(WriteAll(
      hosts_, Text("begin 644 hosts\r\n" +
                   std::string(reinterpret_cast<const char*>(pattern), 100) + "\r\nend\r\n")));
  const std::string path = Put("trigger.exe", specimen::MatchingFile(Row(1)));
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);
  EXPECT_FALSE(Exists(hosts_));
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(_stricmp(g_lines[0].c_str(), (hosts_ + "     W32/Kelto.Worm removed").c_str()), 0)
      << g_lines[0];
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

TEST_F(Win98Wininit, NoFileIsCreatedWithTheSectionAndTheEntry) {
  EXPECT_EQ(GetNtGeneration(), NtGenerationNone);
  const std::string path = Put("later file.exe", Text("x"));
  EXPECT_EQ(ScheduleBootRemoval(path.c_str()), 1);
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
  EXPECT_EQ(ReadAll(wininit_),
            Text("[Other]\nkey=value\r\n[rename]\r\nNUL=" + ShortPath(path) + "\r\n"));
}

}  // namespace
