// Trees that try to trip the walk up: links that loop or lead out of the drive, folders and
// files that cannot be read, FIFOs, names that differ only in case or hold a backslash, a very
// large folder, paths at the length limit, files that vanish or grow while they are scanned. The
// scan always finishes, counts what it saw, says what it could not see, and reports nothing
// falsely.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/signatures/signature_record.h"
#include "platform/files.h"
#include "tests/support/scan_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const SignatureRecord& Row(int row) { return SignatureTable[row - 1]; }

std::string Bytes(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Lines g_notScanned;  // "path: reason", as the scan said them
void NoteNotScannedForTest(const char* path, const char* reason) {
  g_notScanned.push_back(std::string(path) + ": " + reason);
}

class HostileTree : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    ScanAllDrives();
    g_notScanned.clear();
    g_scan.notScannedHandler = NoteNotScannedForTest;
  }
  int Detections() {
    int lines = 0;
    for (const std::string& line : window().allLines) {
      if (line.find("     W32/") != std::string::npos) ++lines;
    }
    return lines;
  }
};

TEST_F(HostileTree, LinksNeitherLoopNorLeaveTheDrive) {
  MakeFile("C:\\a\\inside.txt", "x");
  fs::create_directory_symlink(Host("C:\\a"), Host("C:\\a\\loop"));
  fs::create_directory_symlink(Host("C:\\"), Host("C:\\a\\root"));
  // Outside the drive: a folder holding a specimen, reached by a folder link and a file link.
  const fs::path outside = fs::path(Host("C:\\")).parent_path().parent_path() / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "bad.exe", std::ios::binary) << Bytes(specimen::MatchingFile(Row(40)));
  fs::create_directory_symlink(outside, Host("C:\\out"));
  fs::create_symlink(outside / "bad.exe", Host("C:\\linked.exe"));
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(g_scan.filesInfected, 0);
  EXPECT_TRUE(fs::exists(outside / "bad.exe"));
  EXPECT_EQ(window().status, "Scanning completed");
  fs::remove_all(outside);
}

TEST_F(HostileTree, UnreadableFoldersAndFilesAreSaidAndNotCounted) {
  MakeFile("C:\\locked\\bad.exe", Bytes(specimen::MatchingFile(Row(40))));
  MakeFile("C:\\open\\denied.exe", Bytes(specimen::MatchingFile(Row(45))));
  MakeFile("C:\\open\\fine.txt", "x");
  machine().Meta("C:\\locked").denyAccess = true;
  machine().Meta("C:\\open\\denied.exe").denyAccess = true;
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(g_scan.filesNotScanned, 2);
  EXPECT_EQ(g_notScanned,
            (Lines{"C:\\locked: cannot be read", "C:\\open\\denied.exe: cannot be read"}));
  EXPECT_EQ(g_scan.filesInfected, 0);
  EXPECT_EQ(Detections(), 0);
  EXPECT_TRUE(Exists("C:\\locked\\bad.exe"));
  EXPECT_TRUE(Exists("C:\\open\\denied.exe"));
}

TEST_F(HostileTree, FifosNeitherBlockNorCount) {
  MakeFile("C:\\sub\\bad.exe", Bytes(specimen::MatchingFile(Row(40))));
  const std::vector<std::string> fifos = {Host("C:\\pipe.exe"), Host("C:\\sub\\pipe")};
  for (const std::string& fifo : fifos) ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A reader that waits in open() lets a writer in: then the writer ends the wait and tells.
  std::atomic<bool> done{false}, blocked{false};
  std::thread watch([&] {
    while (!done) {
      for (const std::string& fifo : fifos) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) continue;
        blocked = true;
        ::close(fd);
      }
      ::usleep(10000);
    }
  });
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(plat::_open("C:\\pipe.exe", _O_RDONLY | _O_BINARY), -1);
  EXPECT_EQ(plat::fopen("C:\\sub\\pipe", "r"), nullptr);
  EXPECT_EQ(plat::CopyFileA("C:\\pipe.exe", "C:\\copy.exe", TRUE), FALSE);
  done = true;
  watch.join();
  EXPECT_FALSE(blocked);
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(g_scan.filesRemoved, 1);
}

