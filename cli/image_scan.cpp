#include "cli/image_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/posix/posix_image.h"
#include "platform/posix/posix_machine.h"
#include "platform/posix/posix_tsk.h"

namespace {

using posix::tsk;

// Drives C: to Z: take the file systems.
constexpr size_t kMostDrives = 24;

// Each drive letter's partition label, for the front ends' use after the scan.
char g_labels[26][8] = {};

// What the library said last went wrong, "" when nothing.
std::string TskProblem() {
  const char* text = tsk().error_get();
  std::string problem = text != nullptr ? text : "";
  tsk().error_reset();
  // The library's messages end with a line break now and then.
  while (!problem.empty() && (problem.back() == '\n' || problem.back() == ' ')) problem.pop_back();
  return problem;
}

// The problem in parentheses after a blank, when there is one.
std::string Because(const std::string& problem) {
  return problem.empty() ? "" : " (" + problem + ")";
}

bool Accepted(TSK_FS_TYPE_ENUM type) { return TSK_FS_TYPE_ISNTFS(type) || TSK_FS_TYPE_ISFAT(type); }

// Whether the first sector says NTFS or FAT: such a partition's file system is meant to be read,
// and one that cannot be is a problem, not a partition of another kind.
bool ClaimsWindowsFileSystem(const char* sector) {
  return std::memcmp(sector + 3, "NTFS    ", 8) == 0 ||
         std::memcmp(sector + 3, "EXFAT   ", 8) == 0 || std::memcmp(sector + 0x36, "FAT", 3) == 0 ||
         std::memcmp(sector + 0x52, "FAT32", 5) == 0;
}

// Whether the image begins with an MBR (its signature, and no boot sector of a file system) or
// a GPT header.
bool HasPartitionTable(TSK_IMG_INFO* image) {
  char start[1024] = {};
  const ssize_t got = tsk().img_read(image, 0, start, sizeof start);
  tsk().error_reset();
  if (got < 512) return false;
  if (got == static_cast<ssize_t>(sizeof start) && std::memcmp(start + 512, "EFI PART", 8) == 0)
    return true;
  return static_cast<unsigned char>(start[510]) == 0x55 &&
         static_cast<unsigned char>(start[511]) == 0xAA && !ClaimsWindowsFileSystem(start);
}

// The image's format, told by its first bytes (or a fixed VHD's footer at its end) rather than
// by the library, whose probes of every format it knows leave memory behind. Anything else is
// taken for a raw image; an AFF image is left to the library.
TSK_IMG_TYPE_ENUM FormatOf(const std::string& path) {
  char head[32] = {}, tail[8] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return TSK_IMG_TYPE_DETECT;
  const bool read = ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  const bool footer = size >= 512 && ::pread(fd, tail, sizeof tail, size - 512) == 8;
  ::close(fd);
  const auto starts = [&](const char* magic, size_t length) {
    return read && std::memcmp(head, magic, length) == 0;
  };
  if (starts("EVF\x09\x0d\x0a\xff\x00", 8) || starts("EVF2\x0d\x0a\x81\x00", 8))
    return TSK_IMG_TYPE_EWF_EWF;
  if (starts("vhdxfile", 8) || starts("conectix", 8) ||
      (footer && std::memcmp(tail, "conectix", 8) == 0))
    return TSK_IMG_TYPE_VHD_VHD;
  if (starts("KDMV", 4) || starts("COWD", 4) || starts("# Disk DescriptorFile", 21))
    return TSK_IMG_TYPE_VMDK_VMDK;
  if (starts("AFF10\r\n", 7)) return TSK_IMG_TYPE_DETECT;
  return TSK_IMG_TYPE_RAW;
}

// The kind of partition table to look for: GPT when its header is there (the library's probe of
// the protective MBR first leaves memory behind), else whatever the library finds.
TSK_VS_TYPE_ENUM TableOf(TSK_IMG_INFO* image) {
  char header[8] = {};
  const bool gpt = tsk().img_read(image, 512, header, sizeof header) == 8 &&
                   std::memcmp(header, "EFI PART", 8) == 0;
  tsk().error_reset();
  return gpt ? TSK_VS_TYPE_GPT : TSK_VS_TYPE_DETECT;
}

bool SameName(const std::string& a, const char* b) { return plat::_stricmp(a.c_str(), b) == 0; }

// The entry of the volume's folder named so without regard to case (the exact spelling first).
bool FindOnVolume(posix::ImageVolume* volume, const std::string& folder, const char* name,
                  std::string* found) {
  const std::vector<posix::ImageVolume::Entry>* entries = volume->List(folder);
  if (entries == nullptr) return false;
  for (int exact = 1; exact >= 0; --exact) {
    for (const posix::ImageVolume::Entry& entry : *entries) {
      if (exact ? entry.name == name : SameName(entry.name, name)) {
        *found = folder.empty() ? entry.name : folder + "/" + entry.name;
        return true;
      }
    }
  }
  return false;
}

bool HoldsHives(posix::ImageVolume* volume) {
  std::string windows, system, config, hive;
  return FindOnVolume(volume, "", "Windows", &windows) &&
         FindOnVolume(volume, windows, "System32", &system) &&
         FindOnVolume(volume, system, "config", &config) &&
         (FindOnVolume(volume, config, "SOFTWARE", &hive) ||
          FindOnVolume(volume, config, "SYSTEM", &hive));
}

// Copies a file of the machine (a Windows path) into a host descriptor; false with errno set.
bool CopyOut(const std::string& windowsPath, int out) {
  const int in = plat::_open(windowsPath.c_str(), _O_RDONLY | _O_BINARY);
  if (in < 0) return false;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const int got = plat::_read(in, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      ok = false;
      errno = EIO;
      break;
    }
    for (int put = 0; ok && put < got;) {
      const ssize_t n = ::write(out, buffer + put, static_cast<size_t>(got - put));
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      put += n > 0 ? static_cast<int>(n) : 0;
    }
    if (!ok) break;
  }
  const int saved = errno;
  plat::_close(in);
  errno = saved;
  return ok;
}

