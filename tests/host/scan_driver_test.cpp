// The scan driver and the walker: which entries are visited and in what order, which drives are
// walked, the explicit "\Program Files" walk, stopping, message pumping, the statistics block.
#include "engine/scan_driver.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cleanup/startup_cleanup.h"
#include "engine/signatures/signature_record.h"
#include "engine/text_scanner.h"
#include "engine/texts.h"
#include "platform/files.h"
#include "tests/support/scan_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

using Lines = std::vector<std::string>;

// The statuses shown for entries (the final status texts left out).
Lines EntryStatuses(const sim::MainWindow& window) {
  Lines entries;
  for (const std::string& status : window.statusHistory) {
    if (status != "Scanning completed" && status != "Scanning terminated")
      entries.push_back(status);
  }
  return entries;
}

bool Contains(const Lines& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

Lines StatisticsBlock(int scanned, int infected, int removed) {
  Lines block;
  if (infected > 0) block.push_back(" ");
  block.push_back("Scanning statistics");
  block.push_back("------------------------------");
  block.push_back("Total files scanned\t\t:  " + std::to_string(scanned));
  block.push_back("Total files infected\t\t:  " + std::to_string(infected));
  block.push_back("Total files removed\t\t:  " + std::to_string(removed));
  return block;
}

}  // namespace

// --- Walk order -------------------------------------------------------------------------------

using WalkOrder = ScanTest;

// A 32-bit program on 64-bit Windows sees SysWOW64 where it asks for System32 unless the scan
// turns that off: every file of both is walked once, under its own name, and removed there.
TEST_F(WalkOrder, UnderWow64System32AndSysWow64AreEachWalkedOnceAsThemselves) {
  machine().width = sim::Machine::Width::Program32On64;
  const auto specimenBytes = [](int row) {
    const std::vector<uint8_t> file = specimen::MatchingFile(SignatureTable[row - 1]);
    return std::string(file.begin(), file.end());
  };
  MakeFile("C:\\WINDOWS\\system32\\real64.exe", specimenBytes(40));
  MakeFile("C:\\WINDOWS\\SysWOW64\\only32.dll", specimenBytes(3));
  MakeFile("C:\\WINDOWS\\SysWOW64\\clean.dll", "clean");
  ScanAllDrives();
  RunScan();
  const Lines statuses = EntryStatuses(window());
  for (const char* path : {"C:\\WINDOWS\\system32\\real64.exe", "C:\\WINDOWS\\SysWOW64\\only32.dll",
                           "C:\\WINDOWS\\SysWOW64\\clean.dll"}) {
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), path), 1) << path;
  }
  EXPECT_FALSE(Contains(statuses, "C:\\WINDOWS\\system32\\only32.dll"));
  EXPECT_FALSE(Exists("C:\\WINDOWS\\system32\\real64.exe"));
  EXPECT_FALSE(Exists("C:\\WINDOWS\\SysWOW64\\only32.dll"));
  EXPECT_EQ(g_scan.filesScanned, 3);
  EXPECT_EQ(g_scan.filesInfected, 2);
  EXPECT_EQ(g_scan.filesRemoved, 2);
}

TEST_F(WalkOrder, FilesOfAFolderComeBeforeItsSubfoldersDepthFirst) {
  MakeFile("C:\\a.txt");
  MakeFile("C:\\A1\\x.bin");
  MakeFile("C:\\A1\\B\\y.bin");
  MakeFile("C:\\A2\\w");  // no extension: a file like any other
  MakeFile("C:\\z.txt");
  ScanAllDrives();
  RunScan();

  EXPECT_EQ(EntryStatuses(window()),
            (Lines{"C:\\a.txt", "C:\\A1", "C:\\A2", "C:\\z.txt",             // root, files pass
                   "C:\\A1\\.", "C:\\A1\\..", "C:\\A1\\B", "C:\\A1\\x.bin",  // A1 before A2
                   "C:\\A1\\B\\.", "C:\\A1\\B\\..", "C:\\A1\\B\\y.bin",      // B inside A1
                   "C:\\A2\\.", "C:\\A2\\..", "C:\\A2\\w"}));
  EXPECT_EQ(g_scan.filesScanned, 5);
  EXPECT_EQ(window().status, "Scanning completed");
  EXPECT_EQ(window().list, StatisticsBlock(5, 0, 0));
}

