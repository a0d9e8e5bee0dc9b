// The memory sweep and the termination of processes that hold an infected file, on every
// Windows generation, with the service path for a backdoor that cannot be terminated.
#include "memory/memory_sweep.h"

#include <string>
#include <vector>

#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/texts.h"
#include "memory/version.h"
#include "tests/support/scan_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

using Lines = std::vector<std::string>;
using sim::WindowsVersion;

const SignatureRecord& Row(int row) { return SignatureTable[row - 1]; }

class MemorySweep : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    MakeFolder("C:\\WINDOWS\\system32\\drivers\\etc");
    ScanAllDrives();
  }

  // A running process started from a specimen of row 40.
  sim::Process& InfectedProcess(const std::string& path, DWORD pid = 100) {
    const Bytes file = specimen::MatchingFile(Row(40));
    MakeFile(path, std::string(file.begin(), file.end()));
    sim::Process& process = machine().AddProcess(pid, path);
    if (machine().Is9x()) process.toolhelpName = path;
    return process;
  }

  sim::Process& CleanProcess(const std::string& path, DWORD pid) {
    MakeFile(path, "clean program");
    return machine().AddProcess(pid, path);
  }

  bool RunScanExited() {
    try {
      RunScan();
    } catch (const sim::ProgramExit& exit) {
      EXPECT_EQ(exit.status, 0);
      return true;
    }
    return false;
  }

  using Bytes = std::vector<uint8_t>;
};

Lines RemovedFromMemory(const std::string& path) {
  return {"System Memory    W32/Tarvix.Backdoor removed",
          path + "     W32/Tarvix.Backdoor removed"};
}

