// What the parts of the Linux back end share among themselves, and with the tests' scripted
// processes and services: the handle table, the drive map and path resolution, the registry's
// nodes.
#pragma once

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/posix_machine.h"

namespace posix {

struct Registry::Node {
  struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
  };
  std::string name;
  Node* parent = nullptr;
  std::vector<std::shared_ptr<Node>> children;  // in creation order
  std::vector<Value> values;                    // in creation order
  REGSAM deniedRights = 0;
  bool deleted = false;  // removed from the tree while a handle still held it

  Node* Child(const std::string& childName) const;
  Value* FindValue(std::string_view valueName);
  // Registry::SetValue on this key.
  void SetValue(const std::string& valueName, DWORD type, const std::vector<uint8_t>& data);
};

// A host folder held open, so that its entries are opened and looked at relative to it: the
// kernel then walks no path for each of them.
struct HostFolder {
  explicit HostFolder(int descriptor) : fd(descriptor) {}
  ~HostFolder();
  HostFolder(const HostFolder&) = delete;
  HostFolder& operator=(const HostFolder&) = delete;
  const int fd;
};

// A plain file's size not known yet (see ListedEntry).
constexpr uint64_t kSizeUnknown = UINT64_MAX;

// One entry of a folder listing, kept small: a folder may hold a hundred thousand.
struct ListedEntry {
  std::string name;
  DWORD attributes = 0;
  DWORD reparseTag = 0;
  // A host folder is listed by the types its entries have there: a plain file's size is
  // kSizeUnknown until the program first asks for the entry, and filled in then, on its thread.
  mutable uint64_t size = 0;
};

struct Listing {
  std::string prefix;  // metadata key of the folder, with its closing backslash
  std::vector<ListedEntry> entries;
  std::shared_ptr<HostFolder> folder;  // a host folder's, held open; none for other volumes
};

struct HandleEntry {
  enum class Kind { Search, Process, Snapshot, Token, Key, Manager, Service, Module };
  Kind kind = Kind::Search;
  // Search: the listing and the next entry to return.
  std::shared_ptr<const Listing> found;
  size_t next = 0;
  // Process (pid and granted access), Key (granted access).
  DWORD pid = 0;
  DWORD access = 0;
  // Snapshot: process ids and executable names taken when it was made.
  std::vector<std::pair<DWORD, std::string>> snapshot;
  // Key.
  std::shared_ptr<Registry::Node> key;
  // Service.
  std::string service;
};

struct Drive {
  std::string hostFolder;  // empty: a drive without files
  UINT type = DRIVE_FIXED;
};

// A Windows path looked up on the machine's drives.
struct Resolved {
  Resolved();
  Resolved(const Resolved&) = default;
  Resolved(Resolved&&) = default;
  Resolved& operator=(const Resolved&) = default;
  Resolved& operator=(Resolved&&) = default;
  ~Resolved();  // keeps the strings' memory for the thread's next look-up

  DWORD error = 0;         // nonzero: the path cannot be used (bad drive, missing folder...)
  bool exists = false;     // the last component exists
  bool directory = false;  // ... and is a folder
  bool root = false;       // the path is a drive root
  std::string host;        // host path (for a missing last component: where it would be)
  std::string windows;     // Windows path with on-disk spelling, and the metadata key
};

// Byte order of two paths, compared here rather than by the C library: under the fuzz targets
// the library's memcmp reports every call to the fuzzer, which then spent a seventh of each input
// on the machine's own look-ups and offered their paths back as dictionary words. Eight bytes at
// a time, as paths in one map share long beginnings; the reads stay within both views, so the
// address checker has nothing to add to each of them.
#if defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
inline int
CompareBytes(const char* a, size_t sizeA, const char* b, size_t sizeB) {
  const size_t n = sizeA < sizeB ? sizeA : sizeB;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t wordA;
    uint64_t wordB;
    std::memcpy(&wordA, a + i, 8);
    std::memcpy(&wordB, b + i, 8);
    if (wordA != wordB) break;
  }
  for (; i < n; ++i) {
    const unsigned char ca = static_cast<unsigned char>(a[i]);
    const unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return sizeA < sizeB ? -1 : sizeA > sizeB ? 1 : 0;
}
inline int ComparePaths(std::string_view a, std::string_view b) {
  return CompareBytes(a.data(), a.size(), b.data(), b.size());
}
inline bool SamePath(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ComparePaths(a, b) == 0;
}
inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ComparePaths(text.substr(0, prefix.size()), prefix) == 0;
}
// The order of the machine's maps by path, looked up by any string without making one.
struct PathLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return ComparePaths(a, b) < 0; }
};

