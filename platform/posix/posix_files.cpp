// Files of the Linux back end. Drive letters map to host folders; every path component is
// looked up without regard to case, the spelling on disk first (a case-sensitive host folder may
// hold "SETUP.EXE" and "setup.exe", two files); attributes, short names and locks live in the
// machine's metadata, keyed by the Windows path as spelled on disk. Only plain files and folders
// are shown; a backslash inside a host name is shown as kBackslashInName. Errors are those
// Windows returns.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_readahead.h"
#include "platform/wow64.h"

namespace posix {

const ListedEntry* FindListed(std::string_view key);

namespace {

// Letters A to Z only, as Windows folds names in its default code page for ASCII.
inline unsigned char AsciiUpper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
}

int CompareUpper(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = AsciiUpper(static_cast<unsigned char>(a[i]));
    const int cb = AsciiUpper(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// --- Memory volumes. The host calls the machine makes (stat, open, read, write, list, unlink,
// rename, mkdir, rmdir) go through the Host* functions below; for a host path under
// kMemoryVolumes, or a descriptor from kFirstMemoryDescriptor on, they answer from the
// machine's memory nodes, with the errno values the host would give.

bool IsMemoryHost(std::string_view host) { return StartsWith(host, kMemoryVolumes); }

MemoryNode* MemoryFind(std::string_view host) {
  auto& nodes = machine().impl().memoryNodes;
  auto it = nodes.find(host);
  return it == nodes.end() ? nullptr : it->second.get();
}

// A new entry needs its folder, as on the host.
bool MemoryParentIsFolder(std::string_view host) {
  const MemoryNode* parent = MemoryFind(host.substr(0, host.rfind('/')));
  return parent != nullptr && parent->directory;
}

void MemoryFillStat(const MemoryNode& node, struct stat* info) {
  std::memset(info, 0, sizeof *info);
  info->st_mode = node.directory ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  info->st_nlink = 1;
  info->st_size = node.directory ? 0 : static_cast<off_t>(node.bytes.size());
}

// Calls visit(name, entry) for each entry of a memory folder, in byte order, until it answers
// true; whether one did.
template <typename Visit>
bool ForEachMemoryChild(const std::string& folder, Visit visit) {
  // The entries after the folder's own that begin with its path: first those where a byte
  // below '/' follows it (a sibling such as "A.OLD" next to "A"), then the folder's own entries,
  // then the rest. No "folder/" is made to look them up by.
  const auto& nodes = machine().impl().memoryNodes;
  const size_t length = folder.size();
  for (auto it = nodes.upper_bound(folder); it != nodes.end(); ++it) {
    const std::string& path = it->first;
    if (path.size() <= length || !StartsWith(path, folder)) break;
    const unsigned char next = static_cast<unsigned char>(path[length]);
    if (next < '/') continue;
    if (next > '/') break;
    if (path.find('/', length + 1) != std::string::npos) continue;
    if (visit(path.c_str() + length + 1)) return true;
  }
  return false;
}

// plat::_stricmp's equality (only A to Z fold), here without the instrumented library's calls.
bool SameNameNoCase(const char* a, const std::string& b) {
  for (size_t i = 0;; ++i) {
    if (i == b.size()) return a[i] == '\0';
    if (a[i] == '\0' || AsciiUpper(static_cast<unsigned char>(a[i])) !=
                            AsciiUpper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
}

// The names in a memory folder, in byte order.
std::vector<std::string> MemoryChildren(const std::string& folder) {
  std::vector<std::string> names;
  ForEachMemoryChild(folder, [&names](const char* name) {
    names.emplace_back(name);
    return false;
  });
  return names;
}

// FindOnDisk in a memory folder, in one pass over its entries: the name as given, else as the
// host spells it, else the first entry in byte order that differs from it only in case.
bool MemoryFindChild(const std::string& folder, const std::string& name,
                     const std::string& hostName, std::string* found) {
  const char* exactHost = nullptr;
  const char* other = nullptr;
  if (ForEachMemoryChild(folder, [&](const char* entry) {
        if (exactHost == nullptr && SamePath(hostName, entry)) exactHost = entry;
        if (other == nullptr && SameNameNoCase(entry, hostName)) other = entry;
        return SamePath(name, entry);
      })) {
    *found = name;
    return true;
  }
  const char* chosen = exactHost != nullptr ? exactHost : other;
  if (chosen == nullptr) return false;
  *found = chosen;
  return true;
}

int MemoryOpen(const std::string& host, int flags) {
  Machine::Impl& impl = machine().impl();
  auto it = impl.memoryNodes.find(host);
  std::shared_ptr<MemoryNode> node;
  if (it == impl.memoryNodes.end()) {
    if (!(flags & O_CREAT) || !MemoryParentIsFolder(host)) {
      errno = ENOENT;
      return -1;
    }
    // In the entry of a file deleted earlier when there is one, and in its node too when
    // nothing holds that open any more.
    std::shared_ptr<MemoryNode>& made = PutEntry(&impl.memoryNodes, &impl.spareMemoryNodes, host);
    if (made && made.use_count() == 1) {
      made->directory = false;
      made->bytes.clear();
    } else {
      made = std::make_shared<MemoryNode>();
    }
    node = made;
  } else {
    if ((flags & O_CREAT) && (flags & O_EXCL)) {
      errno = EEXIST;
      return -1;
    }
    node = it->second;
    if (node->directory) {  // what the host open of a folder comes to, for the program
      errno = EACCES;
      return -1;
    }
    if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY) node->bytes.clear();
  }
  const int fd = impl.nextMemoryDescriptor++;
  Machine::Impl::MemoryDescriptor& open =
      PutEntry(&impl.memoryDescriptors, &impl.spareMemoryDescriptors, fd);
  open.node = std::move(node);
  open.append = (flags & O_APPEND) != 0;
  return fd;
}

// The descriptor's entry in a table of them, or null with errno EBADF.
template <typename Table>
typename Table::mapped_type* DescriptorIn(Table& descriptors, int fd) {
  auto it = descriptors.find(fd);
  if (it != descriptors.end()) return &it->second;
  errno = EBADF;
  return nullptr;
}

Machine::Impl::MemoryDescriptor* MemoryDescriptorOf(int fd) {
  return DescriptorIn(machine().impl().memoryDescriptors, fd);
}

// --- Image volumes (Machine::MapImageDrive): host paths under kImageVolumes, then the drive
// letter, and descriptors from kFirstImageDescriptor on, answered by the drive's volume. They
// only read: every change fails with EACCES.

bool IsImageHost(std::string_view host) { return StartsWith(host, kImageVolumes); }

// The volume of an image host path and the path below its root; nullptr when there is none.
ImageVolume* ImageOf(const std::string& host, std::string* inner) {
  const size_t at = sizeof kImageVolumes - 1;
  if (host.size() <= at) return nullptr;
  const auto& volumes = machine().impl().imageVolumes;
  auto it = volumes.find(host[at]);
  if (it == volumes.end() || (host.size() > at + 1 && host[at + 1] != '/')) return nullptr;
  *inner = host.size() > at + 2 ? host.substr(at + 2) : std::string();
  return it->second.get();
}

void ImageFillStat(const ImageVolume::Entry& entry, struct stat* info) {
  std::memset(info, 0, sizeof *info);
  info->st_mode = entry.directory ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  info->st_nlink = 1;
  info->st_size = entry.directory ? 0 : static_cast<off_t>(entry.size);
  info->st_mtim.tv_sec = static_cast<time_t>(entry.modified);
}

bool ImageStat(const std::string& host, struct stat* info) {
  std::string inner;
  ImageVolume* volume = ImageOf(host, &inner);
  ImageVolume::Entry entry;
  if (volume == nullptr || !volume->Look(inner, &entry)) {
    errno = ENOENT;
    return false;
  }
  ImageFillStat(entry, info);
  return true;
}

// The names in an image folder; false when it cannot be listed.
bool ImageChildren(const std::string& host, std::vector<std::string>* names) {
  std::string inner;
  ImageVolume* volume = ImageOf(host, &inner);
  const std::vector<ImageVolume::Entry>* entries = volume ? volume->List(inner) : nullptr;
  if (entries == nullptr) return false;
  for (const ImageVolume::Entry& entry : *entries) names->push_back(entry.name);
  return true;
}

int ImageOpen(const std::string& host, int flags) {
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0) {
    errno = EACCES;
    return -1;
  }
  std::string inner;
  Machine::Impl& impl = machine().impl();
  ImageVolume* volume = ImageOf(host, &inner);
  if (volume == nullptr) {
    errno = ENOENT;
    return -1;
  }
  Machine::Impl::ImageDescriptor descriptor;
  descriptor.volume = impl.imageVolumes[host[sizeof kImageVolumes - 1]];
  descriptor.file = volume->Open(inner, &descriptor.size);
  if (descriptor.file < 0) return -1;
  const int fd = impl.nextImageDescriptor++;
  impl.imageDescriptors[fd] = std::move(descriptor);
  return fd;
}

Machine::Impl::ImageDescriptor* ImageDescriptorOf(int fd) {
  return DescriptorIn(machine().impl().imageDescriptors, fd);
}

bool HostStat(const std::string& host, struct stat* info) {
  if (IsImageHost(host)) return ImageStat(host, info);
  if (IsMemoryHost(host)) {
    const MemoryNode* node = MemoryFind(host);
    if (node == nullptr) {
      errno = ENOENT;
      return false;
    }
    MemoryFillStat(*node, info);
    return true;
  }
  return ::stat(host.c_str(), info) == 0;
}

int HostOpen(const std::string& host, int flags, mode_t mode) {
  if (IsImageHost(host)) return ImageOpen(host, flags);
  if (IsMemoryHost(host)) return MemoryOpen(host, flags);
  return ::open(host.c_str(), flags, mode);
}

int HostFstat(int fd, struct stat* info) {
  if (fd >= kFirstImageDescriptor) {
    const Machine::Impl::ImageDescriptor* open = ImageDescriptorOf(fd);
    if (open == nullptr) return -1;
    ImageVolume::Entry entry;
    entry.size = open->size;
    ImageFillStat(entry, info);
    return 0;
  }
  if (fd < kFirstMemoryDescriptor) return ::fstat(fd, info);
  const Machine::Impl::MemoryDescriptor* open = MemoryDescriptorOf(fd);
  if (open == nullptr) return -1;
  MemoryFillStat(*open->node, info);
  return 0;
}

int HostClose(int fd) {
  if (fd >= kFirstImageDescriptor) {
    auto& descriptors = machine().impl().imageDescriptors;
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) {
      errno = EBADF;
      return -1;
    }
    it->second.volume->Close(it->second.file);
    descriptors.erase(it);
    return 0;
  }
  if (fd < kFirstMemoryDescriptor) return ::close(fd);
  Machine::Impl& impl = machine().impl();
  auto open = impl.memoryDescriptors.find(fd);
  if (open == impl.memoryDescriptors.end()) {
    errno = EBADF;
    return -1;
  }
  open->second.node.reset();  // the file goes now if its name has gone
  DropEntryAt(&impl.memoryDescriptors, &impl.spareMemoryDescriptors, open);
  return 0;
}

ssize_t HostPread(int fd, void* buffer, size_t count, long long position) {
  if (fd >= kFirstImageDescriptor) {
    const Machine::Impl::ImageDescriptor* open = ImageDescriptorOf(fd);
    if (open == nullptr) return -1;
    return open->volume->Read(open->file, buffer, count, static_cast<uint64_t>(position));
  }
  if (fd < kFirstMemoryDescriptor) return ::pread(fd, buffer, count, static_cast<off_t>(position));
  const Machine::Impl::MemoryDescriptor* open = MemoryDescriptorOf(fd);
  if (open == nullptr) return -1;
  const std::string& bytes = open->node->bytes;
  if (position >= static_cast<long long>(bytes.size())) return 0;
  const size_t n = std::min(count, bytes.size() - static_cast<size_t>(position));
  std::memcpy(buffer, bytes.data() + position, n);
  return static_cast<ssize_t>(n);
}

// Writes at the position, or at the end for a descriptor opened to append; the position moves
// past what was written.
ssize_t HostWrite(int fd, const void* buffer, size_t count, long long* position) {
  if (fd >= kFirstImageDescriptor) {  // opened for reading only
    errno = EBADF;
    return -1;
  }
  if (fd < kFirstMemoryDescriptor) {
    if (::fcntl(fd, F_GETFL) & O_APPEND) {
      const ssize_t put = ::write(fd, buffer, count);
      *position = ::lseek(fd, 0, SEEK_CUR);
      return put;
    }
    const ssize_t put = ::pwrite(fd, buffer, count, static_cast<off_t>(*position));
    if (put > 0) *position += put;
    return put;
  }
  Machine::Impl::MemoryDescriptor* open = MemoryDescriptorOf(fd);
  if (open == nullptr) return -1;
  std::string& bytes = open->node->bytes;
  const size_t at = open->append ? bytes.size() : static_cast<size_t>(*position);
  if (bytes.size() < at) bytes.resize(at, '\0');  // a gap reads as zero bytes
  bytes.replace(at, std::min(count, bytes.size() - at), static_cast<const char*>(buffer), count);
  *position = static_cast<long long>(at + count);
  return static_cast<ssize_t>(count);
}

// Nothing on an image volume changes.
int RefuseImageChange() {
  errno = EACCES;
  return -1;
}

int HostUnlink(const std::string& host) {
  if (IsImageHost(host)) return RefuseImageChange();
  if (!IsMemoryHost(host)) return ::unlink(host.c_str());
  auto& nodes = machine().impl().memoryNodes;
  auto it = nodes.find(host);
  if (it == nodes.end() || it->second->directory) {
    errno = it == nodes.end() ? ENOENT : EISDIR;
    return -1;
  }
  DropEntryAt(&nodes, &machine().impl().spareMemoryNodes, it);
  return 0;
}

// A rename within the memory volumes takes a folder's contents along; between a memory volume
// and the host it fails with EXDEV, as between two host file systems.
int HostRename(const std::string& from, const std::string& to) {
  if (IsImageHost(from) || IsImageHost(to)) return RefuseImageChange();
  const bool memoryFrom = IsMemoryHost(from);
  if (memoryFrom != IsMemoryHost(to)) {
    errno = EXDEV;
    return -1;
  }
  if (!memoryFrom) return ::rename(from.c_str(), to.c_str());
  auto& nodes = machine().impl().memoryNodes;
  auto source = nodes.find(from);
  if (source == nodes.end() || !MemoryParentIsFolder(to)) {
    errno = ENOENT;
    return -1;
  }
  if (SamePath(from, to)) return 0;
  if (to.size() > from.size() && StartsWith(to, from) &&
      to[from.size()] == '/') {  // a folder into itself
    errno = EINVAL;
    return -1;
  }
  auto target = nodes.find(to);
  if (target != nodes.end() && (target->second->directory || source->second->directory)) {
    errno = target->second->directory ? EISDIR : ENOTDIR;
    return -1;
  }
  // A file's entry is moved under its new name, not made anew; a folder's entries follow it.
  const bool directory = source->second->directory;
  if (target != nodes.end()) DropEntryAt(&nodes, &machine().impl().spareMemoryNodes, target);
  auto entry = nodes.extract(source);
  entry.key() = to;
  nodes.insert(std::move(entry));
  if (!directory) return 0;
  std::vector<std::pair<std::string, std::shared_ptr<MemoryNode>>> moved;
  const std::string prefix = from + "/";
  for (auto it = nodes.lower_bound(prefix); it != nodes.end() && StartsWith(it->first, prefix);) {
    moved.emplace_back(to + it->first.substr(from.size()), it->second);
    it = nodes.erase(it);
  }
  for (auto& moving : moved) nodes[moving.first] = std::move(moving.second);
  return 0;
}

int HostMkdir(const std::string& host) {
  if (IsImageHost(host)) return RefuseImageChange();
  if (!IsMemoryHost(host)) return ::mkdir(host.c_str(), 0755);
  auto& nodes = machine().impl().memoryNodes;
  if (nodes.count(host) != 0) {
    errno = EEXIST;
    return -1;
  }
  if (!MemoryParentIsFolder(host)) {
    errno = ENOENT;
    return -1;
  }
  auto folder = std::make_shared<MemoryNode>();
  folder->directory = true;
  nodes.emplace(host, std::move(folder));
  return 0;
}

int HostRmdir(const std::string& host) {
  if (IsImageHost(host)) return RefuseImageChange();
  if (!IsMemoryHost(host)) return ::rmdir(host.c_str());
  const MemoryNode* node = MemoryFind(host);
  if (node == nullptr || !node->directory || !MemoryChildren(host).empty()) {
    errno = node == nullptr ? ENOENT : !node->directory ? ENOTDIR : ENOTEMPTY;
    return -1;
  }
  machine().impl().memoryNodes.erase(host);
  return 0;
}

// The names a host folder holds, "." and ".." left out; false when it cannot be listed.
bool HostFolderNames(const std::string& host, std::vector<std::string>* names) {
  if (IsImageHost(host)) return ImageChildren(host, names);
  if (IsMemoryHost(host)) {
    const MemoryNode* node = MemoryFind(host);
    if (node == nullptr || !node->directory) return false;
    *names = MemoryChildren(host);
    return true;
  }
  DIR* dir = ::opendir(host.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(dir);
  return true;
}

// A host name as Windows names show it, and back: a backslash would part a Windows path.
std::string WindowsName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', kBackslashInName);
  return name;
}
std::string HostName(std::string name) {
  std::replace(name.begin(), name.end(), kBackslashInName, '\\');
  return name;
}
// A listed file's size for an open, -1 when the listing does not know it.
long long SizeOrUnknown(const ListedEntry& entry) {
  return entry.size == kSizeUnknown ? -1 : static_cast<long long>(entry.size);
}

// The on-disk name in a host folder that matches a Windows name: the same spelling if there is
// one, else one that differs only in case.
bool FindOnDisk(const std::string& hostFolder, const std::string& name, std::string* found) {
  const std::string hostName = HostName(name);
  if (IsMemoryHost(hostFolder)) return MemoryFindChild(hostFolder, name, hostName, found);
  struct stat info;
  for (const std::string& candidate : {name, hostName}) {
    if (HostStat(hostFolder + "/" + candidate, &info)) {
      *found = candidate;
      return true;
    }
  }
  if (IsImageHost(hostFolder)) {
    std::vector<std::string> names;
    if (!ImageChildren(hostFolder, &names)) return false;
    for (const std::string& entry : names) {
      if (plat::_stricmp(entry.c_str(), hostName.c_str()) == 0) {
        *found = entry;
        return true;
      }
    }
    return false;
  }
  DIR* dir = ::opendir(hostFolder.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (dirent* entry = ::readdir(dir)) {
    if (plat::_stricmp(entry->d_name, hostName.c_str()) == 0) {
      *found = entry->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

bool HasWildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

bool MatchMask(const char* mask, const char* name) {
  if (*mask == '\0') return *name == '\0';
  if (*mask == '*') {
    for (const char* p = name;; ++p) {
      if (MatchMask(mask + 1, p)) return true;
      if (*p == '\0') return false;
    }
  }
  if (*name == '\0') return false;
  if (*mask == '?' || std::tolower(static_cast<unsigned char>(*mask)) ==
                          std::tolower(static_cast<unsigned char>(*name))) {
    return MatchMask(mask + 1, name + 1);
  }
  return false;
}

// Windows masks: "*.*" and any mask ending in ".*" also take names without an extension.
bool MatchesMask(const std::string& mask, const std::string& name) {
  if (mask == "*" || mask == "*.*") return true;  // every name, and the walk's every listing
  if (MatchMask(mask.c_str(), name.c_str())) return true;
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) {
    return MatchMask(mask.substr(0, mask.size() - 2).c_str(), name.c_str());
  }
  return false;
}

// The entries of an open host folder whose names match a mask, "." and ".." left out, appended
// to entries with their Windows names and, in place of their attributes, the types the folder
// gives them (DT_REG, DT_DIR, ..., DT_UNKNOWN).
bool ReadFolderNames(int folderFd, const std::string& mask, std::vector<ListedEntry>* entries) {
  alignas(8) char buffer[32768];
  for (;;) {
    const ssize_t got = ::getdents64(folderFd, buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t at = 0; at < got;) {
      const auto* item = reinterpret_cast<const dirent64*>(buffer + at);
      at += item->d_reclen;
      const char* raw = item->d_name;
      if (std::strcmp(raw, ".") == 0 || std::strcmp(raw, "..") == 0) continue;
      std::string name = WindowsName(raw);
      if (!MatchesMask(mask, name)) continue;
      ListedEntry entry;
      entry.name = std::move(name);
      entry.attributes = item->d_type;
      entries->push_back(std::move(entry));
    }
  }
}

const char kShortNameCharacters[] = "!#$%&'()-@^_`{}~";

bool IsShortNameCharacter(unsigned char c) {
  return std::isalnum(c) || c >= 0x80 || std::strchr(kShortNameCharacters, c) != nullptr;
}

bool IsValidShortName(const std::string& name) {
  const size_t dot = name.find('.');
  const size_t baseLength = dot == std::string::npos ? name.size() : dot;
  const size_t extLength = dot == std::string::npos ? 0 : name.size() - dot - 1;
  if (baseLength == 0 || baseLength > 8 || extLength > 3) return false;
  if (dot != std::string::npos && (extLength == 0 || name.find('.', dot + 1) != std::string::npos))
    return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i != dot && !IsShortNameCharacter(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// The alias Windows makes for a long name: six characters, "~1", three of the extension.
std::string GenerateShortName(const std::string& name) {
  const size_t dot = name.rfind('.');
  std::string base, ext;
  for (size_t i = 0; i < (dot == std::string::npos ? name.size() : dot); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsShortNameCharacter(c) && base.size() < 6) base += static_cast<char>(std::toupper(c));
  }
  if (dot != std::string::npos) {
    for (size_t i = dot + 1; i < name.size() && ext.size() < 3; ++i) {
      const unsigned char c = static_cast<unsigned char>(name[i]);
      if (IsShortNameCharacter(c)) ext += static_cast<char>(std::toupper(c));
    }
  }
  if (base.empty()) base = "FILE";
  return base + "~1" + (ext.empty() ? "" : "." + ext);
}

std::string ShortNameOf(const std::string& key, const std::string& name) {
  auto& meta = machine().impl().meta;
  auto it = meta.find(key);
  if (it != meta.end() && !it->second.shortName.empty()) return it->second.shortName;
  return IsValidShortName(name) ? name : GenerateShortName(name);
}

const FileMeta* FindMeta(const std::string& key) {
  auto& meta = machine().impl().meta;
  auto it = meta.find(key);
  return it == meta.end() ? nullptr : &it->second;
}

DWORD StoredAttributes(const std::string& key, bool directory) {
  const FileMeta* meta = FindMeta(key);
  DWORD attributes = meta ? meta->attributes : (directory ? 0 : FILE_ATTRIBUTE_ARCHIVE);
  attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
  if (directory) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

bool OpenByProgram(const std::string& key) {
  const auto& impl = machine().impl();
  for (const auto& entry : impl.descriptors) {
    if (entry.second.key == key) return true;
  }
  for (const auto& entry : impl.streams) {
    if (entry.second == key) return true;
  }
  return false;
}

void Changed() { ++machine().impl().fileGeneration; }

ListedEntry Listed(const std::string& name, const std::string& key, const struct stat& info,
                   bool link) {
  ListedEntry entry;
  entry.name = name;
  const bool directory = S_ISDIR(info.st_mode);
  entry.attributes = StoredAttributes(key, directory);
  if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    const FileMeta* meta = FindMeta(key);
    entry.reparseTag = meta ? meta->reparseTag : 0;
  }
  // A host symbolic link stands for a Windows reparse point (a junction or a link).
  if (link) {
    entry.attributes = (entry.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
                       FILE_ATTRIBUTE_REPARSE_POINT;
    entry.reparseTag = directory ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK;
  }
  if (!directory) entry.size = static_cast<uint64_t>(info.st_size);
  return entry;
}

// The size of a listed plain file the listing did not look at: what a reader ahead of the walk
// saw when it opened the file, or a look at it now; 0 for one that is gone.
uint64_t SizeOfListed(const Listing& listing, const ListedEntry& entry) {
  long long size = -1;
  if (ReadAheadSize(listing, static_cast<size_t>(&entry - listing.entries.data()), &size))
    return static_cast<uint64_t>(size);
  char hostName[NAME_MAX + 1];
  if (!listing.folder || !HostNameOf(entry.name, hostName)) return 0;
  struct stat info;
  const ProgramIo timing(&listing, static_cast<size_t>(&entry - listing.entries.data()));
  if (::fstatat(listing.folder->fd, hostName, &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

void FillFindData(WIN32_FIND_DATAA* data, const Listing& listing, const ListedEntry& entry) {
  if (entry.size == kSizeUnknown) entry.size = SizeOfListed(listing, entry);
  Machine::Impl::CachedListing& cache = machine().impl().lastListing;
  if (cache.listing.get() == &listing)
    cache.returned = static_cast<size_t>(&entry - listing.entries.data());
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.attributes;
  data->dwReserved0 = entry.reparseTag;
  data->nFileSizeLow = static_cast<DWORD>(entry.size & 0xFFFFFFFFu);
  data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
  const size_t length = std::min(entry.name.size(), sizeof data->cFileName - 1);
  std::memcpy(data->cFileName, entry.name.data(), length);  // cut to fit, as Windows never needs
  if (entry.name != "." && entry.name != ".." && !IsValidShortName(entry.name)) {
    std::snprintf(data->cAlternateFileName, sizeof data->cAlternateFileName, "%s",
                  ShortNameOf(listing.prefix + entry.name, entry.name).c_str());
  }
}

// Listed in the order of their upper-case names, as NTFS (and Wine) list a folder.
bool ListedBefore(const std::string& a, const std::string& b) {
  const int order = CompareUpper(a, b);
  return order != 0 ? order < 0 : a < b;
}

// A memory folder's listing for a mask, made as a host folder's is.
std::shared_ptr<const Listing> ListMemoryFolder(const Resolved& folder, const std::string& mask,
                                                const struct stat& folderInfo) {
  auto listing = std::make_shared<Listing>();
  listing->prefix = folder.root ? folder.windows : folder.windows + "\\";
  if (!folder.root) {
    for (const char* dots : {".", ".."}) {
      if (MatchesMask(mask, dots)) {
        listing->entries.push_back(Listed(dots, folder.windows, folderInfo, false));
      }
    }
  }
  std::vector<std::string> names;
  for (const std::string& hostName : MemoryChildren(folder.host)) {
    std::string name = WindowsName(hostName);
    if (MatchesMask(mask, name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), ListedBefore);
  listing->entries.reserve(listing->entries.size() + names.size());
  for (std::string& name : names) {
    struct stat info;
    MemoryFillStat(*MemoryFind(folder.host + "/" + HostName(name)), &info);
    const std::string key = listing->prefix + name;
    listing->entries.push_back(Listed(std::move(name), key, info, false));
  }
  return listing;
}

// An image folder's listing for a mask, made as a host folder's is.
std::shared_ptr<const Listing> ListImageFolder(const Resolved& folder, const std::string& mask,
                                               const struct stat& folderInfo) {
  std::string inner;
  ImageVolume* volume = ImageOf(folder.host, &inner);
  const std::vector<ImageVolume::Entry>* entries = volume ? volume->List(inner) : nullptr;
  if (entries == nullptr) return nullptr;
  auto listing = std::make_shared<Listing>();
  listing->prefix = folder.root ? folder.windows : folder.windows + "\\";
  if (!folder.root) {
    for (const char* dots : {".", ".."}) {
      if (MatchesMask(mask, dots)) {
        listing->entries.push_back(Listed(dots, folder.windows, folderInfo, false));
      }
    }
  }
  std::vector<std::pair<std::string, const ImageVolume::Entry*>> names;
  for (const ImageVolume::Entry& entry : *entries) {
    std::string name = WindowsName(entry.name);
    if (MatchesMask(mask, name)) names.emplace_back(std::move(name), &entry);
  }
  std::sort(names.begin(), names.end(),
            [](const auto& a, const auto& b) { return ListedBefore(a.first, b.first); });
  listing->entries.reserve(listing->entries.size() + names.size());
  for (auto& named : names) {
    struct stat info;
    ImageFillStat(*named.second, &info);
    const std::string key = listing->prefix + named.first;
    listing->entries.push_back(Listed(std::move(named.first), key, info, false));
  }
  return listing;
}

void MoveMeta(const std::string& fromKey, const std::string& toKey) {
  Machine::Impl& impl = machine().impl();
  auto& meta = impl.meta;
  auto it = meta.find(fromKey);
  if (it == meta.end()) {
    impl.ForgetMeta(toKey);
    return;
  }
  // The entry itself is moved, under its new key and without the old name's alias.
  auto moved = meta.extract(it);
  impl.ForgetMeta(toKey);
  moved.key() = toKey;
  moved.mapped().shortName.clear();
  meta.insert(std::move(moved));
}

// Opens a host file only when it is a plain file, never waiting (a FIFO would).
int OpenPlainFile(const std::string& host, int flags, mode_t mode) {
  // Memory and image volumes hold plain files and folders only.
  if (IsImageHost(host)) return ImageOpen(host, flags);
  if (IsMemoryHost(host)) return MemoryOpen(host, flags);
  const int fd = ::open(host.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// A whole host file's bytes; false when it is not a plain file that can be read.
bool HostReadAll(const std::string& host, std::string* bytes) {
  if (IsMemoryHost(host)) {
    const MemoryNode* node = MemoryFind(host);
    if (node == nullptr || node->directory) return false;
    *bytes = node->bytes;
    return true;
  }
  const int fd = OpenPlainFile(host, O_RDONLY, 0);
  if (fd < 0) return false;
  bytes->clear();
  char buffer[65536];
  ssize_t n;
  while ((n = HostPread(fd, buffer, sizeof buffer, static_cast<long long>(bytes->size()))) > 0)
    bytes->append(buffer, static_cast<size_t>(n));
  HostClose(fd);
  return n == 0;
}

// Makes or replaces a host file that holds exactly these bytes.
bool HostWriteAll(const std::string& host, std::string bytes) {
  const int fd = HostOpen(host, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (fd >= kFirstMemoryDescriptor) {  // the bytes become the file's, uncopied
    machine().impl().memoryDescriptors[fd].node->bytes = std::move(bytes);
    return HostClose(fd) == 0;
  }
  long long position = 0;
  const bool written =
      HostWrite(fd, bytes.data(), bytes.size(), &position) == static_cast<ssize_t>(bytes.size());
  return HostClose(fd) == 0 && written;
}

bool CopyHostFile(const std::string& from, const std::string& to) {
  if (IsMemoryHost(from) || IsMemoryHost(to) || IsImageHost(from) || IsImageHost(to)) {
    std::string bytes;
    return HostReadAll(from, &bytes) && HostWriteAll(to, std::move(bytes));
  }
  const int in = OpenPlainFile(from, O_RDONLY, 0);
  if (in < 0) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || ::write(out, buffer, static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  return ok;
}

// A path that a running process holds, or that the program itself has open, cannot be
// replaced or removed.
DWORD ChangeBlockedBy(const std::string& key) {
  if (OpenByProgram(key)) return ERROR_SHARING_VIOLATION;
  return machine().DeleteBlockedBy(key);
}

// --- Text-mode stdio streams: "\r\n" arrives as "\n", Ctrl-Z ends the reading, "\n" is
// written as "\r\n", as the Windows run-time library does.

struct TextReader {
  std::string data;
  size_t position = 0;
  // The buffer of a text-mode stream over a memory file, where the reader lives: not one more
  // allocation for every stream. (A stream leaves a buffer it was given alone when it closes.)
  char buffer[512];
};

ssize_t TextRead(void* cookie, char* buffer, size_t size) {
  auto* reader = static_cast<TextReader*>(cookie);
  const size_t n = std::min(size, reader->data.size() - reader->position);
  std::memcpy(buffer, reader->data.data() + reader->position, n);
  reader->position += n;
  return static_cast<ssize_t>(n);
}

int TextReaderClose(void* cookie) {
  delete static_cast<TextReader*>(cookie);
  return 0;
}

ssize_t TextWrite(void* cookie, const char* buffer, size_t size) {
  FILE* file = static_cast<FILE*>(cookie);
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] == '\n' && std::fputc('\r', file) == EOF) return -1;
    if (std::fputc(buffer[i], file) == EOF) return -1;
  }
  return static_cast<ssize_t>(size);
}

int TextWriterClose(void* cookie) { return std::fclose(static_cast<FILE*>(cookie)); }

// A read-only binary stream over a memory file's bytes as they are now, or an image file's.
FILE* OpenMemoryReader(const std::string& host) {
  std::string bytes;
  if (IsImageHost(host)) {
    if (!HostReadAll(host, &bytes)) return nullptr;
  } else {
    const MemoryNode* node = MemoryFind(host);
    if (node == nullptr || node->directory) {
      errno = node == nullptr ? ENOENT : EACCES;
      return nullptr;
    }
    bytes = node->bytes;
  }
  auto* reader = new TextReader{std::move(bytes), 0, {}};
  cookie_io_functions_t functions{TextRead, nullptr, nullptr, TextReaderClose};
  FILE* stream = ::fopencookie(reader, "r", functions);
  if (stream == nullptr) delete reader;
  return stream;
}

ssize_t MemoryStreamWrite(void* cookie, const char* buffer, size_t size) {
  long long position = 0;
  return HostWrite(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buffer, size, &position);
}

int MemoryStreamClose(void* cookie) {
  return HostClose(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

// A binary stream that writes a memory file, emptied first ("wb") or added to ("ab").
FILE* OpenMemoryWriter(const std::string& host, const char* hostMode) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | (hostMode[0] == 'a' ? 0 : O_TRUNC);
  const int fd = MemoryOpen(host, flags);
  if (fd < 0) return nullptr;
  cookie_io_functions_t functions{nullptr, MemoryStreamWrite, nullptr, MemoryStreamClose};
  FILE* stream = ::fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", functions);
  if (stream == nullptr) HostClose(fd);
  return stream;
}

// A stream on a host file in a binary mode of fopen. No stream on a memory volume both reads
// and writes: nothing has needed one.
FILE* OpenBinaryStream(const std::string& host, const char* mode) {
  if (IsImageHost(host) && mode[0] == 'r' && std::strchr(mode, '+') == nullptr)
    return OpenMemoryReader(host);
  if (IsImageHost(host)) {
    errno = EACCES;
    return nullptr;
  }
  if (!IsMemoryHost(host)) return std::fopen(host.c_str(), mode);
  if (std::strchr(mode, '+') != nullptr) {
    errno = EACCES;
    return nullptr;
  }
  return mode[0] == 'r' ? OpenMemoryReader(host) : OpenMemoryWriter(host, mode);
}

// What a text-mode reading of these bytes delivers: up to the first Ctrl-Z, "\r\n" as "\n".
// Appended a run at a time: the whole file is read this way at every open.
void AppendTextMode(std::string_view bytes, std::string* text) {
  const std::string_view read = bytes.substr(0, bytes.find('\x1a'));
  text->reserve(text->size() + read.size());
  size_t at = 0;
  for (size_t pair; (pair = read.find("\r\n", at)) != std::string_view::npos; at = pair + 1) {
    text->append(read.substr(at, pair - at));
  }
  text->append(read.substr(at));
}

FILE* OpenTextReader(const std::string& host) {
  auto* reader = new TextReader;
  if (IsMemoryHost(host) || IsImageHost(host)) {
    // Translated straight from the bytes, with the errors OpenMemoryReader gives.
    std::string imageBytes;
    const MemoryNode* node = nullptr;
    if (IsImageHost(host)) {
      if (!HostReadAll(host, &imageBytes)) {
        delete reader;
        return nullptr;
      }
    } else if ((node = MemoryFind(host)) == nullptr || node->directory) {
      errno = node == nullptr ? ENOENT : EACCES;
      delete reader;
      return nullptr;
    }
    AppendTextMode(node != nullptr ? node->bytes : imageBytes, &reader->data);
    cookie_io_functions_t functions{TextRead, nullptr, nullptr, TextReaderClose};
    FILE* stream = ::fopencookie(reader, "r", functions);
    if (stream == nullptr) {
      delete reader;
      return nullptr;
    }
    std::setvbuf(stream, reader->buffer, _IOFBF, sizeof reader->buffer);
    return stream;
  }
  const int fd = OpenPlainFile(host, O_RDONLY, 0);
  FILE* raw = fd < 0 ? nullptr : ::fdopen(fd, "rb");
  if (raw == nullptr && fd >= 0) ::close(fd);
  if (raw == nullptr) {
    delete reader;
    return nullptr;
  }
  int c;
  while ((c = std::fgetc(raw)) != EOF) {
    if (c == 0x1A) break;
    if (c == '\r') {
      const int next = std::fgetc(raw);
      if (next == '\n') {
        reader->data += '\n';
        continue;
      }
      if (next != EOF) std::ungetc(next, raw);
    }
    reader->data += static_cast<char>(c);
  }
  std::fclose(raw);
  cookie_io_functions_t functions{TextRead, nullptr, nullptr, TextReaderClose};
  FILE* stream = ::fopencookie(reader, "r", functions);
  if (stream == nullptr) delete reader;
  return stream;
}

FILE* OpenTextWriter(const std::string& host, const char* hostMode) {
  FILE* raw = OpenBinaryStream(host, hostMode);
  if (raw == nullptr) return nullptr;
  cookie_io_functions_t functions{nullptr, TextWrite, nullptr, TextWriterClose};
  FILE* stream = ::fopencookie(raw, "w", functions);
  if (stream == nullptr) std::fclose(raw);
  return stream;
}

// A file opened for reading under the listing's spelling of its path (its key), by a reader
// ahead of the walk or relative to its folder: refused as an open of the file would be.
int OpenedListed(int fd, const std::string& key, long long size) {
  const FileMeta* meta = FindMeta(key);
  if ((meta && meta->denyAccess) || machine().ReadBlocked(key)) {
    if (!ForgetReadAhead(fd)) ::close(fd);
    errno = EACCES;
    return -1;
  }
  machine().impl().AddDescriptor(fd, key, size, true);
  return fd;
}

constexpr int kNotListed = -2;

// An open for reading of a plain file of the host folder listed last, spelled as the listing
// spelled it: relative to the folder, which the listing holds open. kNotListed for any other
// path, and for one the open fails on (the full lookup then says why).
int OpenListed(const char* path) {
  const std::shared_ptr<const Listing>& listing = machine().impl().lastListing.listing;
  // The listing's folder is the one the path names only while no system folder is redirected.
  if (!listing || !listing->folder ||
      (plat::RunsUnderWow64() && !plat::FileSystemRedirectionIsOff())) {
    return kNotListed;
  }
  const ListedEntry* listed = FindListed(path);
  constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if (listed == nullptr || (listed->attributes & kNotPlain) != 0) return kNotListed;
  char hostName[NAME_MAX + 1];
  if (!HostNameOf(listed->name, hostName)) return kNotListed;
  // Never waits, and never follows a link: the listing showed a plain file. (Not timed: the look
  // at the file when it was listed read what the open needs from the disk.)
  const int fd =
      ::openat(listing->folder->fd, hostName, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return kNotListed;
  const int opened = OpenedListed(fd, path, SizeOrUnknown(*listed));
  if (opened >= 0) {
    Machine::Impl::Descriptor& descriptor = machine().impl().descriptors[opened];
    descriptor.listing = listing.get();
    descriptor.entryIndex = static_cast<size_t>(listed - listing->entries.data());
  }
  return opened;
}

// A positioned read from a descriptor opened for reading only. Small reads are served from
// kReadCacheBytes fetched at once, from the start of the file when the read lies there.
ssize_t CachedPread(const Machine::Impl::Descriptor& descriptor, int fd, void* buffer, size_t count,
                    long long position) {
  if (fd >= kFirstMemoryDescriptor || count >= kReadCacheBytes || position < 0)
    return HostPread(fd, buffer, count, position);
  Machine::Impl& impl = machine().impl();
  Machine::Impl::ReadCache& cache = impl.readCache;
  const auto holds = [&] {
    const long long end = cache.start + static_cast<long long>(cache.length);
    // Fewer bytes than asked for were there: the file ended with them.
    const bool toEnd = cache.length < kReadCacheBytes;
    return cache.fd == fd && cache.generation == impl.fileGeneration && position >= cache.start &&
           (position + static_cast<long long>(count) <= end || (toEnd && position <= end));
  };
  if (!holds()) {
    cache.fd = -1;
    const long long start =
        position + static_cast<long long>(count) <= static_cast<long long>(kReadCacheBytes)
            ? 0
            : position;
    ssize_t got = -1;
    {
      const ProgramIo timing(descriptor.listing, descriptor.entryIndex);
      if (!cache.bytes) cache.bytes.reset(new unsigned char[kReadCacheBytes]);
      got = HostPread(fd, cache.bytes.get(), kReadCacheBytes, start);
    }
    if (got < 0) return -1;
    cache.fd = fd;
    cache.generation = impl.fileGeneration;
    cache.start = start;
    cache.length = static_cast<size_t>(got);
  }
  const long long end = cache.start + static_cast<long long>(cache.length);
  if (position >= end) return 0;  // at or past the end of the file
  const size_t n =
      static_cast<size_t>(std::min(position + static_cast<long long>(count), end) - position);
  std::memcpy(buffer, cache.bytes.get() + (position - cache.start), n);
  return static_cast<ssize_t>(n);
}

// What a path needs before the program may open it; 0 or an errno value.
int OpenRefusal(const Resolved& resolved, bool write) {
  if (resolved.error != 0) return ENOENT;
  if (write && IsImageHost(resolved.host)) return EACCES;
  if (resolved.exists && resolved.directory) return EACCES;
  struct stat info;
  if (resolved.exists && HostStat(resolved.host, &info) && !S_ISREG(info.st_mode)) return EACCES;
  if (resolved.exists) {
    const FileMeta* meta = FindMeta(resolved.windows);
    if (meta && meta->denyAccess) return EACCES;
    if (write && (StoredAttributes(resolved.windows, false) & FILE_ATTRIBUTE_READONLY))
      return EACCES;
    if (machine().ReadBlocked(resolved.windows))
      return EACCES;  // msvcrt turns a sharing violation into EACCES
    if (write && machine().DeleteBlockedBy(resolved.windows) != 0) return EACCES;
  }
  return 0;
}

}  // namespace

HostFolder::~HostFolder() { ::close(fd); }

bool HostNameOf(const std::string& windowsName, char (&hostName)[NAME_MAX + 1]) {
  if (windowsName.size() > NAME_MAX) return false;
  std::memcpy(hostName, windowsName.c_str(), windowsName.size() + 1);
  std::replace(hostName, hostName + windowsName.size(), kBackslashInName, '\\');
  return true;
}

std::string KeyOf(const std::string& windowsPath) {
  const Resolved resolved = Resolve(windowsPath);
  return resolved.windows.empty() ? windowsPath : resolved.windows;
}

// A Windows path taken apart: its drive's folder and its components, "." and ".." applied.
struct SplitWindowsPath {
  DWORD error = 0;
  char letter = 0;
  std::string hostFolder;
  std::vector<std::string> components;
  // The host path and the Windows path with the components spelled as given.
  std::string ExactHost() const { return Joined(hostFolder, '/'); }
  std::string ExactWindows() const { return Joined(std::string{letter, ':'}, '\\'); }
  // One allocation: paths are joined on every file call.
  std::string Joined(const std::string& start, char separator) const {
    size_t length = start.size();
    for (const std::string& part : components) length += 1 + part.size();
    std::string joined;
    joined.reserve(length);
    joined += start;
    for (const std::string& part : components) {
      joined += separator;
      joined += part;
    }
    return joined;
  }
};

SplitWindowsPath SplitForDrive(std::string_view windowsPath) {
  SplitWindowsPath split;
  // Copied only when there is a '/' to turn into a backslash.
  std::string_view path = windowsPath;
  std::string replaced;
  if (path.find('/') != std::string_view::npos) {
    replaced = std::string(windowsPath);
    std::replace(replaced.begin(), replaced.end(), '/', '\\');
    path = replaced;
  }
  if (path.size() >= MAX_PATH) {
    split.error = ERROR_FILENAME_EXCED_RANGE;
    return split;
  }
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) {
    split.error = ERROR_PATH_NOT_FOUND;
    return split;
  }
  split.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  const auto& drives = machine().impl().drives;
  auto drive = drives.find(split.letter);
  if (drive == drives.end() || drive->second.hostFolder.empty()) {
    split.error = ERROR_PATH_NOT_FOUND;
    return split;
  }
  split.hostFolder = drive->second.hostFolder;
  // "." and ".." applied in place: no second list on every file call.
  split.components = SplitPath(path.substr(2));
  size_t kept = 0;
  for (std::string& part : split.components) {
    if (part.size() == 1 && part[0] == '.') continue;
    if (part.size() == 2 && part[0] == '.' && part[1] == '.') {
      if (kept > 0) --kept;
      continue;
    }
    if (&split.components[kept] != &part) split.components[kept] = std::move(part);
    ++kept;
  }
  split.components.resize(kept);
  RedirectSystemFolder(split.letter, &split.components);
  return split;
}

// Nearly every file call resolves a path or two into two strings too long to live inside them:
// their memory is kept for the thread's next look-ups instead of being freed and taken again.
namespace {

struct SpareStrings {
  static constexpr size_t kKept = 8;
  std::string kept[kKept];
  size_t count = 0;
};
thread_local SpareStrings t_spare;

void TakeSpare(std::string* text) {
  if (t_spare.count == 0) return;
  std::string& spare = t_spare.kept[--t_spare.count];
  spare.clear();
  text->swap(spare);
}

void KeepSpare(std::string* text) {
  if (text->capacity() > sizeof(std::string) && t_spare.count < SpareStrings::kKept) {
    t_spare.kept[t_spare.count++].swap(*text);
  }
}

}  // namespace

Resolved::Resolved() {
  TakeSpare(&host);
  TakeSpare(&windows);
}

Resolved::~Resolved() {
  KeepSpare(&host);
  KeepSpare(&windows);
}

// The commonest path, "X:\name\name" with nothing to apply (no '/', no "." or "..", no empty
// component, no WoW64 redirection), as it would be with the drive's spelling if it exists as
// written: looked at without taking it apart.
enum class ExactLook { kNotThatKind, kMissing, kFound };
ExactLook ResolveExact(std::string_view windowsPath, Resolved* result) {
  if (windowsPath.size() < 4 || windowsPath.size() >= MAX_PATH || windowsPath[1] != ':' ||
      windowsPath[2] != '\\' || windowsPath.back() == '\\' ||
      !std::isalpha(static_cast<unsigned char>(windowsPath[0])) ||
      machine().width == Machine::Width::Program32On64) {
    return ExactLook::kNotThatKind;
  }
  for (size_t begin = 3; begin <= windowsPath.size();) {
    size_t end = windowsPath.find('\\', begin);
    if (end == std::string_view::npos) end = windowsPath.size();
    const std::string_view part = windowsPath.substr(begin, end - begin);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos) {
      return ExactLook::kNotThatKind;
    }
    begin = end + 1;
  }
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath[0])));
  const auto& drives = machine().impl().drives;
  auto drive = drives.find(letter);
  if (drive == drives.end() || drive->second.hostFolder.empty()) return ExactLook::kNotThatKind;
  const std::string_view rest = windowsPath.substr(2);  // "\name..."
  // Built in the result's own string, which holds memory kept from earlier look-ups.
  std::string& host = result->host;
  host.reserve(drive->second.hostFolder.size() + rest.size());
  host += drive->second.hostFolder;
  host += rest;
  std::replace(host.begin() + static_cast<std::ptrdiff_t>(drive->second.hostFolder.size()),
               host.end(), '\\', '/');
  struct stat info;
  if (HostStat(host, &info)) {
    result->exists = true;
    result->directory = S_ISDIR(info.st_mode);
    result->windows.reserve(windowsPath.size());
    result->windows += letter;
    result->windows += windowsPath.substr(1);  // ":\name..."
    return ExactLook::kFound;
  }
  // A file about to be made, or named in another case, in a folder that exists as written: only
  // the last name is looked for.
  const size_t cut = host.rfind('/');
  const size_t windowsCut = windowsPath.rfind('\\');
  if (cut < drive->second.hostFolder.size()) {
    host.clear();
    return ExactLook::kMissing;
  }
  const std::string name(windowsPath.substr(windowsCut + 1));
  host.resize(cut);  // the folder
  if (!HostStat(host, &info) || !S_ISDIR(info.st_mode)) {
    host.clear();
    return ExactLook::kMissing;
  }
  std::string onDisk;
  const bool found = FindOnDisk(host, name, &onDisk);
  result->windows.reserve(windowsPath.size());
  result->windows += letter;
  result->windows += windowsPath.substr(1, windowsCut);  // ":\folder\"
  host += '/';
  if (found) {
    result->exists = true;
    host += onDisk;
    result->directory = HostStat(host, &info) && S_ISDIR(info.st_mode);
    result->windows += WindowsName(std::move(onDisk));
  } else {
    host += HostName(name);
    result->windows += name;
  }
  return ExactLook::kFound;
}

Resolved Resolve(std::string_view windowsPath) {
  Resolved result;
  const ExactLook exactLook = ResolveExact(windowsPath, &result);
  if (exactLook == ExactLook::kFound) return result;
  const SplitWindowsPath split = SplitForDrive(windowsPath);
  if (split.error != 0) {
    result.error = split.error;
    return result;
  }
  const std::vector<std::string>& components = split.components;
  // Most paths come from a listing and carry the names as they are on disk: one look settles
  // those. Only the others are matched component by component without regard to case.
  if (!components.empty() && exactLook == ExactLook::kNotThatKind) {
    std::string exact = split.ExactHost();
    struct stat info;
    if (HostStat(exact, &info)) {
      result.exists = true;
      result.directory = S_ISDIR(info.st_mode);
      result.host = std::move(exact);
      result.windows = split.ExactWindows();
      return result;
    }
  }
  // Both paths grow in place, with room for the whole of them made once.
  std::string host;
  host.reserve(split.hostFolder.size() + windowsPath.size());
  host = split.hostFolder;
  std::string windows;
  windows.reserve(windowsPath.size() + 2);
  windows += split.letter;
  windows += ':';
  for (size_t i = 0; i < components.size(); ++i) {
    std::string onDisk;
    const bool last = i + 1 == components.size();
    if (!FindOnDisk(host, components[i], &onDisk)) {
      if (!last) {
        result.error = ERROR_PATH_NOT_FOUND;
        return result;
      }
      host += '/';
      host += HostName(components[i]);
      windows += '\\';
      windows += components[i];
      result.host = std::move(host);
      result.windows = std::move(windows);
      return result;
    }
    host += '/';
    host += onDisk;
    windows += '\\';
    windows += WindowsName(std::move(onDisk));
    struct stat info;
    const bool isDirectory = HostStat(host, &info) && S_ISDIR(info.st_mode);
    if (!last && !isDirectory) {
      result.error = ERROR_PATH_NOT_FOUND;
      return result;
    }
    result.directory = isDirectory;
  }
  if (components.empty()) {
    result.root = true;
    result.directory = true;
    windows += '\\';
  }
  result.exists = true;
  result.host = std::move(host);
  result.windows = std::move(windows);
  return result;
}

const ListedEntry* FindListed(std::string_view key) {
  const Machine::Impl& impl = machine().impl();
  const Machine::Impl::CachedListing& cache = impl.lastListing;
  if (!cache.listing || cache.generation != impl.fileGeneration) return nullptr;
  const Listing& listing = *cache.listing;
  if (key.size() <= listing.prefix.size() || key.substr(0, listing.prefix.size()) != listing.prefix)
    return nullptr;
  const std::string_view name = key.substr(listing.prefix.size());
  if (name.find('\\') != std::string_view::npos) return nullptr;
  if (cache.returned < listing.entries.size() && listing.entries[cache.returned].name == name)
    return &listing.entries[cache.returned];
  // After "." and "..", the entries are in upper-case order: look the name up by halves.
  auto first = listing.entries.begin();
  while (first != listing.entries.end() && (first->name == "." || first->name == "..")) ++first;
  const auto it = std::lower_bound(first, listing.entries.end(), name,
                                   [](const ListedEntry& entry, std::string_view wanted) {
                                     return CompareUpper(entry.name, wanted) < 0;
                                   });
  for (auto at = it; at != listing.entries.end() && CompareUpper(at->name, name) == 0; ++at) {
    if (at->name == name) return &*at;  // a name that differs only in case is another file
  }
  return nullptr;
}

void Machine::MapImageDrive(char letter, std::shared_ptr<ImageVolume> volume, UINT type) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  impl_->imageVolumes[upper] = std::move(volume);
  MapDrive(upper, std::string(kImageVolumes) + upper, type);
}

void Machine::MapMemoryDrive(char letter, UINT type) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  const std::string root = std::string(kMemoryVolumes) + upper;
  if (impl_->memoryNodes.count(root) == 0) {
    auto folder = std::make_shared<MemoryNode>();
    folder->directory = true;
    impl_->memoryNodes.emplace(root, std::move(folder));
  }
  MapDrive(upper, root, type);
}

bool Machine::PutFile(const std::string& windowsPath, std::string bytes) {
  {  // the commonest case, a file in a folder that is there already: one look-up
    const Resolved resolved = Resolve(windowsPath);
    if (resolved.error == 0 && !resolved.directory) {
      Changed();
      return HostWriteAll(resolved.host, std::move(bytes));
    }
  }
  const SplitWindowsPath split = SplitForDrive(windowsPath);
  if (split.error != 0 || split.components.empty()) return false;
  // Each component as it is spelled there already, else as given; missing folders are made.
  std::string host = split.hostFolder;
  for (size_t i = 0; i < split.components.size(); ++i) {
    std::string onDisk;
    if (!FindOnDisk(host, split.components[i], &onDisk)) onDisk = HostName(split.components[i]);
    host += "/" + onDisk;
    struct stat info;
    if (i + 1 < split.components.size() && !HostStat(host, &info) && HostMkdir(host) != 0) {
      return false;
    }
  }
  Changed();
  return HostWriteAll(host, std::move(bytes));
}

bool Machine::GetFile(const std::string& windowsPath, std::string* bytes) const {
  const Resolved resolved = Resolve(windowsPath);
  return resolved.error == 0 && resolved.exists && !resolved.directory &&
         HostReadAll(resolved.host, bytes);
}

size_t Machine::RemoveMemoryFiles() {
  auto& nodes = impl_->memoryNodes;
  size_t folders = 0;
  for (auto it = nodes.begin(); it != nodes.end();) {
    if (it->second->directory) {
      ++folders;
      ++it;
    } else {
      it = DropEntryAt(&nodes, &impl_->spareMemoryNodes, it);
    }
  }
  for (auto it = impl_->meta.begin(); it != impl_->meta.end();) {
    it = DropEntryAt(&impl_->meta, &impl_->spareMeta, it);
  }
  impl_->lastListing = Impl::CachedListing{};
  // Numbered from the start again when none is open: an input sees the descriptors it would
  // see on a new machine.
  if (impl_->memoryDescriptors.empty()) impl_->nextMemoryDescriptor = kFirstMemoryDescriptor;
  Changed();
  return folders;
}

}  // namespace posix

namespace plat {

using posix::Fail;
using posix::Resolve;
using posix::Resolved;

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  std::string text = pattern;
  std::replace(text.begin(), text.end(), '/', '\\');
  const size_t slash = text.rfind('\\');
  const std::string mask = slash == std::string::npos ? "" : text.substr(slash + 1);
  if (mask.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);

  posix::HandleEntry entry;
  entry.kind = posix::HandleEntry::Kind::Search;
  auto listing = std::make_shared<posix::Listing>();
  if (posix::HasWildcard(mask)) {
    const Resolved folder = Resolve(text.substr(0, slash + 1));
    if (folder.error != 0) return Fail(folder.error, INVALID_HANDLE_VALUE);
    if (!folder.exists || !folder.directory)
      return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    const posix::FileMeta* folderMeta = posix::FindMeta(folder.windows);
    if (folderMeta != nullptr && folderMeta->denyAccess)
      return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    posix::Machine::Impl& impl = posix::machine().impl();
    struct stat folderInfo;
    if (!posix::HostStat(folder.host, &folderInfo)) {
      return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    posix::Machine::Impl::CachedListing& cache = impl.lastListing;
    if (cache.listing && cache.host == folder.host && cache.mask == mask &&
        cache.generation == impl.fileGeneration &&
        cache.modified.tv_sec == folderInfo.st_mtim.tv_sec &&
        cache.modified.tv_nsec == folderInfo.st_mtim.tv_nsec) {
      entry.found = cache.listing;
    } else if (posix::IsMemoryHost(folder.host)) {
      entry.found = posix::ListMemoryFolder(folder, mask, folderInfo);
      cache = {folder.host, mask, folderInfo.st_mtim, impl.fileGeneration, entry.found};
    } else if (posix::IsImageHost(folder.host)) {
      // An image folder that cannot be listed (a damaged file system) is refused, as a folder
      // without the right to list it; nothing of it is read ahead.
      entry.found = posix::ListImageFolder(folder, mask, folderInfo);
      if (!entry.found) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
      cache = {folder.host, mask, folderInfo.st_mtim, impl.fileGeneration, entry.found};
    } else {
      const int folderFd = ::open(folder.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (folderFd < 0) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
      const auto held = std::make_shared<posix::HostFolder>(folderFd);
      listing->prefix = folder.root ? folder.windows : folder.windows + "\\";
      // A drive root lists no "." and "..", as on NTFS; other folders list them first.
      if (!folder.root) {
        for (const char* dots : {".", ".."}) {
          if (posix::MatchesMask(mask, dots))
            listing->entries.push_back(posix::Listed(dots, folder.windows, folderInfo, false));
        }
      }
      // The folder's names go straight into the listing, each with the type the folder gives
      // it kept in its attributes until it is listed: a wide folder's listing is its largest use
      // of memory.
      std::vector<posix::ListedEntry>& entries = listing->entries;
      const size_t first = entries.size();
      if (!posix::ReadFolderNames(folderFd, mask, &entries))
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
      // Listed in the order of their upper-case names, as NTFS (and Wine) list a folder.
      std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                [](const posix::ListedEntry& a, const posix::ListedEntry& b) {
                  return posix::ListedBefore(a.name, b.name);
                });
      // Plain files and folders are listed by the type the folder gives them. A link is looked
      // at, and what it points to, as is an entry of a file system that gives no types. FIFOs,
      // sockets and devices have no place on a Windows volume (and opening one may wait).
      const auto mustLook = [](const posix::ListedEntry& item) {
        return item.attributes == DT_LNK || item.attributes == DT_UNKNOWN;
      };
      std::vector<std::string> unknown;
      for (size_t i = first; i < entries.size(); ++i) {
        if (mustLook(entries[i])) unknown.push_back(entries[i].name);
      }
      std::vector<posix::EntryLook> looks(unknown.size());
      if (!unknown.empty())
        posix::LookAtEntries(folderFd, unknown.data(), unknown.size(), looks.data());
      // The metadata key of each entry is made only when there is metadata to look it up in.
      const bool anyMeta = !impl.meta.empty();
      size_t looked = 0;
      size_t kept = first;
      for (size_t i = first; i < entries.size(); ++i) {
        posix::ListedEntry& item = entries[i];
        const DWORD type = item.attributes;
        struct stat info {};
        bool link = false;
        if (type == DT_REG || type == DT_DIR) {
          info.st_mode = type == DT_DIR ? S_IFDIR : S_IFREG;
        } else if (mustLook(item)) {
          const posix::EntryLook& look = looks[looked++];
          if (!look.listed) continue;
          info.st_mode = look.directory ? S_IFDIR : S_IFREG;
          info.st_size = static_cast<off_t>(look.size);
          link = look.link;
        } else {
          continue;
        }
        const std::string key = anyMeta ? listing->prefix + item.name : std::string();
        entries[kept] = posix::Listed(std::move(item.name), key, info, link);
        if (type == DT_REG) entries[kept].size = posix::kSizeUnknown;
        ++kept;
      }
      entries.resize(kept);
      listing->folder = held;
      entry.found = listing;
      cache = {folder.host, mask, folderInfo.st_mtim, impl.fileGeneration, listing};
      posix::ReadAheadFolder(held, listing);
    }
  } else {
    const Resolved file = Resolve(text);
    if (file.error != 0) return Fail(file.error, INVALID_HANDLE_VALUE);
    if (!file.exists || file.root) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    struct stat info;
    if (!posix::HostStat(file.host, &info)) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    const size_t cut = file.windows.rfind('\\');
    listing->prefix = file.windows.substr(0, cut + 1);
    listing->entries.push_back(posix::Listed(file.windows.substr(file.windows.rfind('\\') + 1),
                                             file.windows, info, false));
    entry.found = listing;
  }
  if (entry.found->entries.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  posix::FillFindData(data, *entry.found, entry.found->entries[0]);
  entry.next = 1;
  return posix::machine().impl().Add(std::move(entry));
}

BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data) {
  posix::HandleEntry* entry = posix::machine().impl().Get(search, posix::HandleEntry::Kind::Search);
  if (entry == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (entry->next >= entry->found->entries.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
  posix::FillFindData(data, *entry->found, entry->found->entries[entry->next++]);
  return TRUE;
}

BOOL FindClose(HANDLE search) {
  posix::Machine::Impl& impl = posix::machine().impl();
  if (impl.Get(search, posix::HandleEntry::Kind::Search) == nullptr) {
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  impl.Close(search);
  return TRUE;
}

UINT GetDriveTypeA(LPCSTR root) {
  if (root == nullptr || !std::isalpha(static_cast<unsigned char>(root[0])) || root[1] != ':') {
    return DRIVE_NO_ROOT_DIR;
  }
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  const auto& drives = posix::machine().impl().drives;
  auto it = drives.find(letter);
  return it == drives.end() ? DRIVE_NO_ROOT_DIR : it->second.type;
}

DWORD GetFileAttributesA(LPCSTR path) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, INVALID_FILE_ATTRIBUTES);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  return posix::StoredAttributes(resolved.windows, resolved.directory);
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  const posix::FileMeta* old = posix::FindMeta(resolved.windows);
  if (old && (old->failSetAttributes || old->denyAccess)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (posix::IsImageHost(resolved.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  posix::Changed();
  posix::machine().impl().MetaOf(resolved.windows).attributes =
      attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
  return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (resolved.directory) return Fail(ERROR_ACCESS_DENIED, FALSE);
  const posix::FileMeta* meta = posix::FindMeta(resolved.windows);
  if (meta && meta->denyAccess) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (posix::StoredAttributes(resolved.windows, false) & FILE_ATTRIBUTE_READONLY) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (const DWORD blocked = posix::ChangeBlockedBy(resolved.windows)) return Fail(blocked, FALSE);
  posix::Changed();
  if (posix::HostUnlink(resolved.host) != 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  posix::machine().impl().ForgetMeta(resolved.windows);
  return TRUE;
}

namespace {

BOOL MoveOrReplace(LPCSTR from, LPCSTR to, bool replace) {
  const posix::Machine& m = posix::machine();
  if (m.RefusesMove(from, to)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  const Resolved source = Resolve(from);
  if (source.error != 0) return Fail(source.error, FALSE);
  if (!source.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  const Resolved target = Resolve(to);
  if (target.error != 0) return Fail(target.error, FALSE);
  if (target.exists && target.windows != source.windows) {
    if (!replace || target.directory) return Fail(ERROR_ALREADY_EXISTS, FALSE);
    if (posix::StoredAttributes(target.windows, false) & FILE_ATTRIBUTE_READONLY) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (const DWORD blocked = posix::ChangeBlockedBy(target.windows)) return Fail(blocked, FALSE);
  }
  // Renaming a running image is allowed; a file held open without delete sharing is not.
  if (posix::OpenByProgram(source.windows)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
  if (posix::machine().DeleteBlockedBy(source.windows) == ERROR_SHARING_VIOLATION) {
    return Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  posix::Changed();
  if (posix::HostRename(source.host, target.host) != 0) {
    if (errno != EXDEV || !posix::CopyHostFile(source.host, target.host)) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    posix::HostUnlink(source.host);
  }
  posix::MoveMeta(source.windows, target.windows);
  return TRUE;
}

}  // namespace

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return MoveOrReplace(from, to, false); }

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  posix::Machine& m = posix::machine();
  if (m.Is9x()) return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (m.refuseBootDeletes || posix::IsImageHost(Resolve(from).host))
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    // Recorded in the session manager's list, as Windows does; carried out at the next boot.
    const char* key = "System\\CurrentControlSet\\Control\\Session Manager";
    // The list lives in the registry: an account that may not write there cannot add to it.
    if (const posix::Registry::Node* node = m.registry.Find(HKEY_LOCAL_MACHINE, key)) {
      if (node->deniedRights & KEY_SET_VALUE) return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    m.rebootDeletes.push_back(from);
    const char* name = "PendingFileRenameOperations";
    std::vector<uint8_t> data;
    if (auto old = m.registry.GetValue(HKEY_LOCAL_MACHINE, key, name)) {
      data = *old;
      while (!data.empty() && data.back() == 0) data.pop_back();
      if (!data.empty()) data.push_back(0);
    }
    const std::string entry = std::string("\\??\\") + from;
    data.insert(data.end(), entry.begin(), entry.end());
    data.push_back(0);
    if (to != nullptr) {
      const std::string target = std::string("\\??\\") + to;
      data.insert(data.end(), target.begin(), target.end());
    }
    data.push_back(0);
    data.push_back(0);
    m.registry.SetValue(HKEY_LOCAL_MACHINE, key, name, REG_MULTI_SZ, data);
    return TRUE;
  }
  if (to == nullptr) return DeleteFileA(from);
  return MoveOrReplace(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  const Resolved source = Resolve(from);
  if (source.error != 0) return Fail(source.error, FALSE);
  if (!source.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (source.directory) return Fail(ERROR_ACCESS_DENIED, FALSE);
  const posix::FileMeta* sourceMeta = posix::FindMeta(source.windows);
  if ((sourceMeta && sourceMeta->denyAccess) || posix::machine().ReadBlocked(source.windows)) {
    return Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  const Resolved target = Resolve(to);
  if (target.error != 0) return Fail(target.error, FALSE);
  if (target.exists) {
    if (failIfExists) return Fail(ERROR_FILE_EXISTS, FALSE);
    if (target.directory) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (posix::StoredAttributes(target.windows, false) & FILE_ATTRIBUTE_READONLY) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (const DWORD blocked = posix::ChangeBlockedBy(target.windows)) return Fail(blocked, FALSE);
  }
  posix::Changed();
  if (!posix::CopyHostFile(source.host, target.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  posix::FileMeta copied;
  copied.attributes = posix::StoredAttributes(source.windows, false) | FILE_ATTRIBUTE_ARCHIVE;
  copied.attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  posix::machine().impl().MetaOf(target.windows) = copied;
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, void* /*security*/) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (resolved.exists) return Fail(ERROR_ALREADY_EXISTS, FALSE);
  if (posix::IsImageHost(resolved.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  posix::Changed();
  if (posix::HostMkdir(resolved.host) != 0) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (!resolved.directory || resolved.root) return Fail(ERROR_DIRECTORY, FALSE);
  if (posix::IsImageHost(resolved.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  posix::Changed();
  if (posix::HostRmdir(resolved.host) != 0) return Fail(ERROR_DIR_NOT_EMPTY, FALSE);
  posix::machine().impl().ForgetMeta(resolved.windows);
  return TRUE;
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD capacity) {
  const Resolved resolved = Resolve(longPath);
  if (resolved.error != 0) return Fail(resolved.error, 0u);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, 0u);
  // Each component after the drive keeps its name when that is already a valid short name.
  std::string result = resolved.windows.substr(0, 2);
  std::string key = result;
  for (const std::string& part : posix::SplitPath(std::string_view(resolved.windows).substr(2))) {
    key += "\\" + part;
    result += "\\" + posix::ShortNameOf(key, part);
  }
  if (resolved.root) result += "\\";
  if (result.size() + 1 > capacity) return static_cast<DWORD>(result.size() + 1);
  std::memcpy(shortPath, result.c_str(), result.size() + 1);
  return static_cast<DWORD>(result.size());
}

DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD capacity) {
  if (shortPath == nullptr) return Fail(ERROR_INVALID_PARAMETER, 0u);
  const std::string path = shortPath;
  if (path.size() < 2 || path[1] != ':') return Fail(ERROR_PATH_NOT_FOUND, 0u);
  const Resolved drive = Resolve(path.substr(0, 2) + "\\");
  if (drive.error != 0) return Fail(drive.error, 0u);
  // Each component is taken as a long name first, then as the alias of an entry of its folder.
  std::string result = drive.windows.substr(0, 2);
  for (const std::string& part : posix::SplitPath(std::string_view(path).substr(2))) {
    const Resolved direct = Resolve(result + "\\" + part);
    if (direct.error == 0 && direct.exists) {
      result = direct.windows;
      continue;
    }
    const Resolved folder = Resolve(result + "\\");
    std::vector<std::string> names;
    if (folder.error != 0 || !posix::HostFolderNames(folder.host, &names)) {
      return Fail(ERROR_PATH_NOT_FOUND, 0u);
    }
    std::string found;
    for (const std::string& name : names) {
      if (plat::_stricmp(posix::ShortNameOf(result + "\\" + name, name).c_str(), part.c_str()) ==
          0) {
        found = name;
        break;
      }
    }
    if (found.empty()) return Fail(ERROR_FILE_NOT_FOUND, 0u);
    result += "\\" + found;
  }
  if (result.size() == 2) result += "\\";
  if (result.size() + 1 > capacity) return static_cast<DWORD>(result.size() + 1);
  std::memcpy(longPath, result.c_str(), result.size() + 1);
  return static_cast<DWORD>(result.size());
}

namespace {

// The Windows convention for system folder queries: the length without terminator when the
// text fits, else the capacity needed with it.
DWORD CopyFolder(const std::string& folder, LPSTR buffer, DWORD capacity) {
  if (folder.size() + 1 > capacity) return static_cast<DWORD>(folder.size() + 1);
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
  return static_cast<DWORD>(folder.size());
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR buffer, UINT capacity) {
  return CopyFolder(posix::machine().windowsDirectory, buffer, capacity);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT capacity) {
  return CopyFolder(posix::machine().systemDirectory, buffer, capacity);
}

DWORD GetTempPathA(DWORD capacity, LPSTR buffer) {
  return CopyFolder(posix::machine().tempDirectory, buffer, capacity);
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD capacity) {
  const auto& environment = posix::machine().environment;
  const std::string_view text = source;
  // Walked twice, without a copy: once for the length, once more to write what fits.
  const auto expand = [&environment, text](auto&& put) {
    size_t i = 0;
    while (i < text.size()) {
      const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string_view::npos;
      if (end != std::string_view::npos) {
        auto it = environment.find(std::string(text.substr(i + 1, end - i - 1)));
        if (it != environment.end()) {
          put(it->second);
          i = end + 1;
          continue;
        }
        // An unknown name stays as written; its closing '%' may open the next name.
        put(text.substr(i, end - i));
        i = end;
        continue;
      }
      const size_t next = std::min(text.find('%', i + 1), text.size());
      put(text.substr(i, next - i));
      i = next;
    }
  };
  size_t length = 0;
  expand([&length](std::string_view piece) { length += piece.size(); });
  const DWORD needed = static_cast<DWORD>(length + 1);
  if (needed <= capacity && destination != nullptr) {
    char* at = destination;
    expand([&at](std::string_view piece) {
      std::memcpy(at, piece.data(), piece.size());
      at += piece.size();
    });
    *at = '\0';
  }
  return needed;
}

int _open(const char* path, int flags, int permission) {
  // Reading a file named as it is on disk, the commonest open of a scan, takes one open and a
  // look at what was opened; everything else goes through the full lookup.
  if ((flags & (_O_WRONLY | _O_RDWR | _O_CREAT | _O_TRUNC | _O_APPEND)) == 0) {
    long long aheadSize = -1;
    const int ahead = posix::TakeReadAhead(path, &aheadSize);
    if (ahead >= 0) return posix::OpenedListed(ahead, path, aheadSize);
    const int listedFd = posix::OpenListed(path);
    if (listedFd != posix::kNotListed) return listedFd;
    const posix::SplitWindowsPath split = posix::SplitForDrive(path);
    if (split.error == 0 && !split.components.empty()) {
      // Never waits (O_NONBLOCK); what is not a plain file is refused, and a listing shows none.
      const int fd = posix::HostOpen(split.ExactHost(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
      if (fd >= 0) {
        const std::string key = split.ExactWindows();
        const posix::FileMeta* meta = posix::FindMeta(key);
        // The walk has just listed the file's folder: what it saw there (a file, and its size)
        // saves a look at the opened file.
        const posix::ListedEntry* listed = posix::FindListed(key);
        struct stat info;
        bool folder = listed ? (listed->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 : false;
        long long size = listed ? posix::SizeOrUnknown(*listed) : -1;
        if (size < 0) {
          if (posix::HostFstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) folder = true;
          size = info.st_size;
        }
        if (folder || (meta && meta->denyAccess) || posix::machine().ReadBlocked(key)) {
          posix::HostClose(fd);
          errno = EACCES;
          return -1;
        }
        posix::machine().impl().AddDescriptor(fd, key, size, true);
        return fd;
      }
    }
  }
  const Resolved resolved = Resolve(path);
  const int access = flags & (_O_WRONLY | _O_RDWR);
  const bool write = access != 0 || (flags & (_O_TRUNC | _O_APPEND)) != 0;
  if (!resolved.exists && resolved.error == 0 && !(flags & _O_CREAT)) {
    errno = ENOENT;
    return -1;
  }
  if (resolved.exists && (flags & _O_CREAT) && (flags & _O_EXCL)) {
    errno = EEXIST;
    return -1;
  }
  if (const int refusal = posix::OpenRefusal(resolved, write)) {
    errno = refusal;
    return -1;
  }
  int hostFlags = access == _O_WRONLY ? O_WRONLY : access == _O_RDWR ? O_RDWR : O_RDONLY;
  if (flags & _O_CREAT) hostFlags |= O_CREAT;
  if (flags & _O_TRUNC) hostFlags |= O_TRUNC;
  if (flags & _O_APPEND) hostFlags |= O_APPEND;
  if (flags & _O_EXCL) hostFlags |= O_EXCL;
  const bool created = !resolved.exists;
  if (write) posix::Changed();
  const int fd = posix::OpenPlainFile(resolved.host, hostFlags, 0644);
  if (fd < 0) return -1;
  posix::Machine::Impl& impl = posix::machine().impl();
  // A path resolved before its last name existed already carries that name as given.
  const std::string& key = resolved.windows;
  if (created) {
    // A file created without write permission becomes read-only, as msvcrt does.
    impl.MetaOf(key).attributes =
        FILE_ATTRIBUTE_ARCHIVE | ((permission & _S_IWRITE) ? 0 : FILE_ATTRIBUTE_READONLY);
  }
  impl.AddDescriptor(fd, key, -1, false);
  return fd;
}

namespace {

posix::Machine::Impl::Descriptor* KnownDescriptor(int fd) {
  auto& descriptors = posix::machine().impl().descriptors;
  auto it = descriptors.find(fd);
  if (it != descriptors.end()) return &it->second;
  errno = EBADF;
  return nullptr;
}

}  // namespace

int _read(int fd, void* buffer, unsigned int count) {
  posix::Machine::Impl::Descriptor* descriptor = KnownDescriptor(fd);
  if (descriptor == nullptr) return -1;
  long got = 0;
  if (!posix::ReadAheadRead(fd, buffer, count, descriptor->position, &got)) {
    got = descriptor->readOnly
              ? posix::CachedPread(*descriptor, fd, buffer, count, descriptor->position)
              : posix::HostPread(fd, buffer, count, descriptor->position);
  }
  descriptor->sizeAtOpen = -1;
  if (got > 0) descriptor->position += got;
  posix::machine().AfterRead(fd);
  return static_cast<int>(got);
}

int _write(int fd, const void* buffer, unsigned int count) {
  posix::Machine::Impl::Descriptor* descriptor = KnownDescriptor(fd);
  if (descriptor == nullptr) return -1;
  posix::machine().impl().readCache.fd = -1;  // it may hold bytes of this file
  descriptor->sizeAtOpen = -1;
  // An append-mode descriptor writes at the end whatever the position says.
  return static_cast<int>(posix::HostWrite(fd, buffer, count, &descriptor->position));
}

long _lseek(int fd, long offset, int origin) {
  posix::Machine::Impl::Descriptor* descriptor = KnownDescriptor(fd);
  if (descriptor == nullptr) return -1;
  long long base = 0;
  if (origin == SEEK_CUR) {
    base = descriptor->position;
  } else if (origin == SEEK_END) {
    struct stat info;
    if (posix::HostFstat(fd, &info) != 0) return -1;
    base = info.st_size;
  } else if (origin != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  // Positions are 32-bit signed, as in msvcrt: nothing below 0 or beyond 2^31 - 1.
  const long long target = base + offset;
  if (target < 0 || target > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  descriptor->position = target;
  return static_cast<long>(target);
}

long _filelength(int fd) {
  posix::Machine::Impl::Descriptor* descriptor = KnownDescriptor(fd);
  if (descriptor == nullptr) return -1;
  long long size = descriptor->sizeAtOpen;
  descriptor->sizeAtOpen = -1;  // only the first question is answered from the open
  if (size < 0) {
    struct stat info;
    if (posix::HostFstat(fd, &info) != 0) return -1;
    size = info.st_size;
  }
  if (size > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<long>(size);
}

int _close(int fd) {
  if (!KnownDescriptor(fd)) return -1;
  posix::Machine::Impl& impl = posix::machine().impl();
  if (impl.readCache.fd == fd) impl.readCache.fd = -1;
  posix::DropEntry(&impl.descriptors, &impl.spareDescriptors, fd);
  if (posix::ForgetReadAhead(fd)) return 0;
  return posix::HostClose(fd);
}

int _access(const char* path, int mode) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0 || !resolved.exists) {
    errno = ENOENT;
    return -1;
  }
  const posix::FileMeta* meta = posix::FindMeta(resolved.windows);
  if (meta && meta->denyAccess) {
    errno = EACCES;
    return -1;
  }
  if ((mode & 2) && !resolved.directory &&
      (posix::StoredAttributes(resolved.windows, false) & FILE_ATTRIBUTE_READONLY)) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

FILE* fopen(const char* path, const char* mode) {
  const std::string m = mode;
  const bool binary = m.find('b') != std::string::npos;
  const bool plus = m.find('+') != std::string::npos;
  const char kind = m.empty() ? 'r' : m[0];
  const bool write = kind == 'w' || kind == 'a' || plus;
  const Resolved resolved = Resolve(path);
  if (kind == 'r' && (resolved.error != 0 || !resolved.exists)) {
    errno = ENOENT;
    return nullptr;
  }
  if (const int refusal = posix::OpenRefusal(resolved, write)) {
    errno = refusal;
    return nullptr;
  }
  FILE* stream = nullptr;
  if (write) posix::Changed();
  if (binary || plus) {
    stream = posix::OpenBinaryStream(resolved.host, mode);
  } else if (kind == 'r') {
    stream = posix::OpenTextReader(resolved.host);
  } else {
    stream = posix::OpenTextWriter(resolved.host, kind == 'a' ? "ab" : "wb");
  }
  if (stream == nullptr) return nullptr;
  posix::Machine::Impl& impl = posix::machine().impl();
  const std::string& key = resolved.windows;
  if (!resolved.exists) impl.MetaOf(key).attributes = FILE_ATTRIBUTE_ARCHIVE;
  posix::PutEntry(&impl.streams, &impl.spareStreams, stream) = key;
  return stream;
}

char* fgets(char* buffer, int capacity, FILE* stream) {
  return std::fgets(buffer, capacity, stream);
}

int fclose(FILE* stream) {
  posix::Machine::Impl& impl = posix::machine().impl();
  posix::DropEntry(&impl.streams, &impl.spareStreams, stream);
  return std::fclose(stream);
}

}  // namespace plat