TEST_F(MemorySweep, OnXpAnInfectedProcessIsTerminatedAndItsFileRemovedBeforeTheDrives) {
  machine().SetVersion(WindowsVersion::WinXP);
  CleanProcess("C:\\WINDOWS\\explorer.exe", 8);
  sim::Process& bad = InfectedProcess("C:\\WINDOWS\\Temp\\bad.exe", 100);
  EXPECT_FALSE(RunScanExited());
  EXPECT_FALSE(bad.running);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\Temp\\bad.exe"));
  const Lines expected = RemovedFromMemory("C:\\WINDOWS\\Temp\\bad.exe");
  ASSERT_GE(window().list.size(), 2u);
  EXPECT_EQ(Lines(window().list.begin(), window().list.begin() + 2), expected);
  EXPECT_EQ(g_scan.filesInfected, 1);
  EXPECT_EQ(g_scan.filesRemoved, 1);
  EXPECT_EQ(g_scan.filesScanned, 1);  // only explorer.exe is left for the drive walk
  EXPECT_FALSE(g_scan.memorySweepActive);
  EXPECT_EQ(window().status, "Scanning completed");
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

// Under WoW64 a 32-bit caller cannot read a 64-bit process's modules: the image name finds it.
TEST_F(MemorySweep, UnderWow64ARunning64BitProcessIsFoundByItsImageName) {
  machine().SetVersion(WindowsVersion::Win7);
  machine().width = sim::Machine::Width::Program32On64;
  sim::Process& bad = InfectedProcess("C:\\WINDOWS\\Temp\\bad64.exe", 100);
  bad.image64 = true;
  EXPECT_FALSE(RunScanExited());
  EXPECT_FALSE(bad.running);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\Temp\\bad64.exe"));
  ASSERT_GE(window().list.size(), 2u);
  EXPECT_EQ(Lines(window().list.begin(), window().list.begin() + 2),
            RemovedFromMemory("C:\\WINDOWS\\Temp\\bad64.exe"));
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(MemorySweep, On98ToolhelpFindsTheProcessAndTheFileGoes) {
  machine().SetVersion(WindowsVersion::Win98);
  sim::Process& bad = InfectedProcess("C:\\WINDOWS\\bad.exe");
  EXPECT_FALSE(RunScanExited());
  EXPECT_FALSE(bad.running);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\bad.exe"));
  EXPECT_EQ(window().allLines[0], "System Memory    W32/Tarvix.Backdoor removed");
}

TEST_F(MemorySweep, On98AProcessThatCannotBeTerminatedIsStillActedOn) {
  machine().SetVersion(WindowsVersion::Win98);
  sim::Process& bad = InfectedProcess("C:\\WINDOWS\\bad.exe");
  bad.refusesTermination = true;
  EXPECT_FALSE(RunScanExited());
  EXPECT_TRUE(bad.running);
  // The forced action tries the file: still held, so it waits for the boot in wininit.ini.
  EXPECT_EQ(window().allLines[0], "System Memory    W32/Tarvix.Backdoor removed");
  EXPECT_TRUE(Exists("C:\\WINDOWS\\wininit.ini"));
  EXPECT_EQ(g_scan.restartNeeded, 1);
}

TEST_F(MemorySweep, ReportOnlyTerminatesNothing) {
  for (WindowsVersion version : {WindowsVersion::Win98, WindowsVersion::WinXP}) {
    sim::Reset();
    ResetScanState();
    machine().MapDrive('C', Host("C:\\"));
    sim::MainWindow window;
    machine().SetVersion(version);
    ScanAllDrives();
    g_scan.removalAction = ActionReportOnly;
    const std::string path = "C:\\bad.exe";
    sim::Process& bad = InfectedProcess(path);
    sim::Process& twin = machine().AddProcess(101, path);  // a second process of the same image
    if (machine().Is9x()) twin.toolhelpName = path;
    EXPECT_FALSE(RunScanExited());
    EXPECT_TRUE(bad.running);
    EXPECT_EQ(bad.terminateCalls, 0);
    const std::string name = Row(40).Name();
    const std::string running =
        "System Memory    " + path + "     " + name + " not terminated as per user's selection";
    ASSERT_GE(window.allLines.size(), 3u);
    EXPECT_EQ(window.allLines[0], running);
    EXPECT_EQ(window.allLines[1], running);
    EXPECT_EQ(window.allLines[2],
              path + "     " + name + " not disinfected as per user's selection");
    // One file, found in memory twice and on the drive once, is one infected file.
    EXPECT_EQ(g_scan.filesInfected, 1);
    EXPECT_TRUE(Exists(path));
  }
}

TEST_F(MemorySweep, AProcessWhoseImageCannotBeReadIsNeverWalkedOrTerminated) {
  machine().SetVersion(WindowsVersion::WinXP);
  sim::Process& bad = InfectedProcess("C:\\bad.exe", 100);
  machine().Meta("C:\\bad.exe").denyAccess = true;
  InfectedProcess("C:\\second.exe", 101);
  EXPECT_FALSE(RunScanExited());
  EXPECT_TRUE(bad.running);
  EXPECT_EQ(bad.terminateCalls, 0);
  EXPECT_FALSE(Exists("C:\\second.exe"));
}

TEST_F(MemorySweep, ABackdoorServiceThatStopsIsUnregisteredAndItsFileRemoved) {
  machine().SetVersion(WindowsVersion::WinXP);
  sim::Process& bad = InfectedProcess("C:\\WINDOWS\\system32\\svcx.exe", 100);
  bad.refusesTermination = true;
  sim::Service& service = machine().AddService("svcx");
  service.stop = sim::StopBehaviour::AfterPolls;
  service.pollsUntilStopped = 2;
  service.pid = 100;
  machine().registry.CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\svcx\\Enum");
  machine().registry.CreateKey(HKEY_LOCAL_MACHINE,
                               "SYSTEM\\ControlSet002\\Services\\svcx\\Security");
  EXPECT_FALSE(RunScanExited());
  EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(
      machine().registry.KeyExists(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\svcx"));
  EXPECT_FALSE(
      machine().registry.KeyExists(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet002\\Services\\svcx"));
  EXPECT_FALSE(Exists("C:\\WINDOWS\\system32\\svcx.exe"));
  EXPECT_EQ(g_scan.serviceKeysRemoved, 0);
  EXPECT_EQ(window().status, "Scanning completed");
}

TEST_F(MemorySweep, AServiceThatWillNotStopEndsTheProgramAfterTheRestartQuestion) {
  for (sim::StopBehaviour behaviour : {sim::StopBehaviour::Never, sim::StopBehaviour::Refuses}) {
    sim::Reset();
    ResetScanState();
    machine().MapDrive('C', Host("C:\\"));
    sim::MainWindow window;
    machine().SetVersion(WindowsVersion::Win2000);
    ScanAllDrives();
    sim::Process& bad = InfectedProcess("C:\\WINDOWS\\system32\\svcx.exe", 100);
    bad.refusesTermination = true;
    machine().AddService("SVCX").stop = behaviour;
    machine().registry.CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\svcx");
    machine().dialogAnswers.push_back(IDOK);
    EXPECT_TRUE(RunScanExited());
    EXPECT_FALSE(
        machine().registry.KeyExists(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\svcx"));
    EXPECT_EQ(g_scan.serviceKeysRemoved, 1);
    ASSERT_EQ(machine().dialogs.size(), 1u);
    EXPECT_EQ(machine().dialogs[0].flags, 0x41u);
    EXPECT_EQ(machine().dialogs[0].caption, kProgramTitle);
    EXPECT_EQ(machine().dialogs[0].text.rfind("W32/Tarvix.Backdoor found in memory!", 0), 0u);
    EXPECT_EQ(machine().restarts.size(), 1u);
    EXPECT_EQ(machine().exits, (std::vector<int>{0}));
    EXPECT_TRUE(Exists("C:\\WINDOWS\\system32\\svcx.exe"));       // waits for the restart
    EXPECT_TRUE(window.list.empty());                             // no drive walked, no statistics
    EXPECT_LE(machine().sleeps.size(), static_cast<size_t>(30));  // the wait is bounded
  }
}

TEST_F(MemorySweep, CancelAtTheQuestionStillEndsTheProgramWithoutARestart) {
  machine().SetVersion(WindowsVersion::WinXP);
  InfectedProcess("C:\\WINDOWS\\system32\\svcx.exe", 100).refusesTermination = true;
  machine().AddService("svcx").stop = sim::StopBehaviour::Ignores;
  machine().dialogAnswers.push_back(IDCANCEL);
  EXPECT_TRUE(RunScanExited());
  EXPECT_TRUE(machine().restarts.empty());
}

TEST_F(MemorySweep, OnNt6TheServicePathNeverRunsAndTheDriveScanMeetsTheFile) {
  machine().SetVersion(WindowsVersion::Win7);
  sim::Process& bad = InfectedProcess("C:\\WINDOWS\\bad.exe", 100);
  bad.refusesTermination = true;
  sim::Service& service = machine().AddService("bad");
  EXPECT_FALSE(RunScanExited());
  EXPECT_EQ(service.controls, 0);
  EXPECT_EQ(g_scan.serviceKeysRemoved, 0);
  // The drive walk's delete is refused, performance data finds nothing to terminate.
  ASSERT_EQ(machine().messageBoxes.size(), 1u);
  EXPECT_EQ(machine().messageBoxes[0].text, "Could not kill process");
  EXPECT_EQ(machine().messageBoxes[0].caption, "C:\\WINDOWS\\bad.exe");
  EXPECT_EQ(window().list[0], "C:\\WINDOWS\\bad.exe     W32/Tarvix.12.Backdoor Unable to remove");
  EXPECT_EQ(machine().rebootDeletes, (std::vector<std::string>{"C:\\WINDOWS\\bad.exe"}));
}

TEST_F(MemorySweep, OtherPlatformsAreNotSwept) {
  for (WindowsVersion version : {WindowsVersion::QueryFails, WindowsVersion::Win32s}) {
    machine().SetVersion(version);
    InfectedProcess("C:\\bad.exe", 100);
    SweepMemory();
    EXPECT_FALSE(g_scan.memorySweepActive);
    EXPECT_TRUE(machine().FindProcess(100)->running);
    EXPECT_TRUE(window().list.empty());
    machine().processes.clear();
  }
}

// --- KillProcessByImage: the back end for each Windows -----------------------------------------

using KillProcess = MemorySweep;

TEST_F(KillProcess, OnXpAFileHeldByItsOwnRunningProgramIsFreed) {
  machine().SetVersion(WindowsVersion::WinXP);
  g_scan.memorySweepActive = false;
  sim::Process& program = InfectedProcess("C:\\app\\held.exe", 300);
  program.heldFiles.push_back({"C:\\app\\held.exe", true, false});
  EXPECT_EQ(CheckFile(kFamilyName, "C:\\app\\held.exe"), 1);
  EXPECT_FALSE(program.running);
  EXPECT_FALSE(Exists("C:\\app\\held.exe"));
  EXPECT_EQ(window().list, (Lines{"C:\\app\\held.exe     W32/Tarvix.12.Backdoor removed"}));
  EXPECT_TRUE(machine().messageBoxes.empty());
}

TEST_F(KillProcess, OnXpTheRetryIsAllowedWhenTheListCouldBeHad) {
  machine().SetVersion(WindowsVersion::WinXP);
  CleanProcess("C:\\WINDOWS\\explorer.exe", 8);
  EXPECT_EQ(KillProcessByImage("C:\\nothing\\runs\\this.exe"), 1);
  EXPECT_TRUE(machine().messageBoxes.empty());
  machine().missingLibraries.insert("psapi.dll");
  EXPECT_EQ(KillProcessByImage("C:\\nothing\\runs\\this.exe"), 0);
  EXPECT_TRUE(machine().messageBoxes.empty());  // no message on this path
}

TEST_F(KillProcess, On98AndNt4FailureIsSaid) {
  for (WindowsVersion version : {WindowsVersion::Win98, WindowsVersion::NT4}) {
    machine().SetVersion(version);
    machine().messageBoxes.clear();
    EXPECT_EQ(KillProcessByImage("C:\\x\\gone.exe"), 0);
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_EQ(machine().messageBoxes[0].owner, nullptr);
    EXPECT_EQ(machine().messageBoxes[0].flags, 0u);
    EXPECT_EQ(machine().messageBoxes[0].text, "Could not kill process");
    EXPECT_EQ(machine().messageBoxes[0].caption, "C:\\x\\gone.exe");
  }
}

TEST_F(KillProcess, On98TheProcessIsFoundByItsFileName) {
  machine().SetVersion(WindowsVersion::Win98);
  sim::Process& other = machine().AddProcess(5, "C:\\OTHER\\x.exe");
  other.toolhelpName = "C:\\OTHER\\x.exe";
  EXPECT_EQ(KillProcessByImage("C:\\WINDOWS\\TEMP\\X.EXE"), 1);
  EXPECT_FALSE(other.running);
}

TEST_F(KillProcess, AFailedVersionQueryDoesNothingAndAllowsTheRetry) {
  machine().SetVersion(WindowsVersion::QueryFails);
  sim::Process& process = machine().AddProcess(5, "C:\\x.exe");
  EXPECT_EQ(KillProcessByImage("C:\\x.exe"), 1);
  EXPECT_TRUE(process.running);
  EXPECT_TRUE(machine().sleeps.empty());
}

}  // namespace
