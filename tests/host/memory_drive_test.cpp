// A drive in memory shows the program what a drive mapped to a host folder shows: the same
// listing (order, attributes, sizes, short names), the same file found through a name in any
// case, the same deletes and renames and the same refusals. D: is a host folder, M: in memory.
#include <cerrno>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/support/scan_fixture.h"

namespace {

using Entries = std::vector<std::string>;

Entries Listing(const std::string& pattern) {
  WIN32_FIND_DATAA data;
  HANDLE search = plat::FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return {"error " + std::to_string(plat::GetLastError())};
  Entries entries;
  do {
    entries.push_back(std::string(data.cFileName) + "|" + data.cAlternateFileName + "|" +
                      std::to_string(data.dwFileAttributes) + "|" +
                      std::to_string(data.nFileSizeLow));
  } while (plat::FindNextFileA(search, &data));
  plat::FindClose(search);
  return entries;
}

std::string ReadThrough(const std::string& path) {
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd == -1) return "errno " + std::to_string(errno);
  std::string bytes(static_cast<size_t>(plat::_filelength(fd)), '\0');
  const int got = plat::_read(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
  plat::_close(fd);
  return got == static_cast<int>(bytes.size()) ? bytes : "short read";
}

class MemoryDriveTest : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    AddDrive('D');
    machine().MapMemoryDrive('M');
    for (const std::string drive : {"D:", "M:"}) {
      ASSERT_TRUE(machine().PutFile(drive + "\\Data\\Setup.EXE", "MZ setup"));
      ASSERT_TRUE(machine().PutFile(drive + "\\DATA\\a long name.txt", "text"));  // into Data
      ASSERT_TRUE(machine().PutFile(drive + "\\data\\sub\\b.bin", std::string("\0\1", 2)));
      ASSERT_TRUE(plat::SetFileAttributesA((drive + "\\data\\SETUP.exe").c_str(),
                                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    }
  }
};

TEST_F(MemoryDriveTest, ListsAndReadsAsAMappedFolder) {
  const Entries listed = Listing("M:\\data\\*");
  EXPECT_EQ(listed, Listing("D:\\data\\*"));
  ASSERT_EQ(listed.size(), 5u);  // ".", "..", then by upper-case name
  EXPECT_EQ(listed[2], "a long name.txt|ALONGN~1.TXT|32|4");
  EXPECT_EQ(listed[3], "Setup.EXE||3|8");
  EXPECT_EQ(Listing("M:\\*.*"), Listing("D:\\*.*"));
  EXPECT_EQ(Listing("M:\\DATA\\s*"), Listing("D:\\DATA\\s*"));
  EXPECT_EQ(Listing("M:\\nowhere\\*"), Listing("D:\\nowhere\\*"));

  EXPECT_EQ(ReadThrough("M:\\DATA\\A LONG NAME.TXT"), "text");
  EXPECT_EQ(ReadThrough("M:\\Data\\Sub\\B.bin"), std::string("\0\1", 2));
  EXPECT_EQ(ReadThrough("M:\\Data\\none"), ReadThrough("D:\\Data\\none"));
  EXPECT_EQ(ReadThrough("M:\\Data"), ReadThrough("D:\\Data"));  // a folder is no file
}

TEST_F(MemoryDriveTest, DeletesAndRenamesAsAMappedFolder) {
  for (const std::string drive : {"D:", "M:"}) {
    SCOPED_TRACE(drive);
    const std::string setup = drive + "\\data\\setup.exe";
    EXPECT_FALSE(plat::DeleteFileA(setup.c_str()));  // read-only
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(plat::SetFileAttributesA(setup.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(plat::DeleteFileA(setup.c_str()));
    const std::string from = drive + "\\data\\sub\\b.bin";
    EXPECT_TRUE(plat::MoveFileA(from.c_str(), (drive + "\\data\\C.BIN").c_str()));
    EXPECT_FALSE(plat::RemoveDirectoryA((drive + "\\data").c_str()));  // not empty
  }
  EXPECT_EQ(Listing("M:\\data\\*"), Listing("D:\\data\\*"));
  EXPECT_EQ(Listing("M:\\data\\sub\\*"), Listing("D:\\data\\sub\\*"));
  std::string bytes;
  EXPECT_FALSE(machine().GetFile("M:\\Data\\Setup.EXE", &bytes));
  ASSERT_TRUE(machine().GetFile("M:\\Data\\c.bin", &bytes));
  EXPECT_EQ(bytes, std::string("\0\1", 2));
}

// Files made after others went take nothing of theirs, neither bytes nor attributes.
TEST_F(MemoryDriveTest, NewFilesStartAfreshAfterDeletes) {
  for (const std::string drive : {"D:", "M:"}) {
    ASSERT_TRUE(plat::SetFileAttributesA((drive + "\\data\\setup.exe").c_str(),
                                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    machine().Meta(drive + "\\data\\setup.exe").failSetAttributes = true;
    ASSERT_TRUE(plat::DeleteFileA((drive + "\\data\\setup.exe").c_str()));
    ASSERT_TRUE(plat::DeleteFileA((drive + "\\data\\sub\\b.bin").c_str()));
    for (const char* name : {"\\data\\setup.exe", "\\data\\sub\\new.bin"}) {
      const int fd = plat::_open((drive + name).c_str(), _O_WRONLY | _O_CREAT | _O_BINARY,
                                 _S_IREAD | _S_IWRITE);
      ASSERT_NE(fd, -1);
      EXPECT_EQ(plat::_write(fd, "new", 3), 3);
      EXPECT_EQ(plat::_close(fd), 0);
    }
    EXPECT_TRUE(
        plat::SetFileAttributesA((drive + "\\data\\setup.exe").c_str(), FILE_ATTRIBUTE_ARCHIVE));
  }
  const Entries listed = Listing("M:\\data\\*");
  EXPECT_EQ(listed, Listing("D:\\data\\*"));
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[3], "setup.exe||32|3");
  EXPECT_EQ(Listing("M:\\data\\sub\\*"), Listing("D:\\data\\sub\\*"));
  EXPECT_EQ(ReadThrough("M:\\data\\setup.exe"), "new");
}

}  // namespace
