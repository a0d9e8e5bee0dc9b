// Trees that try to trip the walk up: links that loop or lead out of the drive, folders and
// files that cannot be read, a very large folder, paths at the length limit, files that vanish
// or grow while they are scanned. The scan always finishes, counts what it saw, and reports
// nothing falsely.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/signatures/signature_record.h"
#include "tests/support/scan_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const SignatureRecord& Row(int row) { return SignatureTable[row - 1]; }

std::string Bytes(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class HostileTree : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    ScanAllDrives();
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

TEST_F(HostileTree, UnreadableFoldersAndFilesAreSkippedQuietly) {
  MakeFile("C:\\locked\\bad.exe", Bytes(specimen::MatchingFile(Row(40))));
  MakeFile("C:\\open\\denied.exe", Bytes(specimen::MatchingFile(Row(45))));
  MakeFile("C:\\open\\fine.txt", "x");
  machine().Meta("C:\\locked").denyAccess = true;
  machine().Meta("C:\\open\\denied.exe").denyAccess = true;
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 2);  // denied.exe is listed and counted, but cannot be read
  EXPECT_EQ(g_scan.filesInfected, 0);
  EXPECT_EQ(Detections(), 0);
  EXPECT_TRUE(Exists("C:\\locked\\bad.exe"));
  EXPECT_TRUE(Exists("C:\\open\\denied.exe"));
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
  for (int level = 0; level < 4; ++level) folder += "\\" + std::string(50, static_cast<char>('a' + level));
  const size_t room = 259 - folder.size() - 1;  // for the name after the backslash
  const std::string fits = folder + "\\" + std::string(room - 4, 'n') + ".exe";
  const std::string tooLong = folder + "\\" + std::string(room - 3, 'm') + ".exe";
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_EQ(tooLong.size(), 260u);
  MakeFile(fits, Bytes(specimen::MatchingFile(Row(40))));
  MakeFile(tooLong, Bytes(specimen::MatchingFile(Row(45))));
  g_scan.removalAction = ActionRemove;
  RunScan();
  EXPECT_EQ(g_scan.filesScanned, 1);  // the 260-character one cannot be named by the system
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
  for (const std::string& line : window().allLines) EXPECT_EQ(line.find("clean.bin"), std::string::npos) << line;
  EXPECT_LE(g_scan.filesInfected, 1);
}

}  // namespace