TEST_F(WalkOrder, HiddenAndSystemFilesAreScannedLikeAnyOther) {
  MakeFile("C:\\hidden.exe");
  MakeFile("C:\\sys\\system.dll");
  machine().Meta("C:\\hidden.exe").attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  machine().Meta("C:\\sys").attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN;
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);
}

TEST_F(WalkOrder, FolderTooDeepForAPathBufferIsSkippedWithEverythingBelowIt) {
  // Four levels of 50-character names leave room for a fifth folder's name, but not for its
  // pattern: the fifth is skipped, the fourth is walked whole.
  std::string path = "C:";
  for (int level = 0; level < 4; ++level)
    path += "\\" + std::string(50, static_cast<char>('a' + level));
  MakeFile(path + "\\kept.exe");
  const std::string tooDeep = path + "\\" + std::string(50, 'e');
  ASSERT_GT(tooDeep.size() + 4, 259u);
  MakeFile(tooDeep + "\\lost.exe");
  // A file whose own path would not fit is skipped too.
  MakeFile(path + "\\" + std::string(60, 'f'));
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(g_scan.filesNotScanned, 2);  // the folder and the file, each said once
  EXPECT_EQ(window().status, "Scanning completed");
}

TEST_F(WalkOrder, OnlyLinksAndFilesWhoseDataIsElsewhereAreLeftAlone) {
  const std::vector<std::pair<std::string, DWORD>> kinds = {
      {"wof.exe", IO_REPARSE_TAG_WOF},
      {"dedup.exe", IO_REPARSE_TAG_DEDUP},
      {"link.exe", IO_REPARSE_TAG_SYMLINK},
      {"junction", IO_REPARSE_TAG_MOUNT_POINT},
      {"untagged.exe", 0},
      {"foreign.exe", 1},
      {"compressed\\in.exe", 0}};
  for (const auto& kind : kinds) {
    MakeFile("C:\\" + kind.first);
    if (kind.first.find('\\') != std::string::npos) continue;
    machine().Meta("C:\\" + kind.first).attributes =
        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
    machine().Meta("C:\\" + kind.first).reparseTag = kind.second;
  }
  machine().Meta("C:\\compressed").attributes = FILE_ATTRIBUTE_REPARSE_POINT;
  machine().Meta("C:\\compressed").reparseTag = IO_REPARSE_TAG_WOF;
  for (DWORD notLocal : {FILE_ATTRIBUTE_OFFLINE, FILE_ATTRIBUTE_RECALL_ON_OPEN,
                         FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS}) {
    const std::string path = "C:\\cloud" + std::to_string(notLocal) + ".exe";
    MakeFile(path);
    machine().Meta(path).attributes = FILE_ATTRIBUTE_ARCHIVE | notLocal;
  }
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 3);
  for (const char* scanned : {"C:\\wof.exe", "C:\\dedup.exe", "C:\\compressed\\in.exe"}) {
    EXPECT_TRUE(Contains(window().statusHistory, scanned)) << scanned;
  }
}

TEST_F(WalkOrder, PlainFilePathDuringTheMemorySweepVisitsOnlyThatFileUncounted) {
  MakeFile("C:\\dir\\a.exe");
  MakeFile("C:\\dir\\b.exe");
  ASSERT_TRUE(g_scan.memorySweepActive);  // its start value
  g_scan.foundInMemory = true;
  EXPECT_EQ(WalkDirectory("C:\\dir\\a.exe"), 0);
  EXPECT_FALSE(g_scan.foundInMemory);  // cleared by every walk
  EXPECT_EQ(EntryStatuses(window()), (Lines{"C:\\dir\\a.exe"}));
  EXPECT_EQ(g_scan.filesScanned, 0);
}

TEST_F(WalkOrder, PatternWithoutADotOutsideTheSweepEndsTheWalkWithMinusOne) {
  MakeFile("C:\\noext");
  g_scan.memorySweepActive = false;
  EXPECT_EQ(WalkDirectory("C:\\noext"), -1);
  EXPECT_EQ(g_scan.filesScanned, 0);
  EXPECT_EQ(machine().OpenHandles(), 0u);  // the search was closed
}

TEST_F(WalkOrder, MissingFolderContributesNothing) {
  g_scan.memorySweepActive = false;
  EXPECT_EQ(WalkDirectory("C:\\nowhere\\*.*"), 0);
  EXPECT_TRUE(window().statusHistory.empty());
}

