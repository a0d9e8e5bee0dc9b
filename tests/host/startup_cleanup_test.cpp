// Start-up entry cleanup after a detection: which values under the machine's two start-up keys
// are taken as launching the infected file, the remembered value name, and the hosts file.
#include "cleanup/startup_cleanup.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/text_scanner.h"
#include "platform/registry.h"
#include "tests/support/scan_fixture.h"

namespace {

using Lines = std::vector<std::string>;
using Names = std::vector<std::string>;

class StartupCleanup : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    MakeFolder("C:\\WINDOWS\\system32\\drivers\\etc");
    g_scan.memorySweepActive = false;
  }

  void Run(const std::string& name, const std::string& data, DWORD type = REG_SZ) {
    machine().registry.SetString(HKEY_LOCAL_MACHINE, kRunKey, name, data, type);
  }
  void RunServices(const std::string& name, const std::string& data) {
    machine().registry.SetString(HKEY_LOCAL_MACHINE, kRunServicesKey, name, data);
  }
  Names RunValues() { return machine().registry.ValueNames(HKEY_LOCAL_MACHINE, kRunKey); }
  Names RunServicesValues() {
    return machine().registry.ValueNames(HKEY_LOCAL_MACHINE, kRunServicesKey);
  }

  // The registry findings kept, each as its path and outcome.
  Names RegistryFindings() {
    Names found;
    const char* outcomes[] = {"done", "scheduled", "failed", "left-as-selected"};
    for (const Finding& finding : g_scan.findings) {
      if (finding.kind == FindingKind::kRegistry)
        found.push_back(finding.path + " " + outcomes[static_cast<int>(finding.result)]);
    }
    return found;
  }

  // The matcher has just found this file infected.
  void Detect(const char* path, const char* name = "W32/Tarvix.19.Backdoor") {
    CopyText(g_scan.currentFilePath, path);
    CleanupAfterDetection(name);
  }
};

TEST_F(StartupCleanup, BareNameOfAFileInSystem32IsRemoved) {
  Run("svc", "svcx.exe");
  Run("other", "notepad.exe");
  Detect("C:\\WINDOWS\\system32\\svcx.exe");
  EXPECT_EQ(RunValues(), (Names{"other"}));
  EXPECT_EQ(window().list, (Lines{"System Registry     W32/Tarvix.Backdoor removed"}));
  EXPECT_STREQ(g_scan.removedValueName, "svc");
}

// 64-bit Windows keeps a Run key for each width; the program of either width cleans both.
TEST_F(StartupCleanup, On64BitWindowsTheRunKeysOfBothViewsAreCleaned) {
  const std::string run32 = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
  for (auto width : {sim::Machine::Width::Program32On64, sim::Machine::Width::Program64On64}) {
    machine().width = width;
    window().list.clear();
    g_scan.findings.clear();
    g_scan.removedValueName[0] = '\0';
    Run("bad64", "\"C:\\vx\\bad.exe\" /run");
    Run("good64", "C:\\WINDOWS\\notepad.exe");
    machine().registry.SetString(HKEY_LOCAL_MACHINE, run32, "bad32", "C:\\vx\\bad.exe");
    machine().registry.SetString(HKEY_LOCAL_MACHINE, run32, "good32", "C:\\vx\\good.exe");
    Detect("C:\\vx\\bad.exe");
    EXPECT_EQ(RunValues(), (Names{"good64"}));
    EXPECT_EQ(machine().registry.ValueNames(HKEY_LOCAL_MACHINE, run32), (Names{"good32"}));
    EXPECT_EQ(window().list, (Lines{"System Registry     W32/Tarvix.Backdoor removed",
                                    "System Registry     W32/Tarvix.Backdoor removed"}));
    // Each kept as a finding, named by its key as a registry editor shows it.
    EXPECT_EQ(RegistryFindings(),
              (Names{"HKEY_LOCAL_MACHINE\\" + std::string(kRunKey) + "\\bad64 done",
                     "HKEY_LOCAL_MACHINE\\" + run32 + "\\bad32 done"}));
  }
}

TEST_F(StartupCleanup, ReportOnlyOn64BitWindowsTellsOfTheSameValueInEachView) {
  const std::string run32 = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
  machine().width = sim::Machine::Width::Program32On64;
  g_scan.removalAction = ActionReportOnly;
  Run("bad", "C:\\vx\\bad.exe");
  machine().registry.SetString(HKEY_LOCAL_MACHINE, run32, "bad", "C:\\vx\\bad.exe");
  Detect("C:\\vx\\bad.exe");
  EXPECT_EQ(RunValues(), (Names{"bad"}));
  EXPECT_EQ(machine().registry.ValueNames(HKEY_LOCAL_MACHINE, run32), (Names{"bad"}));
  // The second view's value goes by the name remembered from the first, under the detection name.
  EXPECT_EQ(
      window().list,
      (Lines{"System Registry     W32/Tarvix.Backdoor not removed as per user's selection",
             "System Registry     W32/Tarvix.19.Backdoor not removed as per user's selection"}));
}

