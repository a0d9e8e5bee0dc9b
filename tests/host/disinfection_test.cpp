// What becomes of an infected file: every action code with its exact lines, the delete that is
// refused and then scheduled for the boot (MoveFileExA on NT, wininit.ini on 9x), and the
// forced action after the memory sweep has terminated a process.
#include "engine/disinfection.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/texts.h"
#include "platform/files.h"
#include "tests/support/scan_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class Disinfection : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    MakeFolder("C:\\WINDOWS\\system32");
    MakeFolder("C:\\WINDOWS\\TEMP");
    g_scan.memorySweepActive = false;
  }

  // The state CheckFile leaves before the action step: the path and the record's name.
  void Detected(const std::string& path, const char* name = "W32/Tarvix.19.Backdoor") {
    MakeFile(path, "infected");
    CopyText(g_scan.statusText, path.c_str());
    CopyText(g_scan.detectionName, name);
  }

  // A running process holds the file open without delete sharing.
  void HoldOpen(const std::string& path) {
    sim::Process& holder = machine().AddProcess(4321, "C:\\other\\holder.exe");
    holder.heldFiles.push_back({path, true, false});
  }
};

TEST_F(Disinfection, RemoveDeletesAndCountsForBothRemoveCodes) {
  for (int action : {ActionRemove, ActionRemoveToo}) {
    const std::string path = "C:\\dir\\bad" + std::to_string(action) + ".exe";
    Detected(path);
    g_scan.removalAction = action;
    DisinfectFile(path.c_str(), "W32/Tarvix.19.Backdoor");
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(window().list.back(), path + "     W32/Tarvix.19.Backdoor removed");
  }
  EXPECT_EQ(g_scan.filesRemoved, 2);
  EXPECT_EQ(g_scan.restartNeeded, 0);
}

TEST_F(Disinfection, ReadOnlyHiddenSystemFileIsRemoved) {
  const std::string path = "C:\\dir\\hidden.exe";
  Detected(path);
  machine().Meta(path).attributes =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  g_scan.removalAction = ActionRemove;
  DisinfectFile(path.c_str(), "W32/Tarvix.19.Backdoor");
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(window().list, (Lines{path + "     W32/Tarvix.19.Backdoor removed"}));
}

TEST_F(Disinfection, FailedAttributeResetIsFinal) {
  const std::string path = "C:\\dir\\locked.exe";
  Detected(path, "W32/Tarvix.Gz.Backdoor");
  CopyText(g_scan.statusText, "C:\\dir\\locked.exe (shown)");
  machine().Meta(path).failSetAttributes = true;
  g_scan.removalAction = ActionRemove;
  DisinfectFile(path.c_str(), "W32/Tarvix.Gz.Backdoor");
  EXPECT_TRUE(Exists(path));
  // This line takes the status text and the detection name, not the arguments.
  EXPECT_EQ(window().list,
            (Lines{"C:\\dir\\locked.exe (shown)     W32/Tarvix.Gz.Backdoor Unable to remove"}));
  EXPECT_TRUE(machine().rebootDeletes.empty());
  EXPECT_EQ(g_scan.restartNeeded, 0);
}

TEST_F(Disinfection, RefusedDeleteIsScheduledForTheBootOnNt) {
  const std::string path = "C:\\dir\\held.exe";
  Detected(path);
  HoldOpen(path);
  g_scan.removalAction = ActionRemove;
  DisinfectFile(path.c_str(), "W32/Tarvix.19.Backdoor");
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(window().list, (Lines{path + "     W32/Tarvix.19.Backdoor Unable to remove"}));
  EXPECT_EQ(machine().rebootDeletes, (std::vector<std::string>{path}));
  EXPECT_EQ(g_scan.restartNeeded, 1);
  EXPECT_EQ(g_scan.filesRemoved, 0);

  // The scan then ends with the restart question.
  RunScan();
  ASSERT_EQ(machine().dialogs.size(), 1u);
  EXPECT_EQ(machine().dialogs[0].text, kRestartQuestion);
}