TEST_F(WalkOrder, SearchesAreClosedOnEveryWayOut) {
  MakeFile("C:\\a\\b\\c.exe");
  machine().queue.push_back(sim::Message(WM_QUIT));
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(machine().OpenHandles(), 0u);
  ResetScanState();
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

// --- Drives -----------------------------------------------------------------------------------

using Drives = ScanTest;

TEST_F(Drives, OnlyFixedDrivesFromCToZAreWalkedInLetterOrder) {
  MakeFile("C:\\c.exe");
  AddDrive('D', DRIVE_CDROM);
  MakeFile("D:\\cd.exe");
  AddDrive('E', DRIVE_REMOVABLE);
  MakeFile("E:\\stick.exe");
  AddDrive('F', DRIVE_REMOTE);
  MakeFile("F:\\share.exe");
  AddDrive('G', DRIVE_RAMDISK);
  MakeFile("G:\\ram.exe");
  AddDrive('Z');
  MakeFile("Z:\\z.exe");
  AddDrive('A');  // A: and B: are never looked at
  MakeFile("A:\\floppy.exe");
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(EntryStatuses(window()), (Lines{"C:\\c.exe", "Z:\\z.exe"}));
  EXPECT_EQ(g_scan.filesScanned, 2);
}

TEST_F(Drives, ScanTargetOtherThanAllDrivesWalksThatFolderOnly) {
  MakeFile("C:\\elsewhere.exe");
  MakeFile("C:\\target\\in.exe");
  CopyText(g_scan.scanTarget, "C:\\target");
  RunScan();
  EXPECT_EQ(EntryStatuses(window()),
            (Lines{"C:\\target\\.", "C:\\target\\..", "C:\\target\\in.exe"}));
}

TEST_F(Drives, EmptyScanTargetGoesStraightToTheStatistics) {
  MakeFile("C:\\a.exe");
  RunScan();
  EXPECT_TRUE(EntryStatuses(window()).empty());
  EXPECT_EQ(window().list, StatisticsBlock(0, 0, 0));
  EXPECT_TRUE(g_scan.memorySweepActive);  // no sweep ran
}

// --- The "\Program Files" folder ---------------------------------------------------------------

using ProgramFolder = ScanTest;

TEST_F(ProgramFolder, WalkedOnceWhenTheDriveWalkPassesThroughIt) {
  MakeFile("C:\\Program Files\\app\\app.exe");
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(g_scan.programFilesSeen, 1);
  EXPECT_EQ(g_scan.programFilesPending, 1);  // stays set; the explicit walk never ran
}

TEST_F(ProgramFolder, OtherSpellingIsTheSameFolderAndWalkedOnce) {
  MakeFile("C:\\Program files\\app.exe");
  MakeFile("C:\\Program files\\PROGRAM FILES\\x.exe");
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);
  EXPECT_EQ(g_scan.programFilesSeen, 1);
  EXPECT_EQ(g_scan.programFilesPending, 1);  // the explicit walk never ran
  EXPECT_TRUE(Contains(window().statusHistory, "C:\\Program files\\app.exe"));
  EXPECT_FALSE(Contains(window().statusHistory, "C:\\Program Files\\app.exe"));
  EXPECT_STREQ(g_scan.programFilesPattern, "C:\\Program Files\\*.*");
}

TEST_F(ProgramFolder, NoFolderNoExplicitWalk) {
  MakeFile("C:\\Programs\\app.exe");
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(g_scan.programFilesPending, 0);
  EXPECT_STREQ(g_scan.programFilesPattern, "C:\\Program Files");
}

TEST_F(ProgramFolder, EachDriveGetsItsOwnExplicitWalkUntilOneIsSeen) {
  MakeFile("C:\\PROGRAM FILES\\c.exe");
  AddDrive('D');
  MakeFile("D:\\program files\\d.exe");
  ScanAllDrives();
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);  // each once, by its drive walk
  EXPECT_TRUE(Contains(window().statusHistory, "C:\\PROGRAM FILES\\c.exe"));
  EXPECT_TRUE(Contains(window().statusHistory, "D:\\program files\\d.exe"));
}

// --- Stopping and message pumping -----------------------------------------------------------