std::string LastName(const std::string& windowsPath) {
  return windowsPath.substr(windowsPath.rfind('\\') + 1);
}

}  // namespace

struct DiskImage::State {
  struct FileSystem {
    std::string label;  // "p2", or "" for the image as one file system
    TSK_FS_INFO* fs = nullptr;
    std::shared_ptr<posix::FileSystemVolume> volume;
    char letter = 0;
  };
  std::string path;
  TSK_IMG_INFO* image = nullptr;
  TSK_VS_INFO* partitions = nullptr;
  std::vector<FileSystem> fileSystems;
  std::vector<std::string> temporaryFiles;
  bool registry = false;
  std::vector<std::string> otherInstallations;  // shown as "IMAGE:pN"

  ~State() {
    for (const std::string& file : temporaryFiles) ::unlink(file.c_str());
  }
  // Finds the file systems of the partition table's partitions; what is left out goes to the
  // owner's problems and notes.
  void AddPartitions(DiskImage* owner);
};

DiskImage::DiskImage() : state_(std::make_unique<State>()) {}

DiskImage::~DiskImage() {
  // The volumes' open files go before their file systems, the file systems before the image.
  std::vector<TSK_FS_INFO*> open;
  for (State::FileSystem& fs : state_->fileSystems) {
    if (fs.volume) fs.volume->CloseFiles();  // the machine's drive may outlive this
    fs.volume.reset();
    open.push_back(fs.fs);
  }
  state_->fileSystems.clear();
  for (TSK_FS_INFO* fs : open) tsk().fs_close(fs);
  if (state_->partitions != nullptr) tsk().vs_close(state_->partitions);
  if (state_->image != nullptr) tsk().img_close(state_->image);
}