TEST_F(Disinfection, AFailedSchedulingDoesNotCancelAnEarlierOne) {
  const std::string first = "C:\\dir\\first.exe";
  Detected(first);
  HoldOpen(first);
  g_scan.removalAction = ActionRemove;
  DisinfectFile(first.c_str(), "W32/Tarvix.19.Backdoor");
  ASSERT_EQ(g_scan.restartNeeded, 1);

  // The second cannot be scheduled (no right to write the boot-time list); the first still
  // waits for the restart.
  const std::string second = "C:\\dir\\second.exe";
  Detected(second);
  HoldOpen(second);
  machine().registry.DenyAccess(
      HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", KEY_SET_VALUE);
  DisinfectFile(second.c_str(), "W32/Tarvix.19.Backdoor");
  EXPECT_EQ(machine().rebootDeletes, (std::vector<std::string>{first}));
  EXPECT_EQ(g_scan.restartNeeded, 1);
}

TEST_F(Disinfection, SchedulingReportsWhatActuallyHappened) {
  const std::string path = "C:\\dir\\a.exe";
  MakeFile(path);
  machine().registry.DenyAccess(
      HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", KEY_SET_VALUE);
  EXPECT_EQ(ScheduleBootRemoval(path.c_str()), 0);
  machine().SetVersion(sim::WindowsVersion::QueryFails);
  EXPECT_EQ(ScheduleBootRemoval(path.c_str()), 0);
  machine().SetVersion(sim::WindowsVersion::Win32s);
  EXPECT_EQ(ScheduleBootRemoval(path.c_str()), 0);
  EXPECT_TRUE(machine().rebootDeletes.empty());
}

TEST_F(Disinfection, RenameReplacesTheCharacterAfterTheLastDot) {
  const std::string path = "C:\\dir\\a.exe";
  Detected(path);
  g_scan.removalAction = ActionRename;
  DisinfectFile(path.c_str(), "W32/Tarvix.19.Backdoor");
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(Exists("C:\\dir\\a.Vxe"));
  EXPECT_EQ(window().list, (Lines{path + "     W32/Tarvix.19.Backdoor renamed"}));
  EXPECT_EQ(g_scan.filesRemoved, 0);  // renamed files are not counted

  // Renamed again, the new name is taken: reported as failed, nothing else tried.
  Detected(path);
  DisinfectFile(path.c_str(), "W32/Tarvix.19.Backdoor");
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(window().list.back(), path + "     W32/Tarvix.19.Backdoor Rename failed");
}

TEST(RenamedPath, EdgeCases) {
  char out[16];
  RenamedPath("C:\\setup.exe", out, sizeof out);
  EXPECT_STREQ(out, "C:\\setup.Vxe");
  RenamedPath("C:\\noext", out, sizeof out);  // a name without an extension gets one
  EXPECT_STREQ(out, "C:\\noext.V");
  RenamedPath("C:\\a.b\\c", out, sizeof out);  // a folder's dot never moves the file
  EXPECT_STREQ(out, "C:\\a.b\\c.V");
  RenamedPath("C:\\trail.", out, sizeof out);  // never writes over the terminator
  EXPECT_STREQ(out, "C:\\trail.V");
  std::memset(out, 0xbd, sizeof out);
  RenamedPath("C:\\abcdefghij.", out, 15);  // no room for the "V": left as it is
  EXPECT_STREQ(out, "C:\\abcdefghij.");
  EXPECT_EQ(static_cast<unsigned char>(out[15]), 0xbd);
}

TEST_F(Disinfection, ReportOnlyAndUnknownCodesLeaveTheFile) {
  const std::string path = "C:\\dir\\keep.exe";
  Detected(path, "W32/Tarvix.S.Backdoor");
  g_scan.removalAction = ActionReportOnly;
  DisinfectFile(path.c_str(), "W32/Tarvix.S.Backdoor");
  EXPECT_EQ(window().list,
            (Lines{path + "     W32/Tarvix.S.Backdoor not disinfected as per user's selection"}));
  for (int action : {0, 99, -1}) {
    g_scan.removalAction = action;
    DisinfectFile(path.c_str(), "W32/Tarvix.S.Backdoor");
  }
  EXPECT_EQ(window().list.size(), 1u);
  EXPECT_EQ(Contents(path), "infected");
}

TEST_F(Disinfection, RenameAndMoveActOnEveryNameOrSayTheyFailed) {
  const std::string path = "C:\\dir.d\\noext";
  Detected(path);
  g_scan.removalAction = ActionRename;
  DisinfectFile(path.c_str(), "W32/Tarvix.S.Backdoor");
  EXPECT_TRUE(Exists("C:\\dir.d\\noext.V"));
  EXPECT_EQ(window().list.back(), path + "     W32/Tarvix.S.Backdoor renamed");
  Detected(path);
  g_scan.removalAction = ActionQuarantine;  // with no quarantine folder
  DisinfectFile(path.c_str(), "W32/Tarvix.S.Backdoor");
  EXPECT_EQ(window().list.back(), path + "     W32/Tarvix.S.Backdoor Move failed");
  EXPECT_TRUE(Exists(path));
}

TEST_F(Disinfection, EachFileLeavesAFindingThatItsLineIsMadeFrom) {
  g_scan.removalAction = ActionRemove;
  Detected("C:\\dir\\gone.exe");
  DisinfectFile("C:\\dir\\gone.exe", "W32/Tarvix.19.Backdoor");
  Detected("C:\\dir\\held.exe");
  HoldOpen("C:\\dir\\held.exe");
  DisinfectFile("C:\\dir\\held.exe", "W32/Tarvix.19.Backdoor");
  machine().registry.DenyAccess(
      HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", KEY_SET_VALUE);
  Detected("C:\\dir\\stuck.exe");
  HoldOpen("C:\\dir\\stuck.exe");
  DisinfectFile("C:\\dir\\stuck.exe", "W32/Tarvix.19.Backdoor");
  g_scan.removalAction = ActionRename;
  Detected("C:\\dir\\odd.exe");
  DisinfectFile("C:\\dir\\odd.exe", "W32/Tarvix.19.Backdoor");
  g_scan.removalAction = ActionReportOnly;
  Detected("C:\\dir\\kept.exe");
  DisinfectFile("C:\\dir\\kept.exe", "W32/Tarvix.19.Backdoor");

  using Outcome = std::pair<FindingAction, FindingResult>;
  std::vector<Outcome> outcomes;
  for (const Finding& finding : g_scan.findings)
    outcomes.emplace_back(finding.action, finding.result);
  EXPECT_EQ(outcomes,
            (std::vector<Outcome>{{FindingAction::kDelete, FindingResult::kDone},
                                  {FindingAction::kBootDelete, FindingResult::kScheduled},
                                  {FindingAction::kDelete, FindingResult::kFailed},
                                  {FindingAction::kRename, FindingResult::kDone},
                                  {FindingAction::kReportOnly, FindingResult::kLeftAsSelected}}));
  EXPECT_EQ(g_scan.findings[3].newPath, "C:\\dir\\odd.Vxe");
  ASSERT_EQ(window().list.size(), g_scan.findings.size());
  for (size_t i = 0; i < g_scan.findings.size(); ++i)
    EXPECT_EQ(FindingLine(g_scan.findings[i]), window().list[i]);
}

TEST_F(Disinfection, ForcedActionAfterAKillReportsMemoryThenActs) {
  const std::string path = "C:\\dir\\image.exe";
  MakeFile(path, "not even a PE file");  // nothing is matched on this path
  CopyText(g_scan.statusText, "C:\\dir\\image.exe");
  CopyText(g_scan.detectionName, "W32/Tarvix.16.Backdoor");
  g_scan.removalAction = ActionRemove;
  g_scan.postKillAction = ActionRemove;
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(window().list, (Lines{"System Memory    W32/Tarvix.Backdoor removed",
                                  path + "     W32/Tarvix.Backdoor removed"}));
  EXPECT_EQ(machine().sleeps, (std::vector<DWORD>{1000}));
  EXPECT_EQ(g_scan.filesInfected, 0);
  EXPECT_EQ(g_scan.filesRemoved, 1);
}

TEST_F(Disinfection, ForcedActionTakesThePostKillCode) {
  const std::string path = "C:\\dir\\image.exe";
  MakeFile(path);
  CopyText(g_scan.statusText, path.c_str());
  CopyText(g_scan.detectionName, "W32/Tarvix.16.Backdoor");
  g_scan.removalAction = ActionRemove;
  g_scan.postKillAction = ActionReportOnly;
  CheckFile(kFamilyName, path.c_str());
  EXPECT_EQ(g_scan.removalAction, ActionReportOnly);
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(window().list.back(),
            path + "     W32/Tarvix.16.Backdoor not disinfected as per user's selection");
}

TEST_F(Disinfection, NoForcedActionWithoutAMainWindow) {
  const std::string path = "C:\\dir\\image.exe";
  MakeFile(path);
  g_scan.mainWindow = nullptr;
  g_scan.postKillAction = ActionRemove;
  g_scan.removalAction = ActionRemove;
  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 0);
  EXPECT_TRUE(Exists(path));  // matched normally instead: not a PE file, so nothing happens
  EXPECT_TRUE(machine().sleeps.empty());
}

// --- wininit.ini on the 9x family ---------------------------------------------------------------

class Wininit : public Disinfection {
 protected:
  void SetUp() override {
    Disinfection::SetUp();
    machine().SetVersion(sim::WindowsVersion::Win98);
    MakeFolder("C:\\Program Files\\Long Folder");
    MakeFile(kInfected);
    ASSERT_EQ(plat::GetShortPathNameA(kInfected, shortPath_, sizeof shortPath_) > 0, true);
    entry_ = std::string("NUL=") + shortPath_ + "\r\n";
  }

  static constexpr const char* kInfected = "C:\\Program Files\\Long Folder\\infected file.exe";
  std::string entry_;
  char shortPath_[MAX_PATH];
};

TEST_F(Wininit, NoFileIsCreatedWithTheSectionAndTheEntry) {
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[rename]\r\n" + entry_);
  EXPECT_EQ(std::string(shortPath_).find(' '), std::string::npos);
  EXPECT_TRUE(machine().rebootDeletes.empty());  // nothing goes through MoveFileExA on 9x
}

TEST_F(Wininit, EntryGoesAtTheEndOfTheRenameSectionBeforeTheNextHeader) {
  MakeFile("C:\\WINDOWS\\wininit.ini", "[Rename]\r\nNUL=C:\\OLD.EXE\r\n[Other]\r\nx=1\r\n");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  // Copied lines keep a bare line feed (read in text mode); written lines end with CR LF.
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"),
            "[Rename]\nNUL=C:\\OLD.EXE\n" + entry_ + "[Other]\nx=1\n");
  EXPECT_EQ(Contents("C:\\WINDOWS\\TEMP\\wininit.ini"),
            "[Rename]\r\nNUL=C:\\OLD.EXE\r\n[Other]\r\nx=1\r\n");
}

TEST_F(Wininit, FileWithoutARenameSectionGetsOneAtTheEnd) {
  MakeFile("C:\\WINDOWS\\wininit.ini", "[Other]\r\nx=1\r\n");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[Other]\nx=1\n[rename]\r\n" + entry_);
}

TEST_F(Wininit, RenameSectionLastGetsTheEntryAtTheEnd) {
  MakeFile("C:\\WINDOWS\\wininit.ini", "[other]\r\n[RENAME]\r\nNUL=C:\\A.EXE");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  // The old last line had no line break: the entry still starts on a line of its own.
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[other]\n[RENAME]\nNUL=C:\\A.EXE\r\n" + entry_);
}

TEST_F(Wininit, LastLineWithoutBreakAndNoSection) {
  MakeFile("C:\\WINDOWS\\wininit.ini", "[Other]\r\nx=1");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[Other]\nx=1\r\n[rename]\r\n" + entry_);
}

TEST_F(Wininit, ALongLineIsNeverSplitByTheEntry) {
  // A bracket where the 648-byte line buffer cuts the line is not a section header.
  const std::string longLine = "x=" + std::string(645, 'a') + "[b]" + std::string(100, 'c');
  MakeFile("C:\\WINDOWS\\wininit.ini", "[rename]\r\n" + longLine + "\r\n[next]\r\n");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"),
            "[rename]\n" + longLine + "\n" + entry_ + "[next]\n");
}

