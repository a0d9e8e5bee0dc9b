// Reading ahead of the walk: bytes a reader read before the program opened a file are the
// program's only while the file is still what was read. A file changed in place, removed or
// replaced since is opened and read as it is now.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/posix/posix_readahead.h"
#include "platform/scoped_handle.h"
#include "tests/support/scan_fixture.h"

namespace {

class ReadAhead : public ScanTest {
 protected:
  void TearDown() override {
    posix::SetReadAheadThreads(1);
    ScanTest::TearDown();
  }

  // The file's bytes as the matcher would read them, or the open's error.
  std::string Read(const char* path) {
    const int fd = plat::_open(path, _O_RDONLY | _O_BINARY);
    if (fd == -1) return errno == ENOENT ? "<gone>" : "<error>";
    char bytes[64];
    const int got = plat::_read(fd, bytes, sizeof bytes);
    plat::_close(fd);
    return got < 0 ? "<error>" : std::string(bytes, static_cast<size_t>(got));
  }
};

TEST_F(ReadAhead, AFileChangedSinceItWasReadIsReadAsItIsNow) {
  for (const char* name : {"C:\\changed.exe", "C:\\gone.exe", "C:\\replaced.exe", "C:\\same.exe"}) {
    MakeFile(name, "old bytes");
  }
  MakeFile("C:\\new.tmp", "new bytes");
  // Only files left alone for two seconds are read ahead.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  posix::SetReadAheadThreads(4, true);
  WIN32_FIND_DATAA data;
  plat::SearchHandle search(plat::FindFirstFileA("C:\\*.*", &data));
  ASSERT_TRUE(search.valid());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the readers are done

  const int fd = ::open(Host("C:\\changed.exe").c_str(), O_WRONLY);
  ASSERT_EQ(::pwrite(fd, "new", 3, 0), 3);  // the same size
  ::close(fd);
  ASSERT_EQ(::unlink(Host("C:\\gone.exe").c_str()), 0);
  ASSERT_EQ(::rename(Host("C:\\new.tmp").c_str(), Host("C:\\replaced.exe").c_str()), 0);

  EXPECT_EQ(Read("C:\\changed.exe"), "new bytes");
  EXPECT_EQ(Read("C:\\gone.exe"), "<gone>");
  EXPECT_EQ(Read("C:\\replaced.exe"), "new bytes");
  EXPECT_EQ(Read("C:\\same.exe"), "old bytes");
}

// Without readers: a listing tells the files' sizes though it only looks at the folder, and the
// small reads served from one larger read see what the program has written since.
TEST_F(ReadAhead, ListedSizesAndSmallReadsFollowTheFile) {
  std::string bytes(3000, 'a');
  bytes[2999] = 'z';
  MakeFile("C:\\file.bin", bytes);
  MakeFile("C:\\empty.bin", "");
  WIN32_FIND_DATAA data;
  plat::SearchHandle search(plat::FindFirstFileA("C:\\*.*", &data));
  ASSERT_TRUE(search.valid());
  std::map<std::string, DWORD> sizes;
  do {
    sizes[data.cFileName] = data.nFileSizeLow;
  } while (plat::FindNextFileA(search.get(), &data));
  EXPECT_EQ(sizes["file.bin"], 3000u);
  EXPECT_EQ(sizes["empty.bin"], 0u);

  const int fd = plat::_open("C:\\file.bin", _O_RDONLY | _O_BINARY);
  ASSERT_NE(fd, -1);
  char got[4] = {};
  const auto readAt = [&](long position, unsigned count) {
    std::fill(got, got + sizeof got, '\0');
    return plat::_lseek(fd, position, SEEK_SET) == position ? plat::_read(fd, got, count) : -1;
  };
  EXPECT_EQ(readAt(60, 2), 2);
  EXPECT_EQ(std::string(got, 2), "aa");
  const int writer = plat::_open("C:\\file.bin", _O_WRONLY | _O_BINARY);
  ASSERT_NE(writer, -1);
  ASSERT_EQ(plat::_lseek(writer, 60, SEEK_SET), 60);
  ASSERT_EQ(plat::_write(writer, "bb", 2), 2);
  plat::_close(writer);
  EXPECT_EQ(readAt(60, 2), 2);
  EXPECT_EQ(std::string(got, 2), "bb");
  EXPECT_EQ(readAt(2998, 4), 2);  // past the first 2 KiB, up to the end
  EXPECT_EQ(std::string(got, 2), "az");
  EXPECT_EQ(readAt(3000, 2), 0);
  plat::_close(fd);
}

}  // namespace