class Stopping : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    for (int i = 0; i < 10; ++i) MakeFile("C:\\f" + std::to_string(i) + ".exe");
    AddDrive('D');
    MakeFile("D:\\d.exe");
    ScanAllDrives();
  }

  // Escape waits in the queue once the walk has shown this many statuses.
  void PressEscapeAfter(size_t statuses) {
    window().onStatus = [this, statuses](const std::string&) {
      if (window().statusHistory.size() == statuses)
        machine().queue.push_back(sim::KeyPress(VK_ESCAPE));
    };
  }
};

TEST_F(Stopping, EscapeAnsweredNoContinuesWhereTheWalkWas) {
  PressEscapeAfter(3);
  machine().dialogAnswers.push_back(IDNO);
  RunScan();
  ASSERT_EQ(machine().dialogs.size(), 1u);
  EXPECT_EQ(machine().dialogs[0].text, "Terminate the Scan now?");
  EXPECT_EQ(machine().dialogs[0].caption, "Vexpurge Ver 1.0");
  EXPECT_EQ(machine().dialogs[0].flags, 0x24u);
  EXPECT_EQ(g_scan.filesScanned, 11);
  EXPECT_EQ(window().status, "Scanning completed");
  EXPECT_EQ(machine().dispatched, 0);  // the Escape message itself is not dispatched
}

TEST_F(Stopping, EscapeAnsweredYesStopsEveryRemainingDriveButStillReports) {
  PressEscapeAfter(3);
  machine().dialogAnswers.push_back(IDYES);
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 3);
  EXPECT_FALSE(Contains(window().statusHistory, "D:\\d.exe"));
  EXPECT_EQ(window().status, "Scanning terminated");
  EXPECT_EQ(window().list, StatisticsBlock(3, 0, 0));
}

TEST_F(Stopping, AnyAnswerButNoStops) {
  PressEscapeAfter(1);
  machine().dialogAnswers.push_back(IDCANCEL);
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_TRUE(g_scan.terminateRequested);
}

TEST_F(Stopping, EscapeInAnyMessageCounts) {
  window().onStatus = [this](const std::string&) {
    if (window().statusHistory.size() == 2)
      machine().queue.push_back(sim::Message(WM_CHAR, VK_ESCAPE));
  };
  machine().dialogAnswers.push_back(IDYES);
  RunScan();
  EXPECT_EQ(machine().dialogs.size(), 1u);
  EXPECT_EQ(window().status, "Scanning terminated");
}

TEST_F(Stopping, OnePressOfEscapeAsksOnce) {
  // Down and up both wait in the queue when the walk is busy.
  window().onStatus = [this](const std::string&) {
    if (window().statusHistory.size() == 2) {
      machine().queue.push_back(sim::Message(WM_KEYDOWN, VK_ESCAPE));
      machine().queue.push_back(sim::Message(WM_KEYUP, VK_ESCAPE));
    }
  };
  machine().dialogAnswers.push_back(IDNO);
  machine().dialogAnswers.push_back(IDYES);  // a second question would stop the scan
  RunScan();
  EXPECT_EQ(machine().dialogs.size(), 1u);
  EXPECT_EQ(window().status, "Scanning completed");
  EXPECT_EQ(machine().dispatched, 0);
}

TEST_F(Stopping, QuitOrDestroyInTheQueueStopsWithoutDispatching) {
  for (UINT message : {static_cast<UINT>(WM_QUIT), static_cast<UINT>(WM_DESTROY)}) {
    ResetScanState();
    sim::MainWindow window;
    ScanAllDrives();
    machine().queue.push_back(sim::Message(message));
    const int dispatchedBefore = machine().dispatched;
    RunScan();
    EXPECT_EQ(g_scan.filesScanned, 0) << message;
    EXPECT_EQ(window.status, "Scanning terminated") << message;
    EXPECT_EQ(window.list, StatisticsBlock(0, 0, 0)) << message;
    EXPECT_EQ(machine().dispatched, dispatchedBefore) << message;
    EXPECT_TRUE(machine().dialogs.empty());
    machine().queue.clear();
  }
}