void DiskImage::State::AddPartitions(DiskImage* owner) {
  // Linux numbers: GPT entries by their index, MBR primaries by their slot, logical partitions
  // from 5 in the order of their tables.
  std::vector<int> logicalTables;
  for (TSK_PNUM_T i = 0; i < partitions->part_count; ++i) {
    const TSK_VS_PART_INFO* part = tsk().vs_part_get(partitions, i);
    if (part != nullptr && (part->flags & TSK_VS_PART_FLAG_ALLOC) && part->table_num > 0 &&
        partitions->vstype == TSK_VS_TYPE_DOS)
      logicalTables.push_back(part->table_num);
  }
  std::sort(logicalTables.begin(), logicalTables.end());
  for (TSK_PNUM_T i = 0; i < partitions->part_count; ++i) {
    const TSK_VS_PART_INFO* part = tsk().vs_part_get(partitions, i);
    if (part == nullptr || !(part->flags & TSK_VS_PART_FLAG_ALLOC) ||
        (part->flags & TSK_VS_PART_FLAG_META))
      continue;
    int number = part->slot_num + 1;
    if (partitions->vstype == TSK_VS_TYPE_DOS && part->table_num > 0) {
      number = 5 + static_cast<int>(std::lower_bound(logicalTables.begin(), logicalTables.end(),
                                                     part->table_num) -
                                    logicalTables.begin());
    }
    const std::string label = "p" + std::to_string(number);
    const std::string where = path + ":" + label;
    const std::string kind = part->desc != nullptr ? part->desc : "";
    tsk().error_reset();
    TSK_FS_INFO* fs = tsk().fs_open_vol(part, TSK_FS_TYPE_DETECT);
    if (fs != nullptr && Accepted(fs->ftype)) {
      fileSystems.push_back({label, fs, nullptr, 0});
      continue;
    }
    const std::string problem = fs == nullptr ? TskProblem() : "";
    if (fs != nullptr) {
      owner->notes.push_back(where + ": a " + tsk().fs_type_toname(fs->ftype) +
                             " file system, not NTFS or FAT: skipped");
      tsk().fs_close(fs);
      continue;
    }
    char sector[512] = {};
    const ssize_t got = tsk().vs_part_read(part, 0, sector, sizeof sector);
    if (got != static_cast<ssize_t>(sizeof sector)) {
      tsk().error_reset();
      owner->problems.push_back(where +
                                ": the partition lies beyond the end of the image, not scanned");
    } else if (std::memcmp(sector + 3, "-FVE-FS-", 8) == 0) {
      owner->problems.push_back(where + ": the volume is encrypted (BitLocker), not scanned");
    } else if (ClaimsWindowsFileSystem(sector)) {
      owner->problems.push_back(where + ": the file system cannot be read" + Because(problem) +
                                ", not scanned");
    } else {
      owner->notes.push_back(where + ": no NTFS or FAT file system" +
                             (kind.empty() ? "" : " (" + kind + ")") + ": skipped");
    }
  }
}

bool DiskImage::Open(const std::string& path, std::string* error) {
  State& state = *state_;
  state.path = path;
  // Only a plain file or a disk is opened: a FIFO would keep the open waiting for ever.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    *error = path + ": the image cannot be read: " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    *error = path + ": not a disk image: it is a folder";
    return false;
  }
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    *error = path + ": not a disk image: it is not a plain file or a disk";
    return false;
  }
  if (::access(path.c_str(), R_OK) != 0) {
    *error = path + ": the image cannot be read: " + std::strerror(errno);
    return false;
  }
  // The library is loaded now, for the first image; a run without one never needs it.
  std::string why;
  if (posix::LoadTsk(&why) == nullptr) {
    *error = "--image needs The Sleuth Kit library (" + posix::TskLibraryName() +
             "), which cannot be loaded: " + why;
    return false;
  }
  tsk().error_reset();
  state.image = tsk().img_open_utf8_sing(path.c_str(), FormatOf(path), 0);
  if (state.image == nullptr) {
    *error = path + ": the image cannot be read" + Because(TskProblem());
    return false;
  }
  char first[512];
  if (tsk().img_read(state.image, 0, first, sizeof first) != static_cast<ssize_t>(sizeof first)) {
    *error = path + ": the image's data cannot be read, a truncated or damaged image" +
             Because(TskProblem()) + ": nothing to scan";
    return false;
  }
  state.partitions = tsk().vs_open(state.image, 0, TableOf(state.image));
  if (state.partitions != nullptr) {
    state.AddPartitions(this);
  } else {
    // No partition table: the image may be one file system.
    tsk().error_reset();
    TSK_FS_INFO* fs = tsk().fs_open_img(state.image, 0, TSK_FS_TYPE_DETECT);
    if (fs != nullptr && Accepted(fs->ftype)) {
      state.fileSystems.push_back({"", fs, nullptr, 0});
    } else if (fs != nullptr) {
      *error = path + ": holds a " + tsk().fs_type_toname(fs->ftype) +
               " file system, not NTFS or FAT: nothing to scan";
      tsk().fs_close(fs);
      return false;
    } else if (HasPartitionTable(state.image)) {
      *error = path +
               ": the partition table cannot be read (the image is truncated, or the table is "
               "damaged): nothing to scan";
      return false;
    } else {
      *error = path +
               ": neither a partition table nor an NTFS or FAT file system was found (an unknown "
               "format, or a damaged image): nothing to scan";
      tsk().error_reset();
      return false;
    }
  }
  if (state.fileSystems.size() > kMostDrives) {
    for (size_t i = kMostDrives; i < state.fileSystems.size(); ++i) {
      problems.push_back(path + ":" + state.fileSystems[i].label +
                         ": more file systems than drive letters, not scanned");
      tsk().fs_close(state.fileSystems[i].fs);
    }
    state.fileSystems.resize(kMostDrives);
  }
  if (state.fileSystems.empty()) {
    *error = path + ": no NTFS or FAT file system can be read in its partitions" +
             (problems.empty() && notes.empty()
                  ? " (none lies within the image: it is truncated, or its table is damaged)"
                  : "") +
             ": nothing to scan";
    return false;
  }
  for (State::FileSystem& fs : state.fileSystems)
    fs.volume = std::make_shared<posix::FileSystemVolume>(fs.fs);
  return true;
}

