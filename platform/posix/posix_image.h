// File systems inside disk images for the Linux back end, read through The Sleuth Kit: each is
// an ImageVolume that a drive of the machine shows (Machine::MapImageDrive). Linked apart from
// the rest of the back end (vexpurge_posix_image), for the programs that open images.
//
//   auto volume = std::make_shared<posix::FileSystemVolume>(fs);
//   posix::machine().MapImageDrive('C', volume);
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/posix_machine.h"

struct TSK_FS_INFO;

namespace posix {

// A file system of an image, only read. Shown are the allocated names of plain files and
// folders; what the file system keeps for itself (NTFS metadata files, the library's virtual
// files and folders of orphans) is not. Each folder is listed once, when first asked for, and
// kept. A folder met a second time (a damaged file system links it below itself, or in two
// places) is shown only where it was met first, so that no walk enters it twice. A folder that
// cannot be listed, or a file whose data cannot be found or lie beyond the end of the image,
// fails with EIO.
class FileSystemVolume : public ImageVolume {
 public:
  // fs stays open, the caller's, for as long as the volume is used.
  explicit FileSystemVolume(TSK_FS_INFO* fs);
  ~FileSystemVolume() override;

  bool Look(const std::string& path, Entry* entry) override;
  const std::vector<Entry>* List(const std::string& path) override;
  int Open(const std::string& path, uint64_t* size) override;
  long Read(int file, void* buffer, size_t count, uint64_t position) override;
  void Close(int file) override;

  // Closes every file still open, as must be done before the file system is closed (the drive
  // may keep the volume longer); a read of one fails afterwards.
  void CloseFiles();

  // The sizes of the files opened so far, added up: how far a scan has come.
  uint64_t bytesOpened() const { return bytesOpened_; }
  // The files whose data could not be read, each once, as paths below the root.
  const std::vector<std::string>& unreadable() const { return unreadable_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t bytesOpened_ = 0;
  std::vector<std::string> unreadable_;
};

}  // namespace posix
