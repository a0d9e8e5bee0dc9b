// What the logic expects of the file calls, pinned on both the simulated machine and Wine.
#include <cstring>
#include <set>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/contract/contract_fixture.h"

namespace {

std::vector<std::string> List(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE search = plat::FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(data.cFileName);
  } while (plat::FindNextFileA(search, &data));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  plat::FindClose(search);
  return names;
}

}  // namespace

using FileContract = ContractTest;

TEST_F(FileContract, FolderListingHasDotsFirstAndEveryEntry) {
  WriteFile("a.exe", "x");
  WriteFile("noext", "y");
  MakeFolder("sub");
  const auto names = List(Scratch() + "\\*.*");
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], ".");
  EXPECT_EQ(names[1], "..");
  EXPECT_EQ(std::set<std::string>(names.begin() + 2, names.end()),
            (std::set<std::string>{"a.exe", "noext", "sub"}));
}

TEST_F(FileContract, PlainPathFindsExactlyThatFile) {
  const std::string path = WriteFile("Target.EXE", "x");
  WIN32_FIND_DATAA data;
  std::memset(&data, 0xbd, sizeof data);
  HANDLE search = plat::FindFirstFileA((Scratch() + "\\target.exe").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "Target.EXE");
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(plat::FindNextFileA(search, &data));
  plat::FindClose(search);
}

