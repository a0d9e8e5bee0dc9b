// Listing and reading a file system of an image through The Sleuth Kit. Folders are opened by
// their metadata address, never by path: the library matches paths without regard to case,
// while the drive above asks for names exactly as listed.
#include "platform/posix/posix_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>

#include "platform/posix/posix_tsk.h"

namespace posix {

namespace {

// NTFS keeps its own files in the first records of its table; Windows lists none of them.
constexpr TSK_INUM_T kFirstNtfsUserRecord = 24;
// The library shows a FAT volume's label as a file of the root named so; Windows lists none.
constexpr char kFatLabelSuffix[] = " (Volume Label Entry)";

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

struct Folder {
  bool listed = false;
  std::vector<ImageVolume::Entry> entries;  // in byte order of their names
  std::vector<TSK_INUM_T> addresses;        // each entry's metadata address
};

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Adds up what the file's data runs need, refusing a run beyond the image's last block: a
// truncated image reads there as zeros, which would pass for the file's bytes.
TSK_WALK_RET_ENUM CheckBlock(TSK_FS_FILE* file, TSK_OFF_T, TSK_DADDR_T address, char*, size_t,
                             TSK_FS_BLOCK_FLAG_ENUM flags, void* outside) {
  if ((flags & (TSK_FS_BLOCK_FLAG_SPARSE | TSK_FS_BLOCK_FLAG_RES)) != 0) return TSK_WALK_CONT;
  if (address > file->fs_info->last_block_act) {
    *static_cast<bool*>(outside) = true;
    return TSK_WALK_STOP;
  }
  return TSK_WALK_CONT;
}

}  // namespace

struct FileSystemVolume::State {
  TSK_FS_INFO* fs = nullptr;
  std::unordered_map<std::string, Folder> folders;  // by path; kept once listed
  // Each folder's address and the path it was first met under.
  std::unordered_map<TSK_INUM_T, std::string> folderPaths;
  std::map<int, TSK_FS_FILE*> files;
  std::map<int, std::string> filePaths;
  int nextFile = 0;

  Folder* ListFolder(const std::string& path);
  bool Find(const std::string& path, const ImageVolume::Entry** entry, TSK_INUM_T* address);
  void Read(Folder* folder, const std::string& path, TSK_INUM_T address);
};

bool FileSystemVolume::State::Find(const std::string& path, const ImageVolume::Entry** entry,
                                   TSK_INUM_T* address) {
  Folder* folder = ListFolder(Parent(path));
  if (folder == nullptr) return false;
  const std::string name = path.substr(path.rfind('/') + 1);
  auto it = std::lower_bound(
      folder->entries.begin(), folder->entries.end(), name,
      [](const ImageVolume::Entry& item, const std::string& wanted) { return item.name < wanted; });
  if (it == folder->entries.end() || it->name != name) return false;
  *entry = &*it;
  *address = folder->addresses[static_cast<size_t>(it - folder->entries.begin())];
  return true;
}

Folder* FileSystemVolume::State::ListFolder(const std::string& path) {
  auto known = folders.find(path);
  if (known != folders.end()) return known->second.listed ? &known->second : nullptr;
  TSK_INUM_T address = fs->root_inum;
  if (!path.empty()) {
    const ImageVolume::Entry* entry = nullptr;
    if (!Find(path, &entry, &address) || !entry->directory) return nullptr;
  }
  Folder& folder = folders[path];  // a failed listing is kept too: it is not tried again
  Read(&folder, path, address);
  return folder.listed ? &folder : nullptr;
}

void FileSystemVolume::State::Read(Folder* folder, const std::string& path, TSK_INUM_T address) {
  if (path.empty()) folderPaths.emplace(address, path);
  tsk().error_reset();
  TSK_FS_DIR* dir = tsk().fs_dir_open_meta(fs, address);
  if (dir == nullptr) return;
  struct Found {
    ImageVolume::Entry entry;
    TSK_INUM_T address;
  };
  std::vector<Found> found;
  const size_t count = tsk().fs_dir_getsize(dir);
  for (size_t i = 0; i < count; ++i) {
    TSK_FS_FILE* file = tsk().fs_dir_get(dir, i);
    if (file == nullptr) continue;
    const TSK_FS_NAME* name = file->name;
    const TSK_FS_META* meta = file->meta;
    Found item;
    item.address = name != nullptr ? name->meta_addr : 0;
    bool shown =
        name != nullptr && name->name != nullptr && (name->flags & TSK_FS_NAME_FLAG_ALLOC) != 0;
    if (shown) {
      item.entry.name = name->name;
      shown = !item.entry.name.empty() && item.entry.name != "." && item.entry.name != ".." &&
              item.entry.name.find('/') == std::string::npos &&
              !(TSK_FS_TYPE_ISNTFS(fs->ftype) && item.address < kFirstNtfsUserRecord) &&
              !(TSK_FS_TYPE_ISFAT(fs->ftype) && EndsWith(item.entry.name, kFatLabelSuffix));
    }
    if (shown && meta != nullptr) {
      shown = meta->type == TSK_FS_META_TYPE_REG || meta->type == TSK_FS_META_TYPE_DIR;
      item.entry.directory = meta->type == TSK_FS_META_TYPE_DIR;
      item.entry.size = item.entry.directory ? 0 : static_cast<uint64_t>(meta->size);
      item.entry.modified = static_cast<int64_t>(meta->mtime);
    } else if (shown) {
      // Named, but its record cannot be read: listed as it is named, it fails when opened.
      shown = name->type == TSK_FS_NAME_TYPE_REG || name->type == TSK_FS_NAME_TYPE_DIR ||
              name->type == TSK_FS_NAME_TYPE_UNDEF;
      item.entry.directory = name->type == TSK_FS_NAME_TYPE_DIR;
    }
    if (shown && item.entry.directory) {
      // A folder already met elsewhere (above itself, or in a second place) is not shown again.
      const auto claimed = folderPaths.emplace(item.address, Join(path, item.entry.name));
      shown = claimed.second || claimed.first->second == Join(path, item.entry.name);
    }
    if (shown) found.push_back(std::move(item));
    tsk().fs_file_close(file);
  }
  tsk().fs_dir_close(dir);
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.entry.name < b.entry.name; });
  for (Found& item : found) {
    // A name twice in one folder (a damaged index): the first is the one the path reaches.
    if (!folder->entries.empty() && folder->entries.back().name == item.entry.name) continue;
    folder->entries.push_back(std::move(item.entry));
    folder->addresses.push_back(item.address);
  }
  folder->listed = true;
}