TEST_F(StartupCleanup, BareNameOfAFileElsewhereStays) {
  Run("svc", "svcx.exe /start");
  Detect("C:\\Temp\\svcx.exe");
  EXPECT_EQ(RunValues(), (Names{"svc"}));
  EXPECT_TRUE(window().list.empty());
}

TEST_F(StartupCleanup, ABareNameMustBeTheWholeFileName) {
  Run("mine", "mysvcx.exe");
  Run("longer", "svcx.exe2.exe");
  Run("quoted", "\"svcx.exe\" -run");
  Detect("C:\\WINDOWS\\system32\\svcx.exe");
  EXPECT_EQ(RunValues(), (Names{"mine", "longer"}));
}

TEST_F(StartupCleanup, QuotedFullPathInAnyCaseWithArgumentsIsRemoved) {
  Run("q", "\"C:\\Program Files\\Bad\\RUN.EXE\" /silent");
  Run("plain", "c:\\program files\\bad\\run.exe");
  Detect("C:\\Program Files\\Bad\\run.exe");
  EXPECT_TRUE(RunValues().empty());
  EXPECT_EQ(window().list.size(), 2u);
  // The sweep leaves the path lower-cased; the matcher clears it afterwards.
  EXPECT_STREQ(g_scan.currentFilePath, "c:\\program files\\bad\\run.exe");
}

TEST_F(StartupCleanup, PathThroughAnEnvironmentVariableIsRemoved) {
  Run("env", "%SystemRoot%\\Tasks\\job.exe", REG_EXPAND_SZ);
  Detect("C:\\WINDOWS\\Tasks\\job.exe");
  EXPECT_TRUE(RunValues().empty());
}

TEST_F(StartupCleanup, ALongerFileWhosePathBeginsWithTheInfectedOneStays) {
  Run("longer", "C:\\dir\\a.exe.bak.exe");
  Run("longer2", "C:\\dir\\a.exec");
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(RunValues(), (Names{"longer", "longer2"}));
}

TEST_F(StartupCleanup, TwoNeighbouringValuesAreBothRemoved) {
  Run("keep1", "C:\\good.exe");
  Run("bad1", "C:\\dir\\a.exe");
  Run("bad2", "C:\\dir\\a.exe -x");
  Run("keep2", "C:\\other.exe");
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(RunValues(), (Names{"keep1", "keep2"}));
  EXPECT_STREQ(g_scan.removedValueName, "bad2");
}

TEST_F(StartupCleanup, RememberedNameIsDeletedFromBothKeysAtTheNextDetection) {
  Run("loader", "C:\\dir\\a.exe");
  RunServices("loader", "C:\\elsewhere\\b.exe");  // same name, data that does not match
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(RunServicesValues(), (Names{"loader"}));
  ++g_scan.filesInfected;  // from now on the matcher keeps the remembered name

  Detect("C:\\other\\second.exe", "W32/Tarvix.Gz.Backdoor");
  EXPECT_TRUE(RunServicesValues().empty());
  EXPECT_EQ(window().list, (Lines{"System Registry     W32/Tarvix.Backdoor removed",
                                  "System Registry     W32/Tarvix.Gz.Backdoor removed"}));
}

TEST_F(StartupCleanup, PerUserKeysAndOtherKeysAreNeverTouched) {
  machine().registry.SetString(HKEY_CURRENT_USER, kRunKey, "bad", "C:\\dir\\a.exe");
  machine().registry.SetString(HKEY_LOCAL_MACHINE,
                               "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "bad",
                               "C:\\dir\\a.exe");
  Run("bad", "C:\\dir\\a.exe");
  Detect("C:\\dir\\a.exe");
  EXPECT_TRUE(RunValues().empty());
  EXPECT_EQ(machine().registry.ValueNames(HKEY_CURRENT_USER, kRunKey), (Names{"bad"}));
  EXPECT_EQ(machine().registry.ValueNames(HKEY_LOCAL_MACHINE,
                                          "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"),
            (Names{"bad"}));
}