TEST_F(Stopping, AQuitTakenByTheWalkIsPostedAgainForTheProgramToEnd) {
  ScanAllDrives();
  machine().queue.push_back(sim::Message(WM_QUIT, 3));
  RunScan();
  ASSERT_EQ(machine().queue.size(), 1u);
  EXPECT_EQ(machine().queue.front().message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(machine().queue.front().wParam, 3u);
}

TEST_F(Stopping, OtherMessagesAreTranslatedAndDispatchedOneAtATime) {
  std::vector<UINT> received;
  HWND other = machine().CreateWindow([&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    received.push_back(message);
    return 0;
  });
  machine().queue.push_back(sim::Message(WM_TIMER, 5, 0, other));
  machine().queue.push_back(sim::Message(WM_LBUTTONDOWN, 1, 0, other));
  PumpMessages();
  EXPECT_EQ(received, (std::vector<UINT>{WM_TIMER}));
  EXPECT_EQ(machine().translated, 1);
  PumpMessages();
  PumpMessages();  // an empty queue: nothing happens
  EXPECT_EQ(received, (std::vector<UINT>{WM_TIMER, WM_LBUTTONDOWN}));
  EXPECT_FALSE(g_scan.terminateRequested);
}

TEST_F(Stopping, WindowHandlersRunNestedInsideTheWalk) {
  // A click on the window's stop control, dispatched while the walk pumps, stops the walk.
  HWND stopButton = machine().CreateWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    g_scan.terminateRequested = true;
    return 0;
  });
  window().onStatus = [&](const std::string&) {
    if (window().statusHistory.size() == 5)
      machine().queue.push_back(sim::Message(WM_COMMAND, 2, 0, stopButton));
  };
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 5);
  EXPECT_EQ(window().status, "Scanning terminated");
}

// --- Statistics block and restart question ----------------------------------------------------

using Statistics = ScanTest;

TEST_F(Statistics, WithInfectionsABlankLinePrecedesTheBlock) {
  g_scan.filesScanned = 12;
  g_scan.filesInfected = 3;
  g_scan.filesRemoved = 2;
  RunScan();
  EXPECT_EQ(window().list, StatisticsBlock(12, 3, 2));
  EXPECT_EQ(window().list.front(), " ");
  EXPECT_TRUE(g_scan.statisticsBegun);
}

TEST_F(Statistics, RestartIsOfferedOnlyWhenARemovalWaitsForTheBoot) {
  RunScan();
  EXPECT_TRUE(machine().dialogs.empty());

  g_scan.restartNeeded = 1;
  machine().dialogAnswers.push_back(IDNO);
  RunScan();
  ASSERT_EQ(machine().dialogs.size(), 1u);
  EXPECT_EQ(machine().dialogs[0].text,
            "The system has to be restarted to remove the virus completely from your system. "
            "\n\n Restart now?");
  EXPECT_EQ(machine().dialogs[0].caption, "Vexpurge Ver 1.0");
  EXPECT_EQ(machine().dialogs[0].flags, 36u);
  EXPECT_TRUE(machine().restarts.empty());
}

// --- The hosts file ------------------------------------------------------------------------------

class HostsFile : public ScanTest {
 protected:
  const std::string hosts_ = "C:\\WINDOWS\\system32\\drivers\\etc\\hosts";
  void MakeInfectedHosts() {
    const auto* pattern = reinterpret_cast<const char*>(RevealedTextPattern(0));
    MakeFile(hosts_, "begin 644 hosts\n" + std::string(pattern, 100) + "\n");
  }
};

TEST_F(HostsFile, CheckedOnceAScanHoweverManyFilesAreFound) {
  MakeInfectedHosts();
  const std::vector<uint8_t> infected = specimen::MatchingFile(SignatureTable[0]);
  for (const char* path : {"C:\\a.exe", "C:\\b.exe", "C:\\c.exe"}) {
    MakeFile(path, std::string(infected.begin(), infected.end()));
  }
  ScanAllDrives();
  g_scan.removalAction = ActionReportOnly;
  RunScan();
  int hostsLines = 0;
  for (const std::string& line : window().list)
    hostsLines += line.find("hosts     W32/Kelto.Worm") != std::string::npos;
  EXPECT_EQ(hostsLines, 1);
  EXPECT_EQ(g_scan.filesInfected, 4);
}

TEST_F(HostsFile, NeitherFamilyHasOne) {
  MakeInfectedHosts();
  machine().SetVersion(sim::WindowsVersion::QueryFails);
  g_scan.removalAction = ActionRemove;
  CheckHostsFile();
  EXPECT_TRUE(Exists(hosts_));
  EXPECT_TRUE(g_scan.hostsChecked);
}