FileSystemVolume::FileSystemVolume(TSK_FS_INFO* fs) : state_(std::make_unique<State>()) {
  state_->fs = fs;
}

FileSystemVolume::~FileSystemVolume() { CloseFiles(); }

void FileSystemVolume::CloseFiles() {
  for (auto& open : state_->files) tsk().fs_file_close(open.second);
  state_->files.clear();
  state_->filePaths.clear();
}

bool FileSystemVolume::Look(const std::string& path, Entry* entry) {
  if (path.empty()) {
    *entry = Entry{};
    entry->directory = true;
    return true;
  }
  const Entry* found = nullptr;
  TSK_INUM_T address = 0;
  if (!state_->Find(path, &found, &address)) return false;
  *entry = *found;
  return true;
}

const std::vector<ImageVolume::Entry>* FileSystemVolume::List(const std::string& path) {
  const Folder* folder = state_->ListFolder(path);
  if (folder == nullptr) {
    errno = EIO;
    return nullptr;
  }
  return &folder->entries;
}

int FileSystemVolume::Open(const std::string& path, uint64_t* size) {
  const Entry* entry = nullptr;
  TSK_INUM_T address = 0;
  if (path.empty() || !state_->Find(path, &entry, &address)) {
    errno = path.empty() ? EACCES : ENOENT;
    return -1;
  }
  if (entry->directory) {
    errno = EACCES;
    return -1;
  }
  tsk().error_reset();
  TSK_FS_FILE* file = tsk().fs_file_open_meta(state_->fs, nullptr, address);
  bool outside = false;
  if (file == nullptr || file->meta == nullptr || file->meta->type != TSK_FS_META_TYPE_REG ||
      tsk().fs_file_walk(file, TSK_FS_FILE_WALK_FLAG_AONLY, CheckBlock, &outside) != 0 || outside) {
    if (file != nullptr) tsk().fs_file_close(file);
    errno = EIO;
    return -1;
  }
  *size = static_cast<uint64_t>(file->meta->size);
  bytesOpened_ += *size;
  const int number = state_->nextFile++;
  state_->files[number] = file;
  state_->filePaths[number] = path;
  return number;
}

long FileSystemVolume::Read(int file, void* buffer, size_t count, uint64_t position) {
  auto it = state_->files.find(file);
  if (it == state_->files.end()) {
    errno = EBADF;
    return -1;
  }
  const uint64_t size = static_cast<uint64_t>(it->second->meta->size);
  if (position >= size) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, size - position));
  tsk().error_reset();
  const ssize_t got =
      tsk().fs_file_read(it->second, static_cast<TSK_OFF_T>(position), static_cast<char*>(buffer),
                         count, TSK_FS_FILE_READ_FLAG_NONE);
  if (got < 0) {
    const std::string& path = state_->filePaths[file];
    if (std::find(unreadable_.begin(), unreadable_.end(), path) == unreadable_.end())
      unreadable_.push_back(path);
    errno = EIO;
    return -1;
  }
  return static_cast<long>(got);
}

void FileSystemVolume::Close(int file) {
  auto it = state_->files.find(file);
  if (it == state_->files.end()) return;
  tsk().fs_file_close(it->second);
  state_->files.erase(it);
  state_->filePaths.erase(file);
}

}  // namespace posix
