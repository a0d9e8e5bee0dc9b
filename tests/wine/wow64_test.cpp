// A 32-bit program on 64-bit Windows (WoW64), and the 64-bit one beside it: the real System32
// and SysWOW64, both registry views, running processes of both widths, and no library taken
// from beside the program. Run in the WoW64 prefix by the 32-bit build's tests.
#include "platform/wow64.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "engine/texts.h"
#include "memory/process_list.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "tests/wine/wine_fixture.h"
#include "tools/specimen/specimen.h"

namespace {

constexpr const char* kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class WineWow64 : public WineDetection {
 protected:
  void SetUp() override {
    WineDetection::SetUp();
    REGSAM views[2];
    if (plat::RegistryViews(views) != 2) GTEST_SKIP() << "not a 64-bit system";
  }
  void TearDown() override {
    for (const std::string& path : made_) {
      plat::FileSystemRedirectionOff real;
      plat::DeleteFileA(path.c_str());
      plat::RemoveDirectoryA(path.substr(0, path.rfind('\\')).c_str());
    }
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      for (const char* name : {"vexpurge-wow64-bad", "vexpurge-wow64-good"})
        DeleteValue(view, name);
    }
    WineDetection::TearDown();
  }

  // A specimen in a folder of its own under the real system folder of this width ("System32"
  // or "SysWOW64"), written with redirection off.
  std::string PutInWindows(const char* folder, int row) {
    char windows[MAX_PATH];
    ::GetWindowsDirectoryA(windows, sizeof windows);
    const std::string dir = std::string(windows) + "\\" + folder + "\\vxwow64";
    const std::string path = dir + "\\" + folder + "-specimen.exe";
    plat::FileSystemRedirectionOff real;
    plat::CreateDirectoryA(dir.c_str(), nullptr);
    EXPECT_TRUE(WriteAll(path, specimen::MatchingFile(Row(row)))) << path;
    made_.push_back(path);
    return path;
  }
  bool RealExists(const std::string& path) {
    plat::FileSystemRedirectionOff real;
    return plat::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  static void SetValue(REGSAM view, const char* name, const std::string& data) {
    HKEY key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRun, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>(data.size() + 1));
    ::RegCloseKey(key);
  }
  static bool HasValue(REGSAM view, const char* name) {
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRun, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
      return false;
    const bool found =
        ::RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return found;
  }
  static void DeleteValue(REGSAM view, const char* name) {
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRun, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
      return;
    ::RegDeleteValueA(key, name);
    ::RegCloseKey(key);
  }

  std::vector<std::string> made_;
};

TEST_F(WineWow64, SpecimensInSystem32AndSysWow64AreEachRemovedAndCountedOnce) {
  char windows[MAX_PATH];
  ::GetWindowsDirectoryA(windows, sizeof windows);
  if (!RealExists(std::string(windows) + "\\SysWOW64\\kernel32.dll"))
    GTEST_SKIP() << "no 32-bit half";
  const std::string system32 = PutInWindows("System32", 40);
  const std::string syswow64 = PutInWindows("SysWOW64", 3);
  for (const std::string& path : {system32, syswow64}) {
    SCOPED_TRACE(path);
    ResetScanState();
    g_lines.clear();
    g_scan.mainWindow = window_;
    g_scan.removalAction = ActionRemove;
    const std::string folder = path.substr(0, path.rfind('\\'));
    CopyText(g_scan.scanTarget, folder.c_str());
    RunScan();
    EXPECT_FALSE(RealExists(path));
    EXPECT_EQ(g_scan.filesScanned, 1);
    EXPECT_EQ(g_scan.filesInfected, 1);
    EXPECT_EQ(g_scan.filesRemoved, 1);
    ASSERT_FALSE(g_lines.empty());
    EXPECT_EQ(g_lines[0].substr(0, path.size()), path);
  }
}

TEST_F(WineWow64, StartupValuesAreCleanedInBothRegistryViews) {
  const std::string path = Put("starter.exe", specimen::MatchingFile(Row(58)));
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    SetValue(view, "vexpurge-wow64-bad", "\"" + path + "\" /autorun");
    SetValue(view, "vexpurge-wow64-good", "C:\\windows\\notepad.exe");
  }

  EXPECT_EQ(CheckFile(kFamilyName, path.c_str()), 1);

  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    EXPECT_FALSE(HasValue(view, "vexpurge-wow64-bad")) << view;
    EXPECT_TRUE(HasValue(view, "vexpurge-wow64-good")) << view;
  }
  // The second view's value goes as the value name the first one's sweep remembered.
  EXPECT_EQ(g_lines, (Lines{"System Registry     W32/Tarvix.Backdoor removed",
                            "System Registry     W32/Tarvix.Bs.Backdoor removed",
                            path + "     W32/Tarvix.Bs.Backdoor removed"}));
}

TEST_F(WineWow64, RunningProgramsOfBothWidthsAreTerminatedAndRemoved) {
  if (ReadAll(ProgramFolder() + "\\other-width-specimen.exe").empty())
    GTEST_SKIP() << "no program of the other width";
  const std::string own = StartRunningSpecimen("own-width.exe");
  const std::string other =
      StartRunningSpecimen("other-width.exe", false, "other-width-specimen.exe");
  ASSERT_FALSE(own.empty());
  ASSERT_FALSE(other.empty());

  CopyText(g_scan.scanTarget, Scratch().c_str());
  RunScan();

  EXPECT_FALSE(SpecimenRunning(0));
  EXPECT_FALSE(SpecimenRunning(1));
  EXPECT_FALSE(Exists(own));
  EXPECT_FALSE(Exists(other));
  EXPECT_EQ(g_scan.filesRemoved, 2);
}

// A psapi.dll of ours lies beside the program, also as vxplanted.dll, and Wine is told to
// prefer it (see wow64-tests.sh): the process lists must still come from the system's own, and
// once the search is restricted no library beside the program is found by its bare name.
TEST_F(WineWow64, APlantedLibraryBesideTheProgramIsNeverLoaded) {
  const std::string marker = ProgramFolder() + "\\planted-library-loaded";
  ProcessList list = ListProcessesPsapi();
  EXPECT_NE(list.get(), nullptr);
  EXPECT_FALSE(Exists(marker));
  char path[MAX_PATH] = {};
  ASSERT_NE(::GetModuleFileNameA(::GetModuleHandleA("psapi.dll"), path, sizeof path), 0u);
  const std::string loaded = path;
  EXPECT_NE(_stricmp(loaded.substr(0, loaded.rfind('\\')).c_str(), ProgramFolder().c_str()), 0)
      << loaded;

  if (!Exists(ProgramFolder() + "\\vxplanted.dll")) GTEST_SKIP() << "no library planted";
  plat::RestrictLibrarySearch();
  HMODULE planted = ::LoadLibraryA("vxplanted.dll");
  EXPECT_EQ(planted, nullptr);
  if (planted != nullptr) ::FreeLibrary(planted);
  EXPECT_FALSE(Exists(marker));
}

}  // namespace
