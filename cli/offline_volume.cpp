#include "cli/offline_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "cleanup/startup_cleanup.h"
#include "engine/texts.h"
#include "platform/files.h"
#include "platform/posix/posix_machine.h"
#include "platform/registry.h"

namespace {

constexpr char kBackupSuffix[] = ".vexpurge-backup";
constexpr char kNewSuffix[] = ".vexpurge-new";
// Longer data lives in big-data records, which hivex does not write: a key holding such a value
// is not rewritten.
constexpr size_t kLargestPlainData = 16344;

static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive types are stored as 32-bit numbers");

// Value types outside hivex's list occur in real hives; they are carried as plain numbers, never
// loaded as the enumeration.
uint32_t RawType(const hive_type& type) {
  uint32_t raw;
  std::memcpy(&raw, &type, sizeof raw);
  return raw;
}

void SetRawType(hive_type* type, uint32_t raw) { std::memcpy(type, &raw, sizeof raw); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string SystemMessage(int error) { return std::strerror(error); }

// hivex tells a damaged or foreign file by numbers whose standard texts would mislead.
std::string HiveProblem(int error) {
  switch (error) {
    case ENOENT:
    case EACCES:
    case EPERM:
    case EISDIR:
    case ENOMEM:
    case EIO:
      return SystemMessage(error);
    default:
      return "the hive is damaged, or is not a registry hive";
  }
}

std::string Lowered(std::string text) {
  for (char& c : text) c = Lower(c);
  return text;
}

// The entry of the folder with this name regardless of case; the exact spelling wins, as the
// Linux back end resolves names.
bool FindEntry(const std::string& folder, const std::string& name, std::string* found) {
  struct stat info;
  if (::stat((folder + "/" + name).c_str(), &info) == 0) {
    *found = name;
    return true;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
      *found = entry->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

// --- What was read from a hive ----------------------------------------------------------------

struct Value {
  std::string name;  // UTF-8, as hivex gives it; empty for the key's default value
  uint32_t type = 0;
  std::string data;       // the bytes stored in the hive
  bool readable = false;  // name and data both read: loaded, and can be written back
};

struct Key {
  hive_node_h node = 0;
  std::string name;
  std::vector<Value> values;  // in hive order
  std::vector<Key> children;  // only those loaded into the machine's registry
};

// A branch of a hive that is loaded: where it is in the hive and in the machine's registry.
struct Branch {
  const char* hivePath;
  const char* registryPath;
  bool subtree;  // with all subkeys (else the key's values only)
};

constexpr Branch kSoftwareBranches[] = {
    {"Microsoft\\Windows\\CurrentVersion\\Run", "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
     false},
    {"Microsoft\\Windows\\CurrentVersion\\RunServices",
     "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices", false},
};
constexpr Branch kSystemBranches[] = {
    {"ControlSet001\\Services", "SYSTEM\\ControlSet001\\Services", true},
    {"ControlSet002\\Services", "SYSTEM\\ControlSet002\\Services", true},
};

struct HiveFile {
  const char* name;
  const Branch* branches;
  size_t branchCount;
};

constexpr HiveFile kHiveFiles[] = {
    {"SOFTWARE", kSoftwareBranches, sizeof kSoftwareBranches / sizeof kSoftwareBranches[0]},
    {"SYSTEM", kSystemBranches, sizeof kSystemBranches / sizeof kSystemBranches[0]},
};

struct Tree {
  std::string registryPath;
  Key root;
};

// The ANSI calls hand string data over converted from the UTF-16 in the hive; the engine reads
// it through them. Characters outside Latin-1 become '?', as the conversion's default character.
std::vector<uint8_t> AnsiView(uint32_t type, const std::string& data) {
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
    return std::vector<uint8_t>(data.begin(), data.end());
  }
  std::vector<uint8_t> text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const unsigned unit = static_cast<uint8_t>(data[i]) |
                          static_cast<unsigned>(static_cast<uint8_t>(data[i + 1])) << 8;
    text.push_back(unit < 0x100 ? static_cast<uint8_t>(unit) : static_cast<uint8_t>('?'));
  }
  return text;
}

class Reader {
 public:
  Reader(hive_h* hive, std::string file) : hive_(hive), file_(std::move(file)) {}

  // The key at this path below the root: false when the path is missing (or on error).
  bool Find(const std::string& path, hive_node_h* node, std::string* error) {
    hive_node_h current = hivex_root(hive_);
    size_t start = 0;
    while (current != 0 && start <= path.size()) {
      const size_t end = std::min(path.find('\\', start), path.size());
      errno = 0;
      current = hivex_node_get_child(hive_, current, path.substr(start, end - start).c_str());
      if (current == 0 && errno != 0) {
        *error = file_ + ": cannot read " + path + ": " + HiveProblem(errno);
        return false;
      }
      start = end + 1;
    }
    *node = current;
    return current != 0;
  }

  bool Read(hive_node_h node, const std::string& where, bool subtree, Key* key,
            std::string* error) {
    key->node = node;
    // A key reached twice means a loop in a damaged hive.
    if (!seen_.insert(node).second) {
      *error = file_ + ": " + where + " is linked into the hive twice; the hive is damaged";
      return false;
    }
    hive_value_h* values = hivex_node_values(hive_, node);
    if (values == nullptr) {
      *error = file_ + ": cannot read the values of " + where + ": " + HiveProblem(errno);
      return false;
    }
    for (size_t i = 0; values[i] != 0; ++i) key->values.push_back(ReadValue(values[i]));
    std::free(values);
    if (!subtree) return true;

    hive_node_h* children = hivex_node_children(hive_, node);
    if (children == nullptr) {
      *error = file_ + ": cannot read the subkeys of " + where + ": " + HiveProblem(errno);
      return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && children[i] != 0; ++i) {
      char* name = hivex_node_name(hive_, children[i]);
      // A name that cannot be read, or that no registry path can hold, stays out: such a key is
      // neither scanned nor touched.
      if (name == nullptr) continue;
      Key child;
      child.name = name;
      std::free(name);
      if (child.name.empty() || child.name.find('\\') != std::string::npos) continue;
      ok = Read(children[i], where + "\\" + child.name, true, &child, error);
      if (ok) key->children.push_back(std::move(child));
    }
    std::free(children);
    return ok;
  }

 private:
  Value ReadValue(hive_value_h handle) {
    Value value;
    hive_type type;
    SetRawType(&type, 0);
    size_t length = 0;
    char* data = hivex_value_value(hive_, handle, &type, &length);
    char* name = hivex_value_key(hive_, handle);
    value.type = RawType(type);
    value.readable = data != nullptr && name != nullptr;
    if (data != nullptr) value.data.assign(data, length);
    if (name != nullptr) value.name = name;
    std::free(data);
    std::free(name);
    return value;
  }

  hive_h* hive_;
  std::string file_;
  std::set<hive_node_h> seen_;
};

// --- The machine's registry -------------------------------------------------------------------

posix::Registry& MachineRegistry() { return posix::machine().registry; }

void DeleteTree(const std::string& path) {
  for (const std::string& child : MachineRegistry().SubkeyNames(HKEY_LOCAL_MACHINE, path))
    DeleteTree(path + "\\" + child);
  plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

void Load(const Key& key, const std::string& path) {
  MachineRegistry().CreateKey(HKEY_LOCAL_MACHINE, path);
  for (const Value& value : key.values) {
    if (value.readable)
      MachineRegistry().SetValue(HKEY_LOCAL_MACHINE, path, value.name, value.type,
                                 AnsiView(value.type, value.data));
  }
  for (const Key& child : key.children) Load(child, path + "\\" + child.name);
}

// --- Services --------------------------------------------------------------------------------

// %SystemRoot% and %windir% replaced by the Windows folder; other names stay as written.
std::string ExpandWindowsFolder(const std::string& text, const std::string& windowsFolder) {
  std::string result;
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (end != std::string::npos) {
      const std::string name = text.substr(i + 1, end - i - 1);
      if (SameText(name, "SystemRoot") || SameText(name, "windir")) {
        result += windowsFolder;
        i = end + 1;
        continue;
      }
    }
    result += text[i++];
  }
  return result;
}

// An ImagePath as the full Windows path of what it runs, followed (unquoted) by its arguments,
// reading it as the system does: after blanks, quoted, through %SystemRoot%, as "\SystemRoot\...",
// as an NT "\??\" path, relative to the Windows folder, with forward slashes in the path.
std::string CommandPath(std::string command, const std::string& windowsFolder, bool* quoted) {
  NormalizeCommand(&command[0]);
  command.resize(std::strlen(command.c_str()));
  *quoted = false;
  if (!command.empty() && command[0] == '"') {
    const size_t close = command.find('"', 1);
    command = command.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    *quoted = true;
  }
  command = ExpandWindowsFolder(command, windowsFolder);
  const std::string systemRoot = "\\SystemRoot\\";
  const std::string ntPrefix = "\\??\\";
  const bool hasDrive = command.size() >= 2 && command[1] == ':';
  if (StartsWith(command, systemRoot)) {
    command = windowsFolder + command.substr(systemRoot.size() - 1);
  } else if (StartsWith(command, ntPrefix)) {
    command = command.substr(ntPrefix.size());
  } else if (!hasDrive && StartsWith(command, "\\") && !StartsWith(command, "\\\\")) {
    command = windowsFolder.substr(0, 2) + command;  // the root of the system drive
  } else if (!hasDrive && !StartsWith(command, "\\")) {
    command = windowsFolder + "\\" + command;
  }
  return command;
}

// 8.3 aliases in the path ("C:\PROGRA~1\...") replaced by the long names they stand for on the
// volume. Unquoted, the path may end at any blank: each such end is tried.
std::string LongForm(const std::string& command) {
  if (command.find('~') == std::string::npos) return command;
  for (size_t end = 0; end <= command.size(); ++end) {
    if (end < command.size() && command[end] != ' ' && command[end] != '\t') continue;
    char found[4096];
    const DWORD length =
        plat::GetLongPathNameA(command.substr(0, end).c_str(), found, sizeof found);
    if (length > 0 && length < sizeof found) return found + command.substr(end);
  }
  return command;
}

// Whether the command (as CommandPath gives it) runs this file (a Windows path).
bool RunsFile(const std::string& command, bool quoted, const std::string& file) {
  if (SameText(command, file)) return true;
  // Unquoted, the path ends where the arguments begin.
  return !quoted && StartsWith(command, file) && command.size() > file.size() &&
         (command[file.size()] == ' ' || command[file.size()] == '\t');
}

// --- Writing ---------------------------------------------------------------------------------

// A value hivex cannot write back as Windows reads it: one that was not read whole, or one too
// long for a plain data record.
bool CannotWriteBack(const Value& value) {
  return !value.readable || value.data.size() > kLargestPlainData;
}

// Applies to the hive the removals the machine's registry shows under this key, and takes them
// out of what was read, so that the next pass finds only newer ones.
bool WriteRemovals(hive_h* hive, Key* key, const std::string& path, bool* changed,
                   std::string* error) {
  if (!MachineRegistry().KeyExists(HKEY_LOCAL_MACHINE, path))
    return true;  // only its parent deletes a key
  const std::vector<std::string> present = MachineRegistry().ValueNames(HKEY_LOCAL_MACHINE, path);
  std::vector<Value> kept;
  for (const Value& value : key->values) {
    bool stays = !value.readable;
    for (const std::string& name : present) stays = stays || SameText(name, value.name);
    if (stays) kept.push_back(value);
  }
  if (kept.size() < key->values.size()) {
    // hivex sets all of a key's values at once: the others are written again as they were.
    std::vector<hive_set_value> values(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
      if (CannotWriteBack(kept[i])) {
        *error = "cannot rewrite the values of " + path +
                 ": one of them cannot be written back as it is";
        return false;
      }
      values[i].key = &kept[i].name[0];
      SetRawType(&values[i].t, kept[i].type);
      values[i].len = kept[i].data.size();
      values[i].value = &kept[i].data[0];
    }
    if (hivex_node_set_values(hive, key->node, values.size(), values.data(), 0) != 0) {
      *error = "cannot rewrite the values of " + path + ": " + SystemMessage(errno);
      return false;
    }
    key->values = std::move(kept);
    *changed = true;
  }
  for (auto child = key->children.begin(); child != key->children.end();) {
    const std::string childPath = path + "\\" + child->name;
    if (!MachineRegistry().KeyExists(HKEY_LOCAL_MACHINE, childPath)) {
      if (hivex_node_delete_child(hive, child->node) != 0) {
        *error = "cannot delete " + childPath + ": " + SystemMessage(errno);
        return false;
      }
      child = key->children.erase(child);
      *changed = true;
      continue;
    }
    if (!WriteRemovals(hive, &*child, childPath, changed, error)) return false;
    ++child;
  }
  return true;
}

bool SyncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
}

// Some file systems cannot flush a folder; the files themselves have been flushed by then.
void SyncFolder(const std::string& file) {
  const int fd = ::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return;
  ::fsync(fd);
  ::close(fd);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

// Copies into a file that did not exist: the first free one of "<to>", "<to>.1", "<to>.2", ...
// so that no earlier copy is ever overwritten. The name taken goes to *taken.
bool CopyToNewFile(const std::string& from, const std::string& to, std::string* taken) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in == -1) return false;
  int out = -1;
  for (int n = 0; out == -1 && n < 1000; ++n) {
    *taken = n == 0 ? to : to + "." + std::to_string(n);
    out = ::open(taken->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out == -1 && errno != EEXIST) break;
  }
  bool ok = out != -1;
  char buffer[65536];
  while (ok) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = WriteAll(out, buffer, static_cast<size_t>(got));
  }
  ok = ok && ::fsync(out) == 0;
  int saved = errno;
  if (out != -1 && ::close(out) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok && out != -1) ::unlink(taken->c_str());
  ::close(in);
  errno = saved;
  return ok;
}

