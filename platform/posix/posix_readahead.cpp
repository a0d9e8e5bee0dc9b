// Reader threads ahead of the walk (see posix_readahead.h).
//
// The files of the current folder are numbered in listing order. Readers take them in that
// order, at most kWindow past the last one the program has come to; file i is read into slot
// i % kWindow. The program taking file i lets go of the files before it that it passed over. A
// slot's descriptor and bytes belong to the reader that fills it, then (ready) to the shared
// state under the lock, then (taken) to the program alone until it closes the descriptor. The
// descriptor itself stays open until a reader takes the slot for another file and closes it
// there: the program's thread makes one system call for a file read ahead, the look.
//
// Bytes read ahead are served only for a file unchanged since: when the program opens it, a
// look at the open descriptor must show the same file (device, inode, links), size and change
// times. Any write, truncation, rename over it or removal changes its change time, which the
// kernel takes from the same coarse clock the reader looks at before it reads; a file changed
// within the two seconds before the reader read it could be changed again within the same tick
// of a coarse file system clock unseen, so it is left to the program to read.
#include "platform/posix/posix_readahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace posix {

namespace {

// What the matcher reads of a file before any probe: the header offset at 60, then from that
// offset the signature, the file header, the optional header and the section table (at most 20
// entries, 248 bytes past the signature). The start of the file holds all of it for most PE
// images; the headers of others are read where they are.
constexpr size_t kHeadBytes = 2048;
constexpr size_t kHeaderOffsetPosition = 60;
constexpr size_t kHeadersBytes = 248 + 20 * 40;
// Files read ahead at most: enough to keep every reader busy on a cold disk, few enough that the
// bytes held stay far below a megabyte.
constexpr size_t kWindow = 64;
// A reader that found the window full sleeps until half of it is free again, not for one file:
// waking costs more than reading a file from the page cache.
constexpr size_t kWakeAt = kWindow / 2;
// How long the program waits for a file being read before it sleeps: a file from the page cache
// is read in a few microseconds, less than going to sleep and being woken; one from the disk
// takes far longer, and a longer wait would only take the processor from others.
constexpr std::chrono::microseconds kSpinTime{50};
// A reader's piece of work (a file, or a chunk of a listing's looks), or a look or read of the
// program's, that took longer than this waited for the disk: the page cache answers within a few
// microseconds, a disk in tens (a virtual machine's disk held in its host's memory, 60-80 us)
// or more.
constexpr std::chrono::microseconds kDiskTime{25};
// A file changed this recently (seconds) is not trusted to show a later change in its times.
constexpr time_t kRecentSeconds = 2;

// One turn of a wait that does not give up the processor: the processor is told, so that a
// thread sharing its core (the reader waited for, often) runs at full speed meanwhile.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

struct Slot {
  enum class State { kFree, kReading, kReady, kTaken };
  std::atomic<State> state{State::kFree};
  uint64_t job = 0;
  size_t index = 0;
  // -1 once read: the reader could not open it, or it is not to be trusted. A free slot may
  // still hold the descriptor of the file it was last read for: the reader closes it.
  int fd = -1;
  struct stat info {};
  unsigned char head[kHeadBytes];
  size_t headLength = 0;
  unsigned char headers[kHeadersBytes];
  long long headersAt = -1;
  size_t headersLength = 0;
};

struct Job {
  uint64_t id = 0;  // 0: none
  std::shared_ptr<HostFolder> folder;
  std::shared_ptr<const Listing> listing;
  std::vector<uint32_t> files;    // indices of the listing's plain files
  size_t nextToRead = 0;          // in files
  size_t reached = 0;             // the files before this one the program is done with
  std::vector<uint32_t> folders;  // indices of the listing's folders, to be listed next
  size_t nextFolder = 0;
};

// Reads a folder's entries once, so that the walk finds them in memory when it lists the folder
// (on a cold disk, the walk's listings would otherwise wait for the disk one after the other).
void ReadFolder(int parent, const std::string& windowsName) {
  char hostName[NAME_MAX + 1];
  if (!HostNameOf(windowsName, hostName)) return;
  const int fd = ::openat(parent, hostName, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  char entries[16384];
  while (::getdents64(fd, entries, sizeof entries) > 0) {
  }
  ::close(fd);
}

// Entries of a listing one thread looks at in one go.
constexpr size_t kLookChunk = 4;

// The lstat of a listed name, and the stat of a link's target.
void LookAtEntry(int dirFd, const std::string& windowsName, EntryLook* look) {
  *look = EntryLook{};
  char hostName[NAME_MAX + 1];
  if (!HostNameOf(windowsName, hostName)) return;
  struct stat info;
  if (::fstatat(dirFd, hostName, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  look->link = S_ISLNK(info.st_mode);
  if (look->link && ::fstatat(dirFd, hostName, &info, 0) != 0) return;
  look->listed = S_ISREG(info.st_mode) || S_ISDIR(info.st_mode);
  look->directory = S_ISDIR(info.st_mode);
  look->size = info.st_size;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == b.st_nlink &&
         a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && S_ISREG(b.st_mode);
}

// Opens one file relative to its folder and reads what the matcher will read; leaves slot->fd
// at -1 when the program is to open the file itself.
void ReadFile(int folder, const std::string& windowsName, Slot* slot) {
  if (slot->fd >= 0) ::close(slot->fd);
  slot->fd = -1;
  slot->headLength = 0;
  slot->headersAt = -1;
  slot->headersLength = 0;
  char hostName[NAME_MAX + 1];
  if (!HostNameOf(windowsName, hostName)) return;
  struct timespec now;
  if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return;
  // Never waits, and never follows a link: the listing showed a plain file.
  const int fd = ::openat(folder, hostName, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  if (::fstat(fd, &slot->info) != 0 || !S_ISREG(slot->info.st_mode) ||
      slot->info.st_ctim.tv_sec + kRecentSeconds > now.tv_sec) {
    ::close(fd);
    return;
  }
  const off_t size = slot->info.st_size;
  const ssize_t head = size > 0 ? ::pread(fd, slot->head, kHeadBytes, 0) : 0;
  slot->headLength = head > 0 ? static_cast<size_t>(head) : 0;
  if (slot->headLength >= kHeaderOffsetPosition + 2) {
    const long long at = slot->head[kHeaderOffsetPosition] | slot->head[kHeaderOffsetPosition + 1]
                                                                 << 8;
    if (at + static_cast<long long>(kHeadersBytes) > static_cast<long long>(slot->headLength) &&
        at < size) {
      const ssize_t got = ::pread(fd, slot->headers, kHeadersBytes, at);
      if (got > 0) {
        slot->headersAt = at;
        slot->headersLength = static_cast<size_t>(got);
      }
    }
  }
  slot->fd = fd;
}

class ReadAhead {
 public:
  ~ReadAhead() { Stop(); }

  void Start(int readers, bool always) {
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
    always_ = always;
    engaged_ = always;
    readers_ = readers;
    // Started when first needed: a scan from the page cache never needs them.
    if (always) StartReaders();
  }

  void Folder(const std::shared_ptr<HostFolder>& folder,
              const std::shared_ptr<const Listing>& listing) {
    std::lock_guard<std::mutex> lock(mutex_);
    ReleaseReady(SIZE_MAX);
    job_ = Job{};
    job_.id = ++lastJob_;
    job_.folder = folder;
    job_.listing = listing;
    const DWORD skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                          FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                          FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
    for (size_t i = 0; i < listing->entries.size(); ++i) {
      const ListedEntry& entry = listing->entries[i];
      if ((entry.attributes & skipped) == 0) job_.files.push_back(static_cast<uint32_t>(i));
      if ((entry.attributes & skipped) == FILE_ATTRIBUTE_DIRECTORY && entry.name != "." &&
          entry.name != "..") {
        job_.folders.push_back(static_cast<uint32_t>(i));
      }
    }
    WakeReaders();
  }

  void Look(int dirFd, const std::string* names, size_t count, EntryLook* looks) {
    std::unique_lock<std::mutex> lock(mutex_);
    look_ = LookTask{dirFd, names, looks, count, 0, 0};
    WakeReaders();
    // The program looks too, a chunk at a time like the readers, until none is left to take.
    while (look_.next < look_.count) {
      const size_t first = look_.next;
      const size_t last = std::min(first + kLookChunk, look_.count);
      look_.next = last;
      lock.unlock();
      for (size_t i = first; i < last; ++i) LookAtEntry(dirFd, names[i], &looks[i]);
      lock.lock();
      look_.done += last - first;
    }
    if (look_.done < look_.count) {
      programWaiting_ = true;
      ready_.wait(lock, [this] { return look_.done == look_.count; });
      programWaiting_ = false;
    }
    look_ = LookTask{};
  }

  bool engaged() const { return engaged_; }

  // The program's own look or read of entry entryIndex of the listing, slow or not. One that took
  // long once in a while is the machine busy elsewhere, not the disk: the readers start when more
  // than a quarter of the recent ones waited (the share in 1/1024, each new one weighing an
  // eighth).
  void ProgramTook(bool slow, const Listing* listing, size_t entryIndex) {
    programWaited_ += (slow ? 1024 / 8 : 0) - programWaited_ / 8;
    if (programWaited_ > 1024 / 4) {
      programWaited_ = 0;
      Engage(listing, entryIndex);
    }
  }

  // The program waited for the disk: every reader is put to work, from the file after entry
  // entryIndex of the listing on (the program has that one).
  void Engage(const Listing* listing, size_t entryIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (threads_.empty()) StartReaders();
    engaged_ = true;
    diskBound_ = true;
    fromCache_ = 0;
    if (listing != nullptr && job_.id != 0 && job_.listing.get() == listing) {
      // While the readers rested, the program went on alone: they start after its file.
      const size_t i = static_cast<size_t>(
          std::lower_bound(job_.files.begin(), job_.files.end(), entryIndex) - job_.files.begin());
      job_.reached = std::max(job_.reached, std::min(i + 1, job_.files.size()));
      job_.nextToRead = std::max(job_.nextToRead, job_.reached);
      ReleaseReady(job_.reached);
    }
    WakeReaders();
  }

  // The size the reader that opened entry entryIndex of the listing saw; false when no reader
  // has it (not read ahead, passed over, or not opened).
  bool Size(const Listing& listing, size_t entryIndex, long long* size) {
    if (!engaged_) return false;  // resting readers read nothing the program would wait for
    std::unique_lock<std::mutex> lock(mutex_);
    if (job_.id == 0 || job_.listing.get() != &listing) return false;
    const auto found = std::lower_bound(job_.files.begin(), job_.files.end(), entryIndex);
    if (found == job_.files.end() || *found != entryIndex) return false;
    const size_t i = static_cast<size_t>(found - job_.files.begin());
    if (i < job_.reached || i >= job_.nextToRead) return false;
    Slot& slot = slots_[i % kWindow];
    WaitUntilRead(lock, slot);
    if (slot.fd < 0) return false;
    *size = slot.info.st_size;
    return true;
  }

  int Take(const char* windowsPath, long long* size) {
    if (!engaged_) return -1;  // see Size
    std::unique_lock<std::mutex> lock(mutex_);
    if (job_.id == 0) return -1;
    const std::string& prefix = job_.listing->prefix;
    if (std::strncmp(windowsPath, prefix.c_str(), prefix.size()) != 0) return -1;
    const char* name = windowsPath + prefix.size();
    // The walk opens the files in listing order: the one wanted is the next, or soon after.
    const size_t end = std::min(job_.files.size(), job_.reached + 4 * kWindow);
    size_t i = job_.reached;
    while (i < end && job_.listing->entries[job_.files[i]].name != name) ++i;
    if (i == end) return -1;
    ReleaseReady(i);
    job_.reached = i;
    if (i >= job_.nextToRead) {
      // The program is ahead of the readers: it opens this one itself, they go on after it,
      // all of them.
      job_.reached = job_.nextToRead = i + 1;
      Behind();
      WakeReaders();
      return -1;
    }
    Slot& slot = slots_[i % kWindow];
    WaitUntilRead(lock, slot);
    job_.reached = i + 1;
    WakeReaders();
    if (slot.fd < 0) {
      slot.state = Slot::State::kFree;
      return -1;
    }
    slot.state = Slot::State::kTaken;
    lock.unlock();
    struct stat now;
    if (::fstat(slot.fd, &now) != 0 || !SameFile(slot.info, now)) {
      lock.lock();
      slot.state = Slot::State::kFree;  // its descriptor is closed by the slot's next reader
      WakeReaders();
      return -1;
    }
    taken_.emplace_back(slot.fd, &slot);
    *size = slot.info.st_size;
    return slot.fd;
  }

  bool Read(int fd, void* buffer, unsigned count, long long position, long* got) const {
    const Slot* slot = TakenSlot(fd);
    if (slot == nullptr || position < 0) return false;
    const long long size = slot->info.st_size;
    const long long end = std::min(position + static_cast<long long>(count), size);
    if (end <= position) {
      *got = 0;
      return true;
    }
    const unsigned char* from = nullptr;
    if (end <= static_cast<long long>(slot->headLength)) {
      from = slot->head + position;
    } else if (slot->headersAt >= 0 && position >= slot->headersAt &&
               end <= slot->headersAt + static_cast<long long>(slot->headersLength)) {
      from = slot->headers + (position - slot->headersAt);
    }
    if (from == nullptr) return false;
    std::memcpy(buffer, from, static_cast<size_t>(end - position));
    *got = static_cast<long>(end - position);
    return true;
  }

  // True when fd was taken from a slot: its descriptor is closed by the slot's next reader.
  bool Forget(int fd) {
    const auto it =
        std::find_if(taken_.begin(), taken_.end(),
                     [fd](const std::pair<int, Slot*>& entry) { return entry.first == fd; });
    if (it == taken_.end()) return false;
    Slot* slot = it->second;
    taken_.erase(it);
    std::lock_guard<std::mutex> lock(mutex_);
    slot->state = Slot::State::kFree;
    WakeReaders();
    return true;
  }

 private:
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      ReleaseReady(SIZE_MAX);
      job_ = Job{};
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    // Descriptors the program has let go of and no reader has closed yet.
    for (Slot& slot : slots_) {
      if (slot.state != Slot::State::kFree) continue;
      if (slot.fd >= 0) ::close(slot.fd);
      slot.fd = -1;
    }
  }

  const Slot* TakenSlot(int fd) const {
    for (const auto& entry : taken_) {
      if (entry.first == fd) return entry.second;
    }
    return nullptr;
  }

  // Under the lock: the ready files of the current job before file `before` (all of them, and
  // those of earlier jobs, for SIZE_MAX) are closed unread.
  void ReleaseReady(size_t before) {
    for (Slot& slot : slots_) {
      if (slot.state != Slot::State::kReady) continue;
      if (before != SIZE_MAX && slot.job == job_.id && slot.index >= before) continue;
      if (slot.fd >= 0) ::close(slot.fd);
      slot.fd = -1;
      slot.state = Slot::State::kFree;
    }
    WakeReaders();
  }

  // Under the lock: a sleeping reader is woken when there is enough to do, and wakes the next
  // when it finds more (waking them all at once would have most find nothing). One reader at a
  // time keeps ahead of the program while that is enough; when reads wait for the disk, or the
  // program has caught up with the readers, every reader is put to work.
  void WakeReaders() {
    if (readersWaiting_ > 0 && (readersWaiting_ == readers_ || diskBound_ || readersBehind_) &&
        WorthWaking()) {
      work_.notify_one();
    }
  }

  // Under the lock.
  void StartReaders() {
    for (int i = 0; i < readers_; ++i) threads_.emplace_back([this] { Reader(); });
  }

  // Under the lock: the program waits for the slot of a file being read.
  void WaitUntilRead(std::unique_lock<std::mutex>& lock, Slot& slot) {
    if (slot.state == Slot::State::kReady) {
      if (++readyInRow_ >= kWindow) readersBehind_ = false;
      return;
    }
    Behind();
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + kSpinTime;
    while (slot.state != Slot::State::kReady && std::chrono::steady_clock::now() < until) {
      CpuRelax();
    }
    lock.lock();
    programWaiting_ = true;
    ready_.wait(lock, [&] { return slot.state == Slot::State::kReady; });
    programWaiting_ = false;
  }

  // Under the lock: the program found its file not read yet.
  void Behind() {
    readersBehind_ = true;
    readyInRow_ = 0;
  }

  // Under the lock, after a reader's piece of work: one that waited for the disk puts every
  // reader to work, until a window's worth in a row came from the page cache.
  void Timed(std::chrono::steady_clock::time_point start) {
    if (std::chrono::steady_clock::now() - start > kDiskTime) {
      diskBound_ = true;
      fromCache_ = 0;
    } else if (++fromCache_ >= kWindow) {
      // The page cache holds what is read: the program reads faster on its own.
      diskBound_ = false;
      engaged_ = always_;
    }
  }

  bool WorthWaking() const {
    return stopping_ || LookClaimable() || FolderClaimable() ||
           (Claimable() && job_.nextToRead < job_.reached + kWakeAt);
  }

  bool LookClaimable() const { return look_.next < look_.count; }

  // A subfolder to read when there is no file to read ahead for the time being.
  bool FolderClaimable() const {
    return engaged_ && job_.id != 0 && job_.nextFolder < job_.folders.size() && !Claimable();
  }

  bool Claimable() const {
    return engaged_ && job_.id != 0 && job_.nextToRead < job_.files.size() &&
           job_.nextToRead < job_.reached + kWindow &&
           slots_[job_.nextToRead % kWindow].state == Slot::State::kFree;
  }

  void Reader() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!stopping_ && !LookClaimable() && !Claimable() && !FolderClaimable()) {
        ++readersWaiting_;
        work_.wait(lock, [this] { return WorthWaking(); });
        --readersWaiting_;
      }
      if (stopping_) return;
      // A listing waits for its looks: they come before reading ahead.
      if (LookClaimable()) {
        const LookTask task = look_;
        const size_t last = std::min(task.next + kLookChunk, task.count);
        look_.next = last;
        WakeReaders();
        lock.unlock();
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = task.next; i < last; ++i) {
          LookAtEntry(task.dirFd, task.names[i], &task.looks[i]);
        }
        lock.lock();
        Timed(start);
        look_.done += last - task.next;
        if (look_.done == look_.count && programWaiting_) ready_.notify_all();
        continue;
      }
      if (!Claimable()) {
        const std::shared_ptr<HostFolder> parent = job_.folder;
        const std::shared_ptr<const Listing> listing = job_.listing;
        const std::string& name = listing->entries[job_.folders[job_.nextFolder++]].name;
        WakeReaders();
        lock.unlock();
        ReadFolder(parent->fd, name);
        lock.lock();
        continue;
      }
      const size_t index = job_.nextToRead++;
      Slot& slot = slots_[index % kWindow];
      slot.state = Slot::State::kReading;
      slot.job = job_.id;
      slot.index = index;
      const std::shared_ptr<HostFolder> folder = job_.folder;
      const std::shared_ptr<const Listing> listing = job_.listing;
      const std::string& name = listing->entries[job_.files[index]].name;
      WakeReaders();
      lock.unlock();
      const auto start = std::chrono::steady_clock::now();
      ReadFile(folder->fd, name, &slot);
      lock.lock();
      Timed(start);
      // Passed over, or of a folder the walk has left, meanwhile: let go.
      if (slot.job != job_.id || index < job_.reached) {
        if (slot.fd >= 0) ::close(slot.fd);
        slot.fd = -1;
        slot.state = Slot::State::kFree;
        WakeReaders();
      } else {
        slot.state = Slot::State::kReady;
        if (programWaiting_) ready_.notify_all();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;   // readers wait for a file to read
  std::condition_variable ready_;  // the program waits for a file being read
  std::vector<std::thread> threads_;
  bool stopping_ = false;
  int readers_ = 0;
  int readersWaiting_ = 0;
  // Readers read only while the program's reads wait for the disk (see ProgramIo).
  std::atomic<bool> engaged_{false};
  bool always_ = false;         // engaged whether or not the program waits
  int programWaited_ = 0;       // the program's thread alone: see ProgramTook
  bool diskBound_ = false;      // reads wait for the disk
  size_t fromCache_ = 0;        // pieces of work in a row that did not
  bool readersBehind_ = false;  // the program came to files not read yet
  size_t readyInRow_ = 0;       // files in a row the program found read since
  bool programWaiting_ = false;
  uint64_t lastJob_ = 0;
  Job job_;
  // The entries of a listing being looked at: those before next are taken, done are finished.
  struct LookTask {
    int dirFd = -1;
    const std::string* names = nullptr;
    EntryLook* looks = nullptr;
    size_t count = 0;
    size_t next = 0;
    size_t done = 0;
  } look_;
  Slot slots_[kWindow];
  std::vector<std::pair<int, Slot*>> taken_;  // the program's alone: its descriptors, their slots
};

ReadAhead& readAhead() {
  static ReadAhead instance;
  return instance;
}

bool g_active = false;  // read by the program's thread alone

}  // namespace

void SetReadAheadThreads(int threads, bool always) {
  readAhead().Start(threads > 1 ? threads - 1 : 0, always);
  g_active = threads > 1;
}

ProgramIo::ProgramIo(const Listing* listing, size_t entryIndex)
    : listing_(listing), entryIndex_(entryIndex) {
  if (listing != nullptr && g_active && !readAhead().engaged())
    start_ = std::chrono::steady_clock::now();
}

ProgramIo::~ProgramIo() {
  if (start_ == std::chrono::steady_clock::time_point{}) return;
  readAhead().ProgramTook(std::chrono::steady_clock::now() - start_ > kDiskTime, listing_,
                          entryIndex_);
}

void LookAtEntries(int dirFd, const std::string* names, size_t count, EntryLook* looks) {
  if (g_active && readAhead().engaged() && count > kLookChunk) {
    readAhead().Look(dirFd, names, count, looks);
    return;
  }
  for (size_t i = 0; i < count; ++i) LookAtEntry(dirFd, names[i], &looks[i]);
}

void ReadAheadFolder(const std::shared_ptr<HostFolder>& folder,
                     const std::shared_ptr<const Listing>& listing) {
  if (g_active) readAhead().Folder(folder, listing);
}

bool ReadAheadSize(const Listing& listing, size_t entryIndex, long long* size) {
  return g_active && readAhead().Size(listing, entryIndex, size);
}

int TakeReadAhead(const char* windowsPath, long long* size) {
  return g_active ? readAhead().Take(windowsPath, size) : -1;
}

bool ReadAheadRead(int fd, void* buffer, unsigned count, long long position, long* got) {
  return g_active && readAhead().Read(fd, buffer, count, position, got);
}

bool ForgetReadAhead(int fd) { return g_active && readAhead().Forget(fd); }

}  // namespace posix