TEST_F(FileContract, MissingFolderCannotBeSearched) {
  WIN32_FIND_DATAA data;
  plat::SetLastError(0xdeadbeef);
  EXPECT_EQ(plat::FindFirstFileA((Scratch() + "\\nowhere\\*.*").c_str(), &data),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileContract, LookupIgnoresCase) {
  MakeFolder("Program Files");
  EXPECT_EQ(plat::_access((Scratch() + "\\PROGRAM FILES").c_str(), 0), 0);
  EXPECT_EQ(plat::_access((Scratch() + "\\program files\\x").c_str(), 0), -1);
}

TEST_F(FileContract, ReadOnlyFileRefusesDeleteUntilAttributesReset) {
  const std::string path = WriteFile("ro.exe", "x");
  ASSERT_TRUE(
      plat::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  plat::SetLastError(0xdeadbeef);
  EXPECT_FALSE(plat::DeleteFileA(path.c_str()));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(plat::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(plat::GetFileAttributesA(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(plat::DeleteFileA(path.c_str()));
  EXPECT_EQ(plat::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileContract, DeleteErrors) {
  plat::SetLastError(0xdeadbeef);
  EXPECT_FALSE(plat::DeleteFileA((Scratch() + "\\missing.exe").c_str()));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::string folder = MakeFolder("dir");
  EXPECT_FALSE(plat::DeleteFileA(folder.c_str()));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileContract, DescriptorReadsAreExactAndBounded) {
  const std::string path = WriteFile("data.bin", std::string("0123456789", 10));
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plat::_filelength(fd), 10);
  EXPECT_EQ(plat::_lseek(fd, 6, SEEK_SET), 6);
  char buffer[8];
  std::memset(buffer, 0xbd, sizeof buffer);
  EXPECT_EQ(plat::_read(fd, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(static_cast<unsigned char>(buffer[4]), 0xbd);
  EXPECT_EQ(plat::_lseek(fd, 100, SEEK_SET), 100);       // beyond the end is allowed ...
  EXPECT_EQ(plat::_read(fd, buffer, sizeof buffer), 0);  // ... and reads nothing
  EXPECT_EQ(plat::_lseek(fd, -1, SEEK_SET), -1);
  EXPECT_EQ(plat::_close(fd), 0);
}

TEST_F(FileContract, TextModeReadingTurnsLineEndsAndStopsAtControlZ) {
  const std::string path = WriteFile("t.ini", "[a]\r\nx=1\r\nlast\x1aignored\r\n");
  FILE* stream = plat::fopen(path.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  char line[64];
  std::vector<std::string> lines;
  while (plat::fgets(line, sizeof line, stream)) lines.push_back(line);
  plat::fclose(stream);
  EXPECT_EQ(lines, (std::vector<std::string>{"[a]\n", "x=1\n", "last"}));
}

TEST_F(FileContract, SystemFoldersFollowTheWindowsConventions) {
  char buffer[MAX_PATH];
  const UINT length = plat::GetWindowsDirectoryA(buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(length, std::strlen(buffer));
  EXPECT_EQ(plat::GetWindowsDirectoryA(buffer, 1), length + 1);  // too small: size needed
  const DWORD temp = plat::GetTempPathA(sizeof buffer, buffer);
  ASSERT_GT(temp, 0u);
  EXPECT_EQ(buffer[temp - 1], '\\');
}

TEST_F(FileContract, EnvironmentExpansionCountsTheTerminator) {
  char buffer[MAX_PATH];
  const DWORD needed =
      plat::ExpandEnvironmentStringsA("%SystemRoot%\\x.exe", buffer, sizeof buffer);
  EXPECT_EQ(needed, std::strlen(buffer) + 1);
  char windows[MAX_PATH];
  plat::GetWindowsDirectoryA(windows, sizeof windows);
  EXPECT_EQ(plat::_stricmp(buffer, (std::string(windows) + "\\x.exe").c_str()), 0);
  EXPECT_EQ(plat::ExpandEnvironmentStringsA("%NoSuchVariable%", buffer, sizeof buffer), 17u);
  EXPECT_STREQ(buffer, "%NoSuchVariable%");
}

TEST_F(FileContract, ShortPathOfAnExistingFile) {
  MakeFolder("Long Folder Name");
  WriteFile("Long Folder Name\\a.exe", "x");
  char buffer[MAX_PATH];
  const std::string path = Scratch() + "\\Long Folder Name\\a.exe";
  const DWORD length = plat::GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(length, std::strlen(buffer));
  EXPECT_EQ(std::string(buffer).find(' '), std::string::npos);
  EXPECT_EQ(plat::GetShortPathNameA((Scratch() + "\\nothing.exe").c_str(), buffer, sizeof buffer),
            0u);

  // And back: every alias becomes the long name again.
  const std::string alias = buffer;
  char back[MAX_PATH];
  std::memset(back, 0xbd, sizeof back);
  EXPECT_EQ(plat::GetLongPathNameA(alias.c_str(), back, 4),
            path.size() + 1);  // too small: the size needed
  ASSERT_EQ(plat::GetLongPathNameA(alias.c_str(), back, sizeof back), path.size());
  EXPECT_EQ(plat::_stricmp(back, path.c_str()), 0) << back;
  plat::SetLastError(0xdeadbeef);
  EXPECT_EQ(plat::GetLongPathNameA((Scratch() + "\\LONGFO~9\\a.exe").c_str(), back, sizeof back),
            0u);
  EXPECT_NE(plat::GetLastError(), 0xdeadbeefu);
}

TEST_F(FileContract, DelayedDeleteIsAcceptedOnNt) {
  // The machine's boot-time list is put back as it was afterwards.
  const char* key = "System\\CurrentControlSet\\Control\\Session Manager";
  const char* name = "PendingFileRenameOperations";
  HKEY handle = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle),
            ERROR_SUCCESS);
  std::vector<BYTE> before(65536);
  DWORD size = static_cast<DWORD>(before.size());
  const bool existed =
      plat::RegQueryValueExA(handle, name, nullptr, nullptr, before.data(), &size) == ERROR_SUCCESS;

  const std::string path = WriteFile("later.exe", "x");
  EXPECT_TRUE(plat::MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  bool found = false;
  ReadFile(path, &found);
  EXPECT_TRUE(found);  // nothing happens before the restart

  if (existed) {
    plat::RegSetValueExA(handle, name, 0, REG_MULTI_SZ, before.data(), size);
  } else {
    plat::RegDeleteValueA(handle, name);
  }
  plat::RegCloseKey(handle);
}