// Gives the file the owner, group and mode of another; true when it has them afterwards.
bool TakeOwnerAndMode(const std::string& file, const struct stat& from) {
  if (::chown(file.c_str(), from.st_uid, from.st_gid) != 0) {
    struct stat now;
    if (::stat(file.c_str(), &now) != 0 || now.st_uid != from.st_uid || now.st_gid != from.st_gid)
      return false;
  }
  return ::chmod(file.c_str(), from.st_mode & 07777) == 0;
}

// A file made and removed again in the folder: whether new files can take a hive's place there.
bool FolderTakesNewFiles(const std::string& folder, int* error) {
  std::string probe = folder + "/.vexpurge-probe.XXXXXX";
  const int fd = ::mkstemp(&probe[0]);
  if (fd == -1) {
    *error = errno;
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace

// --- The volume ------------------------------------------------------------------------------

struct OfflineVolume::Hive {
  std::string path;    // the hive file on the host, as found
  std::string shown;   // how messages name it: path, or where a copy came from
  bool copy = false;   // a copy read out of elsewhere: only read, never written
  std::string target;  // the file that holds it: path, or the file a symbolic link there names
  hive_h* handle = nullptr;
  std::string cannotWrite;  // why it must not be written; empty while it can be
  std::string backup;       // where the hive as it was is kept, once this run has changed it
  std::vector<Tree> trees;

  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive() {
    if (handle != nullptr) hivex_close(handle);
  }

  // Whether the key lies in one of the hive's loaded branches; the loaded key when it does.
  bool Holds(const std::string& registryKey, const Key** key) const;
  bool WriteFile(std::string* error);
};

bool OfflineVolume::Hive::Holds(const std::string& registryKey, const Key** found) const {
  for (const Tree& tree : trees) {
    if (!StartsWith(registryKey, tree.registryPath)) continue;
    const Key* key = &tree.root;
    size_t start = tree.registryPath.size();
    if (start < registryKey.size() && registryKey[start] != '\\') continue;
    while (key != nullptr && start < registryKey.size()) {
      const size_t end = std::min(registryKey.find('\\', start + 1), registryKey.size());
      const std::string name = registryKey.substr(start + 1, end - start - 1);
      const Key* next = nullptr;
      for (const Key& child : key->children) {
        if (SameText(child.name, name)) next = &child;
      }
      key = next;
      start = end;
    }
    *found = key;
    return true;
  }
  return false;
}

OfflineVolume::OfflineVolume() = default;

OfflineVolume::~OfflineVolume() {
  if (writeBackSet_) SetRegistryWriteBack({});
}

// The new hive is written beside the file that holds it, gets its owner and mode, is flushed, and
// then takes its place. Before the first change of a run the hive as it was is copied to a backup
// that stays; a failed first change takes the backup away again, as the hive is as it was.
bool OfflineVolume::Hive::WriteFile(std::string* error) {
  const bool first = backup.empty();
  std::string fresh;
  const auto fail = [&](const std::string& what) {
    *error = path + ": " + what + ": " + SystemMessage(errno);
    if (!fresh.empty()) ::unlink(fresh.c_str());
    if (first && !backup.empty()) ::unlink(backup.c_str());
    if (first) backup.clear();
    return false;
  };
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) return fail("cannot be examined");
  if (first && !CopyToNewFile(target, target + kBackupSuffix, &backup)) {
    backup.clear();
    return fail("cannot keep a backup beside it");
  }
  // Put back in the hive's place, the backup is the hive as it was in every respect it can be.
  if (first) TakeOwnerAndMode(backup, info);
  fresh = target + kNewSuffix + ".XXXXXX";
  const int fd = ::mkstemp(&fresh[0]);
  if (fd == -1) {
    fresh.clear();
    return fail("cannot make a new file beside it");
  }
  ::close(fd);
  errno = 0;
  if (hivex_commit(handle, fresh.c_str(), 0) != 0) return fail("cannot write " + fresh);
  if (!TakeOwnerAndMode(fresh, info))
    return fail("cannot give the new hive the owner and mode of the old one");
  if (!SyncFile(fresh)) return fail("cannot flush " + fresh);
  if (::rename(fresh.c_str(), target.c_str()) != 0) return fail("cannot replace the hive");
  SyncFolder(target);
  return true;
}

bool OfflineVolume::Open(const std::string& root, std::string* error) {
  // Folders that are missing keep the usual spelling.
  std::string windows = "Windows", system = "System32", temp = "Temp", config;
  const bool haveWindows = FindEntry(root, "Windows", &windows);
  const std::string windowsHost = root + "/" + windows;
  const bool haveSystem = haveWindows && FindEntry(windowsHost, "System32", &system);
  if (haveWindows) FindEntry(windowsHost, "Temp", &temp);
  const bool haveConfig = haveSystem && FindEntry(windowsHost + "/" + system, "config", &config);
  SetUp("C:\\" + windows, system, temp);
  if (!haveConfig) return true;

  const std::string configHost = windowsHost + "/" + system + "/" + config;
  std::vector<HiveSource> sources;
  for (const HiveFile& file : kHiveFiles) {
    std::string name;
    if (FindEntry(configHost, file.name, &name))
      sources.push_back({configHost + "/" + name, configHost + "/" + name, false});
    else
      sources.push_back({});
  }
  return LoadHives(sources, error);
}

bool OfflineVolume::OpenCopies(const InstallationCopy& copy, std::string* error) {
  SetUp(copy.windowsFolder, copy.systemName, copy.tempName);
  return LoadHives(
      {{copy.software, copy.softwareShown, true}, {copy.system, copy.systemShown, true}}, error);
}

void OfflineVolume::SetUp(const std::string& windowsFolder, const std::string& system,
                          const std::string& temp) {
  posix::Machine& machine = posix::machine();
  windowsFolder_ = windowsFolder;
  machine.windowsDirectory = windowsFolder_;
  machine.systemDirectory = windowsFolder_ + "\\" + system;
  machine.tempDirectory = windowsFolder_ + "\\" + temp + "\\";
  machine.environment["SystemRoot"] = windowsFolder_;
  machine.environment["windir"] = windowsFolder_;
  machine.SetVersion(posix::WindowsVersion::WinXP);
  machine.refuseBootDeletes = true;

  // The installation's keys replace the machine's own; a key the hive lacks is absent.
  for (const HiveFile& file : kHiveFiles) {
    for (size_t i = 0; i < file.branchCount; ++i) DeleteTree(file.branches[i].registryPath);
  }
  hives_.clear();
  longImagePaths_.clear();
  failures_.clear();
  SetRegistryWriteBack(
      {[this](const char* keyPath, std::string* why) { return Writable(keyPath, true, why); },
       [this](std::string* why) { return Save(why); }});
  writeBackSet_ = true;
}

bool OfflineVolume::LoadHives(const std::vector<HiveSource>& sources, std::string* error) {
  std::string problems;
  for (size_t index = 0; index < sources.size(); ++index) {
    const HiveFile& file = kHiveFiles[index];
    if (sources[index].path.empty()) continue;
    auto hive = std::make_unique<Hive>();
    hive->path = sources[index].path;
    hive->shown = sources[index].shown;
    hive->copy = sources[index].copy;
    std::string why;
    if (!LoadHive(index, hive.get(), &why)) {
      // Left out whole: nothing of it is scanned, so nothing of it is changed.
      for (size_t i = 0; i < file.branchCount; ++i) DeleteTree(file.branches[i].registryPath);
      problems += (problems.empty() ? "" : "\n") + why +
                  "; its start-up entries and services were neither checked nor changed";
      continue;
    }
    hives_.push_back(std::move(hive));
  }
  if (!problems.empty()) *error = problems;
  return problems.empty();
}

bool OfflineVolume::LoadHive(size_t fileIndex, Hive* hive, std::string* error) {
  const HiveFile& file = kHiveFiles[fileIndex];
  // Only a plain file is opened: a FIFO would keep the open waiting for ever.
  struct stat plain;
  if (::stat(hive->path.c_str(), &plain) == 0 && !S_ISREG(plain.st_mode)) {
    *error = hive->shown + ": the registry hive cannot be read: it is not a plain file";
    return false;
  }
  errno = 0;
  hive->handle = hivex_open(hive->path.c_str(), hive->copy ? 0 : HIVEX_OPEN_WRITE);
  if (hive->handle == nullptr) {
    *error = hive->shown + ": the registry hive cannot be read: " + HiveProblem(errno);
    return false;
  }
  // A symbolic link is written through to its target; any other hive keeps the path as found.
  struct stat link;
  char* target = ::lstat(hive->path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                     ? ::realpath(hive->path.c_str(), nullptr)
                     : nullptr;
  hive->target = target != nullptr ? target : hive->path;
  std::free(target);

  // Whether it can be written is settled now, before the scan changes anything.
  uint8_t head[12] = {};
  if (hive->copy) {
    hive->cannotWrite = hive->shown + ": cannot be written: it was read out of a disk image";
  } else if (FILE* stream = std::fopen(hive->path.c_str(), "rb")) {
    // The base block begins "regf", then the two sequence numbers.
    if (std::fread(head, 1, sizeof head, stream) == sizeof head &&
        std::memcmp(head + 4, head + 8, 4) != 0) {
      // Windows finishes such a hive from its log at the next boot; a rewrite would make the hive
      // look finished and lose what the log holds.
      hive->cannotWrite = hive->path +
                          ": cannot be written: Windows did not finish saving this hive and its "
                          "log has not been applied";
    }
    std::fclose(stream);
  }
  struct stat info;
  int folderError = 0;
  if (!hive->cannotWrite.empty()) {
  } else if (::stat(hive->target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    hive->cannotWrite = hive->path + ": cannot be written: it is not a regular file";
  } else if (::geteuid() != 0 && info.st_uid != ::geteuid()) {
    hive->cannotWrite =
        hive->path +
        ": cannot be written: it belongs to another user, and a rewritten hive would not";
  } else if (!FolderTakesNewFiles(FolderOf(hive->target), &folderError)) {
    hive->cannotWrite = hive->path +
                        ": cannot be written: no new file can be made in its folder (" +
                        SystemMessage(folderError) + ")";
  }

  Reader reader(hive->handle, hive->shown);
  for (size_t i = 0; i < file.branchCount; ++i) {
    const Branch& branch = file.branches[i];
    hive_node_h node = 0;
    std::string why;
    if (!reader.Find(branch.hivePath, &node, &why)) {
      if (!why.empty()) {
        *error = why;
        return false;
      }
      continue;
    }
    Tree tree;
    tree.registryPath = branch.registryPath;
    if (!reader.Read(node, branch.hivePath, branch.subtree, &tree.root, error)) return false;
    Load(tree.root, tree.registryPath);
    hive->trees.push_back(std::move(tree));
  }
  // The files an ImagePath names through 8.3 aliases are found now, while they are all there.
  for (const Tree& tree : hive->trees) {
    if (!StartsWith(tree.registryPath, "SYSTEM\\")) continue;
    for (const Key& service : tree.root.children) {
      const std::string key = tree.registryPath + "\\" + service.name;
      const auto image = MachineRegistry().GetString(HKEY_LOCAL_MACHINE, key, "ImagePath");
      bool quoted = false;
      if (image && image->find('~') != std::string::npos) {
        longImagePaths_[Lowered(key)] = LongForm(CommandPath(*image, windowsFolder_, &quoted));
      }
    }
  }
  return true;
}

bool OfflineVolume::Writable(const std::string& registryKey, bool rewritesValues,
                             std::string* why) {
  for (const auto& hive : hives_) {
    const Key* key = nullptr;
    if (!hive->Holds(registryKey, &key)) continue;
    if (!hive->cannotWrite.empty()) {
      *why = hive->cannotWrite;
    } else if (rewritesValues && key != nullptr &&
               std::any_of(key->values.begin(), key->values.end(), CannotWriteBack)) {
      *why = hive->path + ": cannot be written: a value of " + registryKey +
             " is stored in a form that cannot be written back as it is";
    } else {
      return true;
    }
    Failed(*why);
    return false;
  }
  return true;
}

bool OfflineVolume::Save(std::string* why) {
  bool ok = true;
  for (const auto& hive : hives_) {
    // Nothing of such a hive is changed: its keys refuse every change beforehand.
    if (!hive->cannotWrite.empty()) continue;
    bool changed = false;
    std::string error;
    bool written = true;
    for (Tree& tree : hive->trees) {
      written = WriteRemovals(hive->handle, &tree.root, tree.registryPath, &changed, &error);
      if (!written) {
        error = hive->path + ": " + error;
        break;
      }
    }
    if (written && !changed) continue;
    const bool first = hive->backup.empty();
    if (written) written = hive->WriteFile(&error);
    if (!written) {
      // What hivex holds no longer matches the file: nothing more is written to this hive.
      hive->cannotWrite = error;
      *why = error;
      Failed(*why);
      ok = false;
      continue;
    }
    if (first && report)
      (note ? note
            : report)("System Registry     backup of " + hive->path + " kept as " + hive->backup);
  }
  return ok;
}

void OfflineVolume::Failed(const std::string& why) {
  if (std::find(failures_.begin(), failures_.end(), why) == failures_.end())
    failures_.push_back(why);
}

std::vector<std::string> OfflineVolume::Unwritable() const {
  std::vector<std::string> problems;
  for (const auto& hive : hives_) {
    if (!hive->cannotWrite.empty()) problems.push_back(hive->cannotWrite);
  }
  return problems;
}

std::vector<std::string> FilesTakenAway(const std::vector<Finding>& findings, bool reportOnly) {
  std::vector<std::string> files;
  for (const Finding& finding : findings) {
    // A process's image has a file finding of its own; a registry finding is no file.
    if (finding.kind == FindingKind::kProcess || finding.kind == FindingKind::kRegistry) continue;
    // A delete left for the boot does not count: the file is still there, and the volume's
    // machine refuses such deletes anyway. A text file only reported is no program a service runs.
    const bool counts = reportOnly ? finding.kind == FindingKind::kBinaryFile &&
                                         finding.result == FindingResult::kLeftAsSelected
                                   : finding.result == FindingResult::kDone;
    if (counts) files.push_back(finding.path);
  }
  return files;
}

bool OfflineVolume::Commit(const std::vector<std::string>& files, bool reportOnly,
                           std::string* error) {
  std::vector<std::string> services;  // names, each once, though both control sets may have it
  std::vector<std::string> keys;      // for each of them: the first key found
  std::vector<std::string> problems;  // for each of them: why it stays; empty when it went
  for (const char* set : {"SYSTEM\\ControlSet001\\Services", "SYSTEM\\ControlSet002\\Services"}) {
    for (const std::string& name : MachineRegistry().SubkeyNames(HKEY_LOCAL_MACHINE, set)) {
      const std::string key = std::string(set) + "\\" + name;
      const auto image = MachineRegistry().GetString(HKEY_LOCAL_MACHINE, key, "ImagePath");
      if (!image) continue;
      bool quoted = false;
      const std::string command = CommandPath(*image, windowsFolder_, &quoted);
      const auto longForm = longImagePaths_.find(Lowered(key));
      bool runsFile = false;
      for (const std::string& file : files) {
        runsFile = runsFile || RunsFile(command, quoted, file) ||
                   (longForm != longImagePaths_.end() && RunsFile(longForm->second, quoted, file));
      }
      if (!runsFile) continue;
      size_t index = 0;
      while (index < services.size() && !SameText(services[index], name)) ++index;
      if (index == services.size()) {
        services.push_back(name);
        keys.push_back(key);
        problems.emplace_back();
      }
      std::string why;
      if (reportOnly) continue;
      if (Writable(key, false, &why)) {
        DeleteTree(key);
      } else if (problems[index].empty()) {
        problems[index] = why;
      }
    }
  }
  std::string saveProblem;
  if (!reportOnly && !services.empty() && !Save(&saveProblem)) {
    for (std::string& problem : problems) {
      if (problem.empty()) problem = saveProblem;
    }
  }
  for (size_t i = 0; i < services.size(); ++i) {
    const std::string what = std::string("System Registry     ") + kFamilyName;
    const std::string service = " (service " + services[i] + ")";
    Finding finding;
    finding.path = "HKEY_LOCAL_MACHINE\\" + keys[i];
    finding.name = kFamilyName;
    finding.kind = FindingKind::kRegistry;
    finding.action = reportOnly ? FindingAction::kReportOnly : FindingAction::kDelete;
    finding.result = reportOnly            ? FindingResult::kLeftAsSelected
                     : problems[i].empty() ? FindingResult::kDone
                                           : FindingResult::kFailed;
    KeepFinding(std::move(finding));
    if (!report) continue;
    if (reportOnly) {
      report(what + " not removed as per user's selection" + service);
    } else if (problems[i].empty()) {
      report(what + " removed" + service);
    } else {
      report(what + " not removed" + service + ": " + problems[i]);
    }
  }
  const bool ok = failures_.empty();
  if (!ok) {
    *error = "the installation's registry was not cleaned completely:";
    for (const std::string& failure : failures_) *error += "\n  " + failure;
  }
  SetRegistryWriteBack({});
  writeBackSet_ = false;
  hives_.clear();
  return ok;
}