size_t DiskImage::MapDrives(ReportOutput* output) {
  State& state = *state_;
  std::memset(g_labels, 0, sizeof g_labels);
  // The first installation's drive is C:, as its registry names it; any other is only named.
  auto windows = state.fileSystems.end();
  state.otherInstallations.clear();
  for (auto fs = state.fileSystems.begin(); fs != state.fileSystems.end(); ++fs) {
    if (!HoldsHives(fs->volume.get())) continue;
    if (windows == state.fileSystems.end())
      windows = fs;
    else
      state.otherInstallations.push_back(state.path + ":" + fs->label);
  }
  if (windows != state.fileSystems.end())
    std::rotate(state.fileSystems.begin(), windows, windows + 1);
  char letter = 'C';
  for (State::FileSystem& fs : state.fileSystems) {
    fs.letter = letter++;
    posix::machine().MapImageDrive(fs.letter, fs.volume);
    const std::string drive = std::string(1, fs.letter) + ":\\";
    output->AddPathMapping(
        drive, state.path + ":" + (fs.label.empty() ? "" : fs.label + ":") + "\\", true);
    std::snprintf(g_labels[fs.letter - 'A'], sizeof g_labels[0], "%s", fs.label.c_str());
  }
  // Shown again in the image's order, whatever letters they took.
  std::stable_sort(state.fileSystems.begin(), state.fileSystems.end(),
                   [](const State::FileSystem& a, const State::FileSystem& b) {
                     return std::atoi(a.label.c_str() + (a.label.empty() ? 0 : 1)) <
                            std::atoi(b.label.c_str() + (b.label.empty() ? 0 : 1));
                   });
  return state.fileSystems.size();
}

bool DiskImage::OpenRegistry(OfflineVolume* volume, const ReportOutput& output,
                             std::string* error) {
  char windowsFolder[MAX_PATH], systemFolder[MAX_PATH], tempFolder[MAX_PATH];
  if (plat::GetLongPathNameA("C:\\Windows", windowsFolder, sizeof windowsFolder) == 0) return true;
  OfflineVolume::InstallationCopy copy;
  copy.windowsFolder = windowsFolder;
  if (plat::GetLongPathNameA((copy.windowsFolder + "\\System32").c_str(), systemFolder,
                             sizeof systemFolder) != 0)
    copy.systemName = LastName(systemFolder);
  if (plat::GetLongPathNameA((copy.windowsFolder + "\\Temp").c_str(), tempFolder,
                             sizeof tempFolder) != 0)
    copy.tempName = LastName(tempFolder);
  std::string trouble;
  const char* folder = std::getenv("TMPDIR");
  const std::string temporary = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  for (const char* name : {"SOFTWARE", "SYSTEM"}) {
    char found[MAX_PATH];
    const std::string wanted = copy.windowsFolder + "\\" + copy.systemName + "\\config\\" + name;
    if (plat::GetLongPathNameA(wanted.c_str(), found, sizeof found) == 0 ||
        (plat::GetFileAttributesA(found) & FILE_ATTRIBUTE_DIRECTORY) != 0)
      continue;
    const std::string shown = output.TranslatePath(found);
    std::string file = temporary + "/vexpurge-hive.XXXXXX";
    const int fd = ::mkstemp(&file[0]);
    if (fd < 0) {
      trouble += (trouble.empty() ? "" : "\n") + shown + ": cannot be copied to " + temporary +
                 ": " + std::strerror(errno) +
                 "; its start-up entries and services were not checked";
      continue;
    }
    state_->temporaryFiles.push_back(file);
    const bool copied = CopyOut(found, fd);
    const int saved = errno;
    ::close(fd);
    if (!copied) {
      trouble += (trouble.empty() ? "" : "\n") + shown + ": the registry hive cannot be read " +
                 "out of the image: " + std::strerror(saved) +
                 "; its start-up entries and services were not checked";
      continue;
    }
    (std::strcmp(name, "SOFTWARE") == 0 ? copy.software : copy.system) = file;
    (std::strcmp(name, "SOFTWARE") == 0 ? copy.softwareShown : copy.systemShown) = shown;
  }
  std::string why;
  state_->registry = true;
  if (!volume->OpenCopies(copy, &why)) trouble += (trouble.empty() ? "" : "\n") + why;
  // hivex holds what it opened: the copies need no name any more, and leave nothing behind if
  // the run is cut short.
  for (const std::string& file : state_->temporaryFiles) ::unlink(file.c_str());
  state_->temporaryFiles.clear();
  if (trouble.empty()) return true;
  *error = trouble;
  return false;
}

