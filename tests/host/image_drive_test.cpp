// A drive made of a file system inside a disk image: the program lists and reads it as any other
// drive (Windows name rules, sizes, contents), every change is refused and the image stays as it
// was, and a damaged file system does not hang a walk.
// The images are real FAT file systems, made with mkfs.fat and mtools for each test.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan_driver.h"
#include "platform/files.h"
#include "platform/posix/posix_image.h"
#include "platform/posix/posix_tsk.h"
#include "tests/support/scan_fixture.h"

namespace {

using Names = std::vector<std::string>;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

Names Listing(const std::string& pattern) {
  WIN32_FIND_DATAA data;
  HANDLE search = plat::FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return {"error " + std::to_string(plat::GetLastError())};
  Names names;
  do {
    names.push_back(std::string(data.cFileName) +
                    ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "/" : "") + " " +
                    std::to_string(data.nFileSizeLow));
  } while (plat::FindNextFileA(search, &data));
  plat::FindClose(search);
  return names;
}

std::string ReadThrough(const std::string& path) {
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd == -1) return "errno " + std::to_string(errno);
  std::string bytes(static_cast<size_t>(plat::_filelength(fd)), '\0');
  const int got = plat::_read(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
  plat::_close(fd);
  return got == static_cast<int>(bytes.size()) ? bytes : "short read";
}

class ImageDriveTest : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    if (std::system("command -v mkfs.fat mmd mcopy >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "mkfs.fat and mtools are needed to make the images";
    char folder[] = "/tmp/vexpurge-image-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
    image_ = folder_ + "/fat.img";
  }
  void TearDown() override {
    if (volume_) volume_->CloseFiles();  // the machine keeps its drive's volume a while longer
    volume_.reset();
    if (fs_ != nullptr) posix::tsk().fs_close(fs_);
    if (img_ != nullptr) posix::tsk().img_close(img_);
    if (!folder_.empty()) std::system(("rm -rf " + folder_).c_str());
    ScanTest::TearDown();
  }

  // A FAT file system (FAT32 when fat32), labelled, holding these files (name, contents).
  void Make(const std::vector<std::pair<std::string, std::string>>& files, bool fat32 = false) {
    std::string script = "cd " + folder_ + " && truncate -s " + (fat32 ? "40M" : "4M") +
                         " fat.img && mkfs.fat " + (fat32 ? "-F 32" : "-F 12") +
                         " -n IMAGE fat.img >/dev/null && export MTOOLS_SKIP_CHECK=1";
    int n = 0;
    for (const auto& file : files) {
      const std::string source = "f" + std::to_string(n++);
      std::ofstream(folder_ + "/" + source, std::ios::binary) << file.second;
      for (size_t slash = file.first.find('/'); slash != std::string::npos;
           slash = file.first.find('/', slash + 1))
        script += " && { mmd -i fat.img ::" + file.first.substr(0, slash) + " 2>/dev/null; true; }";
      script += " && mcopy -i fat.img " + source + " '::" + file.first + "'";
    }
    ASSERT_EQ(std::system(script.c_str()), 0) << script;
  }

  // Maps the image's file system to the drive letter.
  void Map(char letter) {
    std::string why;
    const posix::TskLibrary* tsk = posix::LoadTsk(&why);
    ASSERT_NE(tsk, nullptr) << why;
    img_ = tsk->img_open_utf8_sing(image_.c_str(), TSK_IMG_TYPE_RAW, 0);
    ASSERT_NE(img_, nullptr);
    fs_ = tsk->fs_open_img(img_, 0, TSK_FS_TYPE_DETECT);
    ASSERT_NE(fs_, nullptr);
    volume_ = std::make_shared<posix::FileSystemVolume>(fs_);
    machine().MapImageDrive(letter, volume_);
  }

  // Overwrites bytes of the image where the text first occurs, plus offset.
  void Patch(const std::string& text, size_t offset, const std::string& bytes) {
    std::string image = ReadFile(image_);
    const size_t at = image.find(text);
    ASSERT_NE(at, std::string::npos) << text;
    image.replace(at + offset, bytes.size(), bytes);
    std::ofstream(image_, std::ios::binary) << image;
  }

  std::string folder_, image_;
  TSK_IMG_INFO* img_ = nullptr;
  TSK_FS_INFO* fs_ = nullptr;
  std::shared_ptr<posix::FileSystemVolume> volume_;
};