// Entries a map gave up, kept with their memory (the key's and the value's) for the next
// entries it makes: the program opens and closes a file, and makes and deletes small files, for
// nearly every call. Four at most are kept.
template <typename Map>
struct SpareEntries {
  static constexpr size_t kKept = 4;
  typename Map::node_type nodes[kKept];
  size_t count = 0;
};

// The entry of a map at a key, made there if there is none, in a spare entry when there is one.
// A spare entry's value is as it was left: set every field, or use FreshEntry.
template <typename Map>
typename Map::mapped_type& PutEntry(Map* map, SpareEntries<Map>* spares,
                                    const typename Map::key_type& key) {
  auto it = map->find(key);
  if (it != map->end()) return it->second;
  if (spares->count == 0) return map->try_emplace(key).first->second;
  typename Map::node_type& spare = spares->nodes[--spares->count];
  spare.key() = key;
  return map->insert(std::move(spare)).position->second;
}

// As map[key]: a new entry holds a value made anew.
template <typename Map>
typename Map::mapped_type& FreshEntry(Map* map, SpareEntries<Map>* spares,
                                      const typename Map::key_type& key) {
  const size_t before = map->size();
  typename Map::mapped_type& value = PutEntry(map, spares, key);
  if (map->size() != before) value = typename Map::mapped_type();
  return value;
}

// Gives up the entry a map holds at an iterator, kept as a spare when there is room.
template <typename Map>
typename Map::iterator DropEntryAt(Map* map, SpareEntries<Map>* spares,
                                   typename Map::iterator entry) {
  auto next = std::next(entry);
  if (spares->count < SpareEntries<Map>::kKept) {
    spares->nodes[spares->count++] = map->extract(entry);
  } else {
    map->erase(entry);
  }
  return next;
}

// The same by key; false when there is no such entry.
template <typename Map, typename Key>
bool DropEntry(Map* map, SpareEntries<Map>* spares, const Key& key) {
  auto entry = map->find(key);
  if (entry == map->end()) return false;
  DropEntryAt(map, spares, entry);
  return true;
}

// A file or folder of a memory volume (Machine::MapMemoryDrive), kept under its host-style path.
struct MemoryNode {
  bool directory = false;
  std::string bytes;
};

// Host paths of memory volumes begin with this; it names nothing on the host.
constexpr char kMemoryVolumes[] = "<memory>/";
// Descriptors of memory files are numbered from here, far above any the host hands out.
constexpr int kFirstMemoryDescriptor = 1 << 24;

// Host paths of image volumes begin with this, then the drive letter; their descriptors are
// numbered from kFirstImageDescriptor.
constexpr char kImageVolumes[] = "<image>/";
constexpr int kFirstImageDescriptor = 1 << 30;

// Bytes a read from a host descriptor fetches at once: the matcher reads a file's headers in
// four or five small pieces, which this many bytes from the start hold for nearly every file.
constexpr size_t kReadCacheBytes = 2048;