// --- The results list and the report channel ---------------------------------------------------

using ResultsList = ScanTest;

TEST_F(ResultsList, TheWalkKeepsAtMost150LinesButTheStatisticsBlockIsNeverCut) {
  for (int i = 1; i <= 150; ++i) PostReportLine("line %d", i);
  EXPECT_EQ(window().list.size(), 150u);
  PostReportLine("line 151");
  EXPECT_EQ(window().list, (Lines{"line 151"}));

  for (int i = 152; i <= 300; ++i) PostReportLine("line %d", i);
  ASSERT_EQ(window().list.size(), 150u);
  RunScan();  // the statistics block begins: the list only grows from here
  EXPECT_EQ(window().list.size(), 155u);
  EXPECT_EQ(window().list[149], "line 300");
  EXPECT_EQ(window().list.back(), "Total files removed\t\t:  0");
  EXPECT_EQ(window().clears, 1);
}

TEST_F(ResultsList, LinesSentWithoutAWindowAreLost) {
  g_scan.mainWindow = nullptr;
  PostReportLine("nobody sees this");
  PostStatus();
  EXPECT_TRUE(window().allLines.empty());
  EXPECT_TRUE(window().statusHistory.empty());
}

TEST_F(ResultsList, AnOverlongLineIsCutNeverOverrun) {
  std::memset(g_scan.statusText, 'S', sizeof g_scan.statusText - 1);
  const std::string path(600, 'p');
  PostReportLine("%s     %s removed", path.c_str(), kFamilyName);
  EXPECT_EQ(std::strlen(g_scan.ReportLine), sizeof g_scan.ReportLine - 1);
  EXPECT_EQ(window().list.back(), std::string(499, 'p'));
  EXPECT_EQ(std::strlen(g_scan.statusText), sizeof g_scan.statusText - 1);  // neighbour intact
}

// --- Status line ------------------------------------------------------------------------------

TEST(ShortenPathForDisplay, LongPathsKeepHeadAndTailAroundTwoDots) {
  char out[512];
  const std::string path80 = "C:\\" + std::string(37, 'a') + "\\" + std::string(39, 'b');
  ASSERT_EQ(path80.size(), 80u);
  ShortenPathForDisplay(path80.c_str(), out, 60, sizeof out);
  EXPECT_EQ(std::string(out), path80.substr(0, 29) + ".." + path80.substr(51));
  EXPECT_EQ(std::strlen(out), 60u);

  const std::string path61(61, 'x');
  ShortenPathForDisplay(path61.c_str(), out, 60, sizeof out);
  EXPECT_EQ(std::string(out), std::string(29, 'x') + ".." + std::string(29, 'x'));

  // An odd width gets three dots: 29 + 3 + 29 = 61.
  ShortenPathForDisplay(path80.c_str(), out, 61, sizeof out);
  EXPECT_EQ(std::string(out), path80.substr(0, 29) + "..." + path80.substr(51));
}

TEST(ShortenPathForDisplay, ShortPathsAndTinyWidthsAreCopiedUnchanged) {
  char out[512];
  const std::string path60(60, 'y');
  ShortenPathForDisplay(path60.c_str(), out, 60, sizeof out);
  EXPECT_EQ(std::string(out), path60);
  for (WORD width : {0, 1, 2, 3}) {  // no head to keep
    ShortenPathForDisplay("C:\\somewhere\\file.exe", out, width, sizeof out);
    EXPECT_STREQ(out, "C:\\somewhere\\file.exe") << width;
  }
  char small[8];
  std::memset(small, 0xbd, sizeof small);
  ShortenPathForDisplay("C:\\a\\b", small, 99, 5);
  EXPECT_STREQ(small, "C:\\a");
  EXPECT_EQ(static_cast<unsigned char>(small[5]), 0xbd);
}

TEST_F(WalkOrder, StatusLineShowsLongPathsShortened) {
  const std::string folder = "C:\\" + std::string(40, 'd');
  MakeFile(folder + "\\" + std::string(40, 'n') + ".exe");
  ScanAllDrives();
  RunScan();
  const std::string full = folder + "\\" + std::string(40, 'n') + ".exe";
  EXPECT_TRUE(
      Contains(window().statusHistory, full.substr(0, 29) + ".." + full.substr(full.size() - 29)));
}
