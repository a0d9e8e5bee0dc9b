// Reading ahead of the walk, for the Linux back end. While the program's own reads wait for the
// disk, a few reader threads open the plain files of the folder listed last in listing order,
// relative to the folder, and read what the matcher reads first: the start of the file and, when
// the PE headers lie beyond it, the headers. They stay a bounded number of files ahead of the
// program. The program's open of such a file then takes the descriptor already open and the
// bytes already read, once a look at the open file shows it as it was when it was read; any
// other read goes to the file. From the page cache the program reads faster alone: the readers
// rest while files come from there.
//
// The program's own calls stay on its one thread and in its order: the readers only make the
// bytes it asks for ready sooner. With one thread nothing is read ahead.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace posix {

struct HostFolder;
struct Listing;

// The program's own look at or first read of a listed file of a host folder, timed: when many of
// them wait for the disk, the readers are put to work, from the file after it on. They stop again
// once a window's worth of files in a row came from the page cache, where the program alone is
// faster. (A listing is not timed: a wide folder takes long to list from the page cache too.)
// Without a listing (a file not opened from one) nothing is timed.
class ProgramIo {
 public:
  ProgramIo(const Listing* listing, size_t entryIndex);
  ~ProgramIo();
  ProgramIo(const ProgramIo&) = delete;
  ProgramIo& operator=(const ProgramIo&) = delete;

 private:
  const Listing* listing_;
  size_t entryIndex_;
  std::chrono::steady_clock::time_point start_{};
};

// Threads the scan uses for reading, the program's own included: 1 or less reads nothing ahead.
// Set before the first listing; ends the readers of an earlier setting. always: the readers read
// ahead from the first listing on, whether or not the program waits (for tests).
void SetReadAheadThreads(int threads, bool always = false);

// What a listing learns of one entry: a plain file or a folder, a link to one, or nothing to list
// (gone, a dangling link, a FIFO, socket or device).
struct EntryLook {
  bool listed = false;
  bool link = false;
  bool directory = false;
  long long size = 0;
};

// Looks at count entries of the open host folder dirFd (Windows names): on the readers and the
// program's own thread at once when reading ahead, one after the other otherwise.
void LookAtEntries(int dirFd, const std::string* names, size_t count, EntryLook* looks);

// A folder listing was just made from the open host folder: its plain files are read ahead from
// now on, in place of those of the folder listed before.
void ReadAheadFolder(const std::shared_ptr<HostFolder>& folder,
                     const std::shared_ptr<const Listing>& listing);

// The size of plain file entryIndex of the listing as the reader that opened it saw it, waiting
// for the reader when it is at it; false when no reader has it.
bool ReadAheadSize(const Listing& listing, size_t entryIndex, long long* size);

// An open for reading of windowsPath, spelled as the last listing spelled it: the descriptor a
// reader opened, when the file is still what it read, with its size then; -1 otherwise (the
// program opens the file itself).
int TakeReadAhead(const char* windowsPath, long long* size);

// A read of count bytes at position from a descriptor TakeReadAhead gave: true with the result
// in *got when what was read ahead holds it.
bool ReadAheadRead(int fd, void* buffer, unsigned count, long long position, long* got);

// The program closes fd (any descriptor): what was read ahead for it is let go. True when fd came
// from TakeReadAhead: the descriptor is then closed by a reader, not by the caller.
bool ForgetReadAhead(int fd);

}  // namespace posix