// What the machine holds as it runs; Machine::Restore makes it anew.
struct MachineState {
  std::map<char, Drive> drives;
  std::map<char, std::shared_ptr<ImageVolume>> imageVolumes;  // by drive letter
  // Image files the program holds open: the volume and the file's number there.
  struct ImageDescriptor {
    std::shared_ptr<ImageVolume> volume;
    int file = -1;
    uint64_t size = 0;
  };
  std::map<int, ImageDescriptor> imageDescriptors;
  int nextImageDescriptor = kFirstImageDescriptor;
  // The files and folders of the memory volumes, by host path; the drive roots are folders.
  using MemoryNodes = std::map<std::string, std::shared_ptr<MemoryNode>, PathLess>;
  MemoryNodes memoryNodes;
  // Memory files the program holds open: the node (kept even if the name goes) and whether
  // every write goes to the end.
  struct MemoryDescriptor {
    std::shared_ptr<MemoryNode> node;
    bool append = false;
  };
  std::map<int, MemoryDescriptor> memoryDescriptors;
  int nextMemoryDescriptor = kFirstMemoryDescriptor;
  using Metadata = std::map<std::string, FileMeta, PathLess>;
  Metadata meta;  // by Resolved::windows
  // Descriptors the program holds open: the file's key, and the position the run-time
  // library's calls keep (reads are positioned, so a seek costs no system call).
  struct Descriptor {
    std::string key;
    long long position = 0;
    long long sizeAtOpen = -1;  // the length seen when it was opened, until first read
    bool readOnly = false;      // opened for reading only: its reads may be served from readCache
    // A file of a host folder's listing: the listing (compared, never followed) and its entry.
    const Listing* listing = nullptr;
    size_t entryIndex = 0;
  };
  std::map<int, Descriptor> descriptors;
  // The last bytes fetched for a read-only host descriptor: kReadCacheBytes from start (fewer at
  // the end of the file), good while nothing changed through the platform calls.
  struct ReadCache {
    int fd = -1;
    uint64_t generation = 0;
    long long start = 0;
    size_t length = 0;
    // Made at the first read it serves: a machine taken back to its start state (a fuzz target
    // does that for every input) would otherwise clear and copy it each time.
    std::unique_ptr<unsigned char[]> bytes;
  } readCache;
  std::map<FILE*, std::string> streams;  // stdio streams the program holds open, by key
  std::map<ULONG_PTR, HandleEntry> handles;
  // The entry of the handle closed last, taken again by the next one opened: a key is opened
  // and closed for nearly every registry call.
  std::map<ULONG_PTR, HandleEntry>::node_type spareHandle;
  // The folder listed last, kept while nothing changed: a walk lists every folder twice, for
  // its files and then for its subfolders.
  struct CachedListing {
    std::string host;
    std::string mask;
    struct timespec modified {};
    uint64_t generation = 0;
    std::shared_ptr<const Listing> listing;
    size_t returned = 0;  // the entry of it a search returned last: the walk opens that one next
  } lastListing;
  uint64_t fileGeneration = 0;  // counts changes made through the platform calls
  ULONG_PTR nextHandle = 0x1000;
  // Shared, so that a call keeps its procedure alive without copying it: a procedure may
  // destroy its own window.
  std::map<HWND, std::shared_ptr<const WindowProc>> windows;
  ULONG_PTR nextWindow = 0x10000;
};

struct Machine::Impl : MachineState {
  // Entries the maps gave up, for PutEntry and DropEntry: only memory, kept when the machine is
  // taken back to its start state (a fuzz target does that for every input).
  SpareEntries<MemoryNodes> spareMemoryNodes;
  SpareEntries<std::map<int, MemoryDescriptor>> spareMemoryDescriptors;
  SpareEntries<Metadata> spareMeta;
  SpareEntries<std::map<int, Descriptor>> spareDescriptors;
  SpareEntries<std::map<FILE*, std::string>> spareStreams;

  // Enters a descriptor the program opened.
  Descriptor& AddDescriptor(int fd, const std::string& key, long long sizeAtOpen, bool readOnly);
  // The file's metadata, made with the defaults if it has none (as meta[key]); and gone.
  FileMeta& MetaOf(const std::string& key) { return FreshEntry(&meta, &spareMeta, key); }
  void ForgetMeta(std::string_view key) { DropEntry(&meta, &spareMeta, key); }
  HANDLE Add(HandleEntry entry);
  HandleEntry* Get(HANDLE handle, HandleEntry::Kind kind);
  bool Close(HANDLE handle);
};

// The components of a backslash path; leading, trailing and doubled backslashes add none.
std::vector<std::string> SplitPath(std::string_view path);

// The metadata key of a Windows path: its on-disk spelling when it exists, else the path as given.
std::string KeyOf(const std::string& windowsPath);

// A listed name as the host spells it (a backslash stands for itself there), without an
// allocation: done for every file a walk opens or looks at.
bool HostNameOf(const std::string& windowsName, char (&hostName)[NAME_MAX + 1]);

// Looks up a Windows path ("C:\dir\file", '/' accepted too) on the machine's drives.
Resolved Resolve(std::string_view windowsPath);

// Whether a key path below root, seen through the given access (with its KEY_WOW64_ flags),
// leads through the 32-bit view: HKLM\Software\X is then Software\Wow6432Node\X.
bool SeesWow6432Node(HKEY root, REGSAM access);

// Under WoW64 with redirection on, a path under the system folder leads into SysWOW64 instead
// (drivers\etc excepted, as on Windows). components are those after the drive letter.
void RedirectSystemFolder(char letter, std::vector<std::string>* components);

// Empties a container and gives its memory back (clear() alone keeps a vector's).
template <typename Container>
void ReleaseMemory(Container* container) {
  Container().swap(*container);
}

// Sets the machine's last error and returns the given result, for one-line failures.
template <typename T>
T Fail(DWORD error, T result) {
  machine().lastError = error;
  return result;
}

}  // namespace posix
