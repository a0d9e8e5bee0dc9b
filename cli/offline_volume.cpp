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

#include "platform/registry.h"
#include "platform/sim/sim_machine.h"

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

// The entry of the folder with this name regardless of case; the exact spelling wins, as the
// simulated machine resolves names.
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
  std::string data;  // the bytes stored in the hive
  bool readable = false;  // name and data both read: loaded, and can be written back
};

struct Key {
  hive_node_h node = 0;
  std::string name;
  std::vector<Value> values;  // in hive order
  std::vector<Key> children;  // only those loaded into the simulated registry
};

// A branch of a hive that is loaded: where it is in the hive and in the simulated registry.
struct Branch {
  const char* hivePath;
  const char* registryPath;
  bool subtree;  // with all subkeys (else the key's values only)
};

constexpr Branch kSoftwareBranches[] = {
    {"Microsoft\\Windows\\CurrentVersion\\Run", "Software\\Microsoft\\Windows\\CurrentVersion\\Run", false},
    {"Microsoft\\Windows\\CurrentVersion\\RunServices", "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices",
     false},
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
    const unsigned unit = static_cast<uint8_t>(data[i]) | static_cast<unsigned>(static_cast<uint8_t>(data[i + 1])) << 8;
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
        *error = file_ + ": cannot read " + path + ": " + SystemMessage(errno);
        return false;
      }
      start = end + 1;
    }
    *node = current;
    return current != 0;
  }

  bool Read(hive_node_h node, const std::string& where, bool subtree, Key* key, std::string* error) {
    key->node = node;
    // A key reached twice means a loop in a damaged hive.
    if (!seen_.insert(node).second) {
      *error = file_ + ": " + where + " is linked into the hive twice; the hive is damaged";
      return false;
    }
    hive_value_h* values = hivex_node_values(hive_, node);
    if (values == nullptr) {
      *error = file_ + ": cannot read the values of " + where + ": " + SystemMessage(errno);
      return false;
    }
    for (size_t i = 0; values[i] != 0; ++i) key->values.push_back(ReadValue(values[i]));
    std::free(values);
    if (!subtree) return true;

    hive_node_h* children = hivex_node_children(hive_, node);
    if (children == nullptr) {
      *error = file_ + ": cannot read the subkeys of " + where + ": " + SystemMessage(errno);
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

// --- The simulated registry -------------------------------------------------------------------

sim::Registry& SimRegistry() { return sim::machine().registry; }

void DeleteTree(const std::string& path) {
  for (const std::string& child : SimRegistry().SubkeyNames(HKEY_LOCAL_MACHINE, path)) DeleteTree(path + "\\" + child);
  plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

void Load(const Key& key, const std::string& path) {
  SimRegistry().CreateKey(HKEY_LOCAL_MACHINE, path);
  for (const Value& value : key.values) {
    if (value.readable) SimRegistry().SetValue(HKEY_LOCAL_MACHINE, path, value.name, value.type, AnsiView(value.type, value.data));
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

// Whether the service's ImagePath runs this file (a Windows path), reading the path as the system
// does: quoted or followed by arguments, through %SystemRoot%, as "\SystemRoot\...", as an NT
// "\??\" path, or relative to the Windows folder.
bool RunsFile(std::string command, const std::string& file, const std::string& windowsFolder) {
  const size_t start = command.find_first_not_of(" \t");
  command.erase(0, start == std::string::npos ? command.size() : start);
  bool quoted = false;
  if (!command.empty() && command[0] == '"') {
    const size_t close = command.find('"', 1);
    command = command.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    quoted = true;
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
  if (SameText(command, file)) return true;
  // Unquoted, the path ends where the arguments begin.
  return !quoted && StartsWith(command, file) && command.size() > file.size() &&
         (command[file.size()] == ' ' || command[file.size()] == '\t');
}

// --- Writing ---------------------------------------------------------------------------------

// Applies to the hive the removals the simulated registry shows under this key.
bool WriteRemovals(hive_h* hive, const Key& key, const std::string& path, bool* changed, std::string* error) {
  if (!SimRegistry().KeyExists(HKEY_LOCAL_MACHINE, path)) {
    if (hivex_node_delete_child(hive, key.node) != 0) {
      *error = "cannot delete " + path + ": " + SystemMessage(errno);
      return false;
    }
    *changed = true;
    return true;
  }

  const std::vector<std::string> present = SimRegistry().ValueNames(HKEY_LOCAL_MACHINE, path);
  std::vector<const Value*> kept;
  for (const Value& value : key.values) {
    bool stays = !value.readable;
    for (const std::string& name : present) stays = stays || SameText(name, value.name);
    if (stays) kept.push_back(&value);
  }
  if (kept.size() < key.values.size()) {
    // hivex sets all of a key's values at once: the others are written again as they were.
    std::vector<std::string> names, data;
    std::vector<hive_set_value> values(kept.size());
    names.reserve(kept.size());
    data.reserve(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
      const Value& value = *kept[i];
      if (!value.readable || value.data.size() > kLargestPlainData) {
        *error = "cannot rewrite the values of " + path + ": one of them cannot be written back as it is";
        return false;
      }
      names.push_back(value.name);
      data.push_back(value.data);
      values[i].key = names.back().data();
      SetRawType(&values[i].t, value.type);
      values[i].len = data.back().size();
      values[i].value = data.back().data();
    }
    if (hivex_node_set_values(hive, key.node, values.size(), values.data(), 0) != 0) {
      *error = "cannot rewrite the values of " + path + ": " + SystemMessage(errno);
      return false;
    }
    *changed = true;
  }
  for (const Key& child : key.children) {
    if (!WriteRemovals(hive, child, path + "\\" + child.name, changed, error)) return false;
  }
  return true;
}

bool SyncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

// Some file systems cannot flush a folder; the files themselves have been flushed by then.
void SyncFolder(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

bool CopyFlushed(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in == -1) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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
  ::close(in);
  errno = saved;
  return ok;
}

}  // namespace

// --- The volume ------------------------------------------------------------------------------

struct OfflineVolume::Hive {
  std::string path;  // the hive file on the host
  hive_h* handle = nullptr;
  bool unclean = false;  // its sequence numbers differ: the last write never finished
  std::vector<Tree> trees;

  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive() {
    if (handle != nullptr) hivex_close(handle);
  }

  bool Write(std::string* error) const;
};

OfflineVolume::OfflineVolume() = default;
OfflineVolume::~OfflineVolume() = default;

bool OfflineVolume::Hive::Write(std::string* error) const {
  if (unclean) {
    // Windows finishes such a hive from its log at the next boot; a rewrite would make the hive
    // look finished and lose what the log holds.
    *error = path + ": not written: the hive was not saved cleanly and its log has not been applied";
    return false;
  }
  const std::string backup = path + kBackupSuffix;
  const std::string fresh = path + kNewSuffix;
  const auto fail = [&](const std::string& what) {
    *error = path + ": " + what + ": " + SystemMessage(errno);
    ::unlink(fresh.c_str());
    ::unlink(backup.c_str());
    return false;
  };
  if (!CopyFlushed(path, backup)) return fail("cannot keep a backup at " + backup);
  errno = 0;
  if (hivex_commit(handle, fresh.c_str(), 0) != 0) return fail("cannot write " + fresh);
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) ::chmod(fresh.c_str(), info.st_mode & 07777);
  if (!SyncFile(fresh)) return fail("cannot flush " + fresh);
  if (::rename(fresh.c_str(), path.c_str()) != 0) return fail("cannot replace the hive");
  SyncFolder(path);
  ::unlink(backup.c_str());
  SyncFolder(path);
  return true;
}

bool OfflineVolume::Open(const std::string& root, std::string* error) {
  sim::Machine& machine = sim::machine();
  // Folders that are missing keep the usual spelling.
  std::string windows = "Windows", system = "System32", temp = "Temp", config;
  const bool haveWindows = FindEntry(root, "Windows", &windows);
  const std::string windowsHost = root + "/" + windows;
  const bool haveSystem = haveWindows && FindEntry(windowsHost, "System32", &system);
  if (haveWindows) FindEntry(windowsHost, "Temp", &temp);
  const bool haveConfig = haveSystem && FindEntry(windowsHost + "/" + system, "config", &config);

  windowsFolder_ = "C:\\" + windows;
  machine.windowsDirectory = windowsFolder_;
  machine.systemDirectory = windowsFolder_ + "\\" + system;
  machine.tempDirectory = windowsFolder_ + "\\" + temp + "\\";
  machine.environment["SystemRoot"] = windowsFolder_;
  machine.environment["windir"] = windowsFolder_;
  machine.SetVersion(sim::WindowsVersion::WinXP);
  machine.refuseBootDeletes = true;

  // The installation's keys replace the simulated machine's own; a key the hive lacks is absent.
  for (const HiveFile& file : kHiveFiles) {
    for (size_t i = 0; i < file.branchCount; ++i) DeleteTree(file.branches[i].registryPath);
  }
  hives_.clear();
  if (!haveConfig) return true;

  const std::string configHost = windowsHost + "/" + system + "/" + config;
  for (const HiveFile& file : kHiveFiles) {
    std::string name;
    if (!FindEntry(configHost, file.name, &name)) continue;
    auto hive = std::make_unique<Hive>();
    hive->path = configHost + "/" + name;
    // Only a plain file is opened: a FIFO would keep the open waiting for ever.
    struct stat info;
    if (::stat(hive->path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      *error = hive->path + ": not a registry hive that can be read (not a plain file)";
      hives_.clear();
      return false;
    }
    errno = 0;
    hive->handle = hivex_open(hive->path.c_str(), HIVEX_OPEN_WRITE);
    if (hive->handle == nullptr) {
      *error = hive->path + ": not a registry hive that can be read (" + SystemMessage(errno) + ")";
      hives_.clear();
      return false;
    }
    // The base block begins "regf", then the two sequence numbers.
    uint8_t head[12] = {};
    if (FILE* stream = std::fopen(hive->path.c_str(), "rb")) {
      if (std::fread(head, 1, sizeof head, stream) == sizeof head) hive->unclean = std::memcmp(head + 4, head + 8, 4) != 0;
      std::fclose(stream);
    }

    Reader reader(hive->handle, hive->path);
    for (size_t i = 0; i < file.branchCount; ++i) {
      const Branch& branch = file.branches[i];
      hive_node_h node = 0;
      std::string why;
      if (!reader.Find(branch.hivePath, &node, &why)) {
        if (!why.empty()) {
          *error = why;
          hives_.clear();
          return false;
        }
        continue;
      }
      Tree tree;
      tree.registryPath = branch.registryPath;
      if (!reader.Read(node, branch.hivePath, branch.subtree, &tree.root, error)) {
        hives_.clear();
        return false;
      }
      Load(tree.root, tree.registryPath);
      hive->trees.push_back(std::move(tree));
    }
    hives_.push_back(std::move(hive));
  }
  return true;
}

bool OfflineVolume::Commit(const std::vector<std::string>& removed,
                           const std::function<void(const std::string&)>& onRemoved, std::string* error) {
  std::vector<std::string> services;
  for (const char* set : {"SYSTEM\\ControlSet001\\Services", "SYSTEM\\ControlSet002\\Services"}) {
    for (const std::string& name : SimRegistry().SubkeyNames(HKEY_LOCAL_MACHINE, set)) {
      const std::string key = std::string(set) + "\\" + name;
      const auto image = SimRegistry().GetString(HKEY_LOCAL_MACHINE, key, "ImagePath");
      if (!image) continue;
      bool runsRemoved = false;
      for (const std::string& file : removed) runsRemoved = runsRemoved || RunsFile(*image, file, windowsFolder_);
      if (!runsRemoved) continue;
      DeleteTree(key);
      bool known = false;
      for (const std::string& service : services) known = known || SameText(service, name);
      if (!known) services.push_back(name);
    }
  }
  if (onRemoved) {
    for (const std::string& service : services) onRemoved(service);
  }

  bool ok = true;
  std::string failures;
  for (const auto& hive : hives_) {
    bool changed = false;
    std::string why;
    bool written = true;
    for (const Tree& tree : hive->trees) {
      written = WriteRemovals(hive->handle, tree.root, tree.registryPath, &changed, &why);
      if (!written) {
        why = hive->path + ": " + why;
        break;
      }
    }
    if (written && changed) written = hive->Write(&why);
    if (!written) {
      failures += (failures.empty() ? "" : "; ") + why;
      ok = false;
    }
  }
  hives_.clear();
  if (!ok) *error = failures;
  return ok;
}