TEST_F(ImageDriveTest, ListsAndReadsAsAnyDrive) {
  Make({{"Tools/Sub/Long File Name.txt", "hello from the image"},
        {"Tools/b.dat", std::string(70000, 'b')},
        {"ROOT.EXE", "MZ"}});
  Map('E');
  // The volume's label is no file; a drive root lists no "." and "..".
  EXPECT_EQ(Listing("E:\\*"), (Names{"ROOT.EXE 2", "Tools/ 0"}));
  EXPECT_EQ(Listing("E:\\TOOLS\\*.*"), (Names{"./ 0", "../ 0", "b.dat 70000", "Sub/ 0"}));
  // Any case reaches the file; what is read is the file's bytes, however many clusters.
  EXPECT_EQ(ReadThrough("e:\\tools\\SUB\\long file name.TXT"), "hello from the image");
  EXPECT_EQ(ReadThrough("E:\\Tools\\b.dat"), std::string(70000, 'b'));
  EXPECT_EQ(ReadThrough("E:\\Tools\\missing.txt"), "errno " + std::to_string(ENOENT));
  EXPECT_EQ(ReadThrough("E:\\Tools"), "errno " + std::to_string(EACCES));
  EXPECT_EQ(plat::GetFileAttributesA("E:\\tools\\sub") & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(machine().HostPath("E:\\tools\\sub"), "<image>/E/Tools/Sub");
}

TEST_F(ImageDriveTest, RefusesEveryChangeAndLeavesTheImageAsItWas) {
  Make({{"Dir/a.exe", "MZ a"}, {"b.txt", "b"}});
  const std::string before = ReadFile(image_);
  Map('E');
  const auto refused = [](BOOL done) {
    return !done && plat::GetLastError() == ERROR_ACCESS_DENIED;
  };
  EXPECT_TRUE(refused(plat::DeleteFileA("E:\\Dir\\a.exe")));
  EXPECT_TRUE(refused(plat::MoveFileA("E:\\Dir\\a.exe", "E:\\Dir\\a.Vxe")));
  EXPECT_TRUE(refused(plat::MoveFileA("E:\\b.txt", "C:\\b.txt")));
  EXPECT_TRUE(refused(plat::MoveFileExA("E:\\b.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)));
  EXPECT_TRUE(refused(plat::CopyFileA("C:\\nothing", "E:\\c.txt", FALSE)) ||
              plat::GetLastError() == ERROR_FILE_NOT_FOUND);
  MakeFile("C:\\c.txt", "c");
  EXPECT_TRUE(refused(plat::CopyFileA("C:\\c.txt", "E:\\c.txt", FALSE)));
  EXPECT_TRUE(refused(plat::CreateDirectoryA("E:\\New", nullptr)));
  EXPECT_TRUE(refused(plat::RemoveDirectoryA("E:\\Dir")));
  EXPECT_TRUE(refused(plat::SetFileAttributesA("E:\\b.txt", FILE_ATTRIBUTE_NORMAL)));
  for (int flags : {_O_WRONLY, _O_RDWR, _O_RDONLY | _O_TRUNC, _O_WRONLY | _O_CREAT | _O_APPEND}) {
    errno = 0;
    EXPECT_EQ(plat::_open("E:\\b.txt", flags | _O_BINARY, _S_IWRITE), -1) << flags;
    EXPECT_EQ(errno, EACCES) << flags;
  }
  EXPECT_EQ(plat::_open("E:\\new.txt", _O_WRONLY | _O_CREAT, _S_IWRITE), -1);
  EXPECT_EQ(plat::fopen("E:\\b.txt", "a"), nullptr);
  EXPECT_FALSE(machine().PutFile("E:\\b.txt", "changed"));
  // Read through a stream, as the hosts file is.
  FILE* stream = plat::fopen("E:\\B.TXT", "r");
  ASSERT_NE(stream, nullptr);
  char line[8] = {};
  EXPECT_NE(plat::fgets(line, sizeof line, stream), nullptr);
  plat::fclose(stream);
  EXPECT_STREQ(line, "b");
  EXPECT_EQ(Listing("E:\\*"), (Names{"b.txt 1", "Dir/ 0"}));
  EXPECT_TRUE(ReadFile(image_) == before) << "the image was written";
}

TEST_F(ImageDriveTest, FolderThatHoldsTheRootAgainIsWalkedOnce) {
  // FAT32: the root is a cluster chain, so a folder can be made to hold the root again.
  Make({{"Loop/inner.txt", "inner"}, {"keep.txt", "kept"}}, true);
  Patch("LOOP       ", 20, std::string("\0\0", 2));
  Patch("LOOP       ", 26, std::string("\2\0", 2));
  Map('E');
  ScanAllDrives();
  g_scan.removalAction = ActionReportOnly;
  RunScan();
  // Loop is not shown again below itself: the walk ends, keep.txt read once there and once at
  // the root.
  EXPECT_EQ(Listing("E:\\Loop\\*"), (Names{"./ 0", "../ 0", "keep.txt 4"}));
  EXPECT_EQ(g_scan.filesScanned, 2);
  EXPECT_EQ(g_scan.filesNotScanned, 0);
}

}  // namespace