TEST_F(Wininit, ZeroBytesInsideLinesAreKept) {
  // Text-mode reading hands zero bytes over as text; the rest of such a line, and the break
  // that ends it, must not be lost, nor may the next header be missed.
  using namespace std::string_literals;
  const std::string zeros(700, '\0');
  MakeFile("C:\\WINDOWS\\wininit.ini",
           "[r\0x]\r\n[rename]\r\nNUL=C:\\A\0B.EXE\r\nx="s + zeros + "\r\n[next]\r\nend\0"s);
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"),
            "[r\0x]\n[rename]\nNUL=C:\\A\0B.EXE\nx="s + zeros + "\n" + entry_ + "[next]\nend\0"s);
}

TEST_F(Wininit, EmptyFileGetsTheSection) {
  MakeFile("C:\\WINDOWS\\wininit.ini", "");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[rename]\r\n" + entry_);
}

TEST_F(Wininit, AFileThatCannotBeReplacedStaysAsItWas) {
  const std::string old = "[rename]\r\nNUL=C:\\A.EXE\r\n";
  MakeFile("C:\\WINDOWS\\wininit.ini", old);
  machine().Meta("C:\\WINDOWS\\wininit.ini").attributes = FILE_ATTRIBUTE_READONLY;
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 0);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), old);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\wininit.new"));
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(Wininit, WhenTheNewFileCannotTakeItsPlaceTheOldOneStays) {
  const std::string old = "[rename]\r\nNUL=C:\\A.EXE\r\n";
  MakeFile("C:\\WINDOWS\\wininit.ini", old);
  machine().refuseMove = [](const std::string& from, const std::string&) {
    return from == "C:\\WINDOWS\\wininit.new";
  };
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 0);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), old);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\wininit.new"));
  EXPECT_FALSE(Exists("C:\\WINDOWS\\wininit.vxold"));
  // A kept copy left by an earlier run does not stand in the way.
  machine().refuseMove = nullptr;
  MakeFile("C:\\WINDOWS\\wininit.vxold", "stale");
  EXPECT_EQ(ScheduleBootRemoval(kInfected), 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[rename]\nNUL=C:\\A.EXE\n" + entry_);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\wininit.vxold"));
}

TEST_F(Wininit, FileThatDoesNotExistAnyMoreIsNotScheduled) {
  EXPECT_EQ(ScheduleBootRemoval("C:\\gone\\file.exe"), 0);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\wininit.ini"));
}

TEST_F(Wininit, RefusedDeleteOn9xReportsAndSchedules) {
  Detected(kInfected);
  HoldOpen(kInfected);
  g_scan.removalAction = ActionRemove;
  DisinfectFile(kInfected, "W32/Tarvix.19.Backdoor");
  EXPECT_EQ(window().list,
            (Lines{std::string(kInfected) + "     W32/Tarvix.19.Backdoor Unable to remove"}));
  EXPECT_EQ(g_scan.restartNeeded, 1);
  EXPECT_EQ(Contents("C:\\WINDOWS\\wininit.ini"), "[rename]\r\n" + entry_);
}

}  // namespace