TEST_F(StartupCleanup, OversizedDataIsSkippedNeverOverrun) {
  // 300 bytes of data starting with the infected path: too long for the text buffer.
  Run("huge", "C:\\dir\\a.exe " + std::string(286, 'x'));
  // Data without a terminator that just fits is terminated; one that fills the buffer is not.
  const std::string exact = "C:\\dir\\a.exe";
  machine().registry.SetValue(HKEY_LOCAL_MACHINE, kRunKey, "unterminated", REG_SZ,
                              std::vector<uint8_t>(exact.begin(), exact.end()));
  std::vector<uint8_t> full(264, 'y');
  std::memcpy(full.data(), exact.data(), exact.size());
  full[exact.size()] = ' ';
  machine().registry.SetValue(HKEY_LOCAL_MACHINE, kRunKey, "full", REG_BINARY, full);
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(RunValues(), (Names{"huge", "full"}));
}

TEST_F(StartupCleanup, AValueNameTooLongToRememberIsDeletedButNotRemembered) {
  const std::string longName(200, 'n');
  Run(longName, "C:\\dir\\a.exe");
  Detect("C:\\dir\\a.exe");
  EXPECT_TRUE(RunValues().empty());
  EXPECT_STREQ(g_scan.removedValueName, "");
}

TEST_F(StartupCleanup, WithoutAMainWindowValuesGoSilently) {
  Run("bad", "C:\\dir\\a.exe");
  g_scan.mainWindow = nullptr;
  Detect("C:\\dir\\a.exe");
  EXPECT_TRUE(RunValues().empty());
  EXPECT_TRUE(window().allLines.empty());
}

TEST_F(StartupCleanup, NoPathNoSweep) {
  Run("bad", "C:\\dir\\a.exe");
  Detect("");
  Detect("no-backslash.exe");
  EXPECT_EQ(RunValues(), (Names{"bad"}));
}

TEST_F(StartupCleanup, MissingOrLockedKeysAreSkipped) {
  Run("bad", "C:\\dir\\a.exe");
  machine().registry.DenyAccess(HKEY_LOCAL_MACHINE, kRunKey, KEY_SET_VALUE);
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(RunValues(), (Names{"bad"}));
  // The refused value is remembered and tried again next time.
  EXPECT_STREQ(g_scan.removedValueName, "bad");
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(StartupCleanup, ReportOnlyChangesNothingAndReportsEachValueOnce) {
  g_scan.removalAction = ActionReportOnly;
  Run("loader", "C:\\dir\\a.exe");
  Run("bare", "svcx.exe");
  RunServices("loader", "C:\\elsewhere\\b.exe");  // the remembered name, in the other key
  Detect("C:\\dir\\a.exe");
  ++g_scan.filesInfected;
  Detect("C:\\other\\second.exe", "W32/Tarvix.Gz.Backdoor");
  Detect("C:\\dir\\a.exe");  // found again: already reported
  EXPECT_EQ(RunValues(), (Names{"loader", "bare"}));
  EXPECT_EQ(RunServicesValues(), (Names{"loader"}));
  EXPECT_EQ(
      window().list,
      (Lines{"System Registry     W32/Tarvix.Backdoor not removed as per user's selection",
             "System Registry     W32/Tarvix.Gz.Backdoor not removed as per user's selection"}));
  EXPECT_EQ(
      RegistryFindings(),
      (Names{"HKEY_LOCAL_MACHINE\\" + std::string(kRunKey) + "\\loader left-as-selected",
             "HKEY_LOCAL_MACHINE\\" + std::string(kRunServicesKey) + "\\loader left-as-selected"}));
}

TEST_F(StartupCleanup, ADeletionThatCannotBeKeptIsReportedWithItsReason) {
  bool writable = false, saves = true;
  int saved = 0;
  SetRegistryWriteBack({[&](const char*, std::string* why) {
                          *why = "the hive cannot be written";
                          return writable;
                        },
                        [&](std::string* why) {
                          ++saved;
                          *why = "disk full";
                          return saves;
                        }});
  Run("refused", "C:\\dir\\a.exe");
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(RunValues(), (Names{"refused"}));  // asked before: nothing deleted, nothing saved
  EXPECT_EQ(saved, 0);
  writable = true;
  saves = false;
  Run("lost", "C:\\dir\\b.exe");
  Detect("C:\\dir\\b.exe");
  writable = saves = true;
  Run("kept", "C:\\dir\\c.exe");
  Detect("C:\\dir\\c.exe");
  SetRegistryWriteBack({});
  EXPECT_EQ(saved, 2);
  EXPECT_EQ(
      window().list,
      (Lines{"System Registry     W32/Tarvix.Backdoor not removed: the hive cannot be written",
             "System Registry     W32/Tarvix.Backdoor not removed: disk full",
             "System Registry     W32/Tarvix.Backdoor removed"}));
  const std::string run = "HKEY_LOCAL_MACHINE\\" + std::string(kRunKey) + "\\";
  EXPECT_EQ(RegistryFindings(),
            (Names{run + "refused failed", run + "lost failed", run + "kept done"}));
}

TEST_F(StartupCleanup, ShortNamesSlashesAndLeadingBlanksNameTheFileToo) {
  MakeFile("C:\\Program Files\\Bad Tools\\run.exe");
  Run("short", "C:\\PROGRA~1\\BADTOO~1\\RUN.EXE /silent");
  Run("shortQuoted", "\"C:\\Program Files\\BADTOO~1\\run.exe\"");
  Run("slashes", "C:/Program Files/Bad Tools/run.exe");
  Run("blanks", "  \"C:\\Program Files\\Bad Tools\\run.exe\" -x");
  Run("switch", "notepad.exe /C:/Program");
  Run("otherShort", "C:\\PROGRA~1\\BADTOO~1\\other.exe");
  Detect("C:\\Program Files\\Bad Tools\\run.exe");
  EXPECT_EQ(RunValues(), (Names{"switch", "otherShort"}));
}

TEST(RegistryValueHelpers, ReadAndDelete) {
  sim::Reset();
  sim::machine().registry.SetString(HKEY_LOCAL_MACHINE, "Software\\T", "v", "text");
  char buffer[8];
  std::memset(buffer, 0xbd, sizeof buffer);
  EXPECT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, "Software\\T", "v", buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "text");
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, "Software\\T", "v", buffer, 4));
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, "Software\\T", "none", buffer, sizeof buffer));
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, "Software\\None", "v", buffer, sizeof buffer));
  EXPECT_TRUE(DeleteRegistryValue(HKEY_LOCAL_MACHINE, "Software\\T", "v"));
  EXPECT_FALSE(DeleteRegistryValue(HKEY_LOCAL_MACHINE, "Software\\T", "v"));
  EXPECT_EQ(sim::machine().OpenHandles(), 0u);
}