TEST_F(HostileTree, NamesDifferingOnlyInCaseAreTwoFiles) {
  MakeFile("C:\\dir\\SETUP.EXE", "clean");
  MakeFile("C:\\dir\\setup.exe", Bytes(specimen::MatchingFile(Row(40))));
  machine().Meta("C:\\dir\\SETUP.EXE").attributes =
      FILE_ATTRIBUTE_READONLY;  // its own, not the twin's
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);
  EXPECT_EQ(g_scan.filesRemoved, 1);
  EXPECT_EQ(window().list.front(), "C:\\dir\\setup.exe     W32/Tarvix.12.Backdoor removed");
  EXPECT_FALSE(Exists("C:\\dir\\setup.exe"));
  EXPECT_EQ(Contents("C:\\dir\\SETUP.EXE"), "clean");
}

TEST_F(HostileTree, AHostNameWithABackslashIsScannedUnderItsWindowsForm) {
  const std::string host = Host("C:\\") + "/back\\slash.exe";
  std::ofstream(host, std::ios::binary) << Bytes(specimen::MatchingFile(Row(40)));
  const std::string windows = std::string("C:\\back") + sim::kBackslashInName + "slash.exe";
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);
  EXPECT_EQ(window().list.front(), windows + "     W32/Tarvix.12.Backdoor removed");
  EXPECT_FALSE(fs::exists(host));
}

TEST_F(HostileTree, AFolderOfAHundredThousandEntries) {
  const fs::path big = Host("C:\\big");
  fs::create_directories(big);
  for (int i = 0; i < 100000; ++i) std::ofstream(big / ("f" + std::to_string(i)));
  MakeFile("C:\\big\\zz.exe", Bytes(specimen::MatchingFile(Row(40))));
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 100001);
  EXPECT_EQ(g_scan.filesRemoved, 1);
  EXPECT_FALSE(Exists("C:\\big\\zz.exe"));
}

TEST_F(HostileTree, PathsAtTheLengthLimit) {
  // Folders of 50 characters, then a file name that brings the path to 259 or 260 characters.
  std::string folder = "C:";
  for (int level = 0; level < 4; ++level)
    folder += "\\" + std::string(50, static_cast<char>('a' + level));
  const size_t room = 259 - folder.size() - 1;  // for the name after the backslash
  const std::string fits = folder + "\\" + std::string(room - 4, 'n') + ".exe";
  const std::string tooLong = folder + "\\" + std::string(room - 3, 'm') + ".exe";
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_EQ(tooLong.size(), 260u);
  MakeFile(fits, Bytes(specimen::MatchingFile(Row(40))));
  MakeFile(tooLong, Bytes(specimen::MatchingFile(Row(45))));
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);  // the 260-character one cannot be named by the system ...
  EXPECT_EQ(g_notScanned, Lines{tooLong + ": path too long"});  // ... and that is said
  EXPECT_FALSE(Exists(fits));
  EXPECT_TRUE(Exists(tooLong));
  EXPECT_EQ(window().list.front(), fits + "     W32/Tarvix.12.Backdoor removed");
}

TEST_F(HostileTree, AFileThatVanishesBeforeItIsOpened) {
  MakeFile("C:\\gone.exe", Bytes(specimen::MatchingFile(Row(40))));
  MakeFile("C:\\stays.exe", Bytes(specimen::MatchingFile(Row(45))));
  window().onStatus = [this](const std::string& status) {
    if (status == "C:\\gone.exe") fs::remove(Host("C:\\gone.exe"));
  };
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);
  EXPECT_EQ(g_scan.filesInfected, 1);
  EXPECT_EQ(window().list.front(), "C:\\stays.exe     W32/Tarvix.A.VirTool removed");
}

TEST_F(HostileTree, AFileThatGrowsWhileItIsRead) {
  MakeFile("C:\\grows.exe", Bytes(specimen::MatchingFile(Row(40))));
  MakeFile("C:\\clean.bin", std::string(Row(45).FileSize(), '\0'));
  int reads = 0;
  machine().onRead = [&](int) {
    if (++reads == 2) {
      std::ofstream(Host("C:\\grows.exe"), std::ios::app) << std::string(5000, 'g');
      std::ofstream(Host("C:\\clean.bin"), std::ios::app) << std::string(5000, 'g');
    }
  };
  g_scan.removalAction = ActionReportOnly;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);
  // The length was taken before it grew: the one specimen may be reported, the clean file never.
  for (const std::string& line : window().allLines)
    EXPECT_EQ(line.find("clean.bin"), std::string::npos) << line;
  EXPECT_LE(g_scan.filesInfected, 1);
}

}  // namespace