bool DiskImage::HasRegistry() const { return state_->registry; }

std::vector<std::string> DiskImage::OtherInstallations() const {
  return state_->otherInstallations;
}

std::string DiskImage::Progress(const std::string& status, int filesScanned) const {
  std::string label;
  uint64_t bytes = 0;
  for (const State::FileSystem& fs : state_->fileSystems) {
    bytes += fs.volume->bytesOpened();
    if (status.size() >= 2 && status[1] == ':' &&
        (status[0] == fs.letter || status[0] == fs.letter + 32))
      label = fs.label;
  }
  char line[96];
  std::snprintf(line, sizeof line, "%s%s%d files  %.1f MB", label.c_str(),
                label.empty() ? "" : "  ", filesScanned, static_cast<double>(bytes) / 1e6);
  return line;
}

std::vector<std::string> DiskImage::Unreadable() const {
  std::vector<std::string> paths;
  for (const State::FileSystem& fs : state_->fileSystems) {
    for (std::string path : fs.volume->unreadable()) {
      std::replace(path.begin(), path.end(), '/', '\\');
      paths.push_back(std::string(1, fs.letter) + ":\\" + path);
    }
  }
  return paths;
}

bool DiskImage::Extract(const std::vector<Finding>& findings, const std::string& folder,
                        const ReportOutput& output, std::string* error) const {
  std::vector<std::string> done;
  std::string trouble;
  for (const Finding& finding : findings) {
    // Files only: a process or a start-up value or service is nothing to copy.
    if (finding.kind == FindingKind::kProcess || finding.kind == FindingKind::kRegistry ||
        std::find(done.begin(), done.end(), finding.path) != done.end())
      continue;
    done.push_back(finding.path);
    const std::string shown = output.TranslatePath(finding.path);
    std::string name = LastName(finding.path);
    std::replace(name.begin(), name.end(), plat::kBackslashInName, '\\');
    // The first name free for both the copy and its record; nothing is ever overwritten.
    std::string taken;
    int out = -1, record = -1;
    for (int n = 0; out < 0 && n < 10000; ++n) {
      taken = folder + "/" + name + (n == 0 ? "" : "." + std::to_string(n));
      out = ::open(taken.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (out < 0 && errno != EEXIST) break;
      if (out < 0) continue;
      record = ::open((taken + ".location").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (record < 0) {
        const int saved = errno;
        ::close(out);
        ::unlink(taken.c_str());
        out = -1;
        if (saved != EEXIST) {
          errno = saved;
          break;
        }
      }
    }
    const auto fail = [&](const std::string& why) {
      trouble += (trouble.empty() ? "" : "\n") + shown + ": cannot be extracted: " + why;
    };
    if (out < 0) {
      fail(std::string("no new file can be made in ") + folder + ": " + std::strerror(errno));
      continue;
    }
    const std::string line = Printable(shown) + "\t" + finding.name + "\n";
    const bool copied = CopyOut(finding.path, out);
    const int saved = errno;
    const bool recorded =
        ::write(record, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const bool closed = ::close(out) == 0;
    const bool kept = ::close(record) == 0 && recorded && closed;
    if (!kept || !copied) {
      // A part of a file could pass for all of it: nothing is left of a copy that failed.
      ::unlink(taken.c_str());
      ::unlink((taken + ".location").c_str());
      fail(!copied ? std::string(std::strerror(saved)) : taken + " cannot be written");
    }
  }
  if (trouble.empty()) return true;
  *error = trouble;
  return false;
}

std::string ImagePartitionOf(char letter) {
  const int index = (letter >= 'a' ? letter - 32 : letter) - 'A';
  if (index < 0 || index >= 26) return "";
  return g_labels[index];
}