// --- The hosts file -----------------------------------------------------------------------------

std::string Infected() {
  const unsigned char* plain = RevealedTextPattern(0);
  return "begin 644 hosts\n" + std::string(reinterpret_cast<const char*>(plain), 100) + "\nend\n";
}

TEST_F(StartupCleanup, HostsFileWithTheTextSignatureIsRemovedOnNt) {
  MakeFile("C:\\WINDOWS\\system32\\drivers\\etc\\hosts", Infected());
  g_scan.removalAction = ActionRemove;
  Detect("C:\\dir\\a.exe");
  EXPECT_FALSE(Exists("C:\\WINDOWS\\system32\\drivers\\etc\\hosts"));
  EXPECT_EQ(window().list,
            (Lines{"C:\\WINDOWS\\system32\\drivers\\etc\\hosts     W32/Kelto.Worm removed"}));
}

TEST_F(StartupCleanup, HostsFileLivesInTheWindowsFolderOn9x) {
  machine().SetVersion(sim::WindowsVersion::Win98);
  MakeFile("C:\\WINDOWS\\hosts", Infected());
  MakeFile("C:\\WINDOWS\\system32\\drivers\\etc\\hosts", Infected());
  g_scan.removalAction = ActionRemove;
  Detect("C:\\dir\\a.exe");
  EXPECT_FALSE(Exists("C:\\WINDOWS\\hosts"));
  EXPECT_TRUE(Exists("C:\\WINDOWS\\system32\\drivers\\etc\\hosts"));
}

TEST_F(StartupCleanup, PlainHostsFileIsLeftAlone) {
  MakeFile("C:\\WINDOWS\\system32\\drivers\\etc\\hosts", "127.0.0.1 localhost\r\n");
  g_scan.removalAction = ActionRemove;
  Detect("C:\\dir\\a.exe");
  EXPECT_EQ(Contents("C:\\WINDOWS\\system32\\drivers\\etc\\hosts"), "127.0.0.1 localhost\r\n");
  EXPECT_TRUE(window().list.empty());
  machine().SetVersion(sim::WindowsVersion::QueryFails);  // neither family: no hosts file
  MakeFile("C:\\WINDOWS\\system32\\drivers\\etc\\hosts", Infected());
  Detect("C:\\dir\\a.exe");
  EXPECT_TRUE(Exists("C:\\WINDOWS\\system32\\drivers\\etc\\hosts"));
}

}  // namespace
