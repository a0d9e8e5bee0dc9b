// Files on the simulated machine. Drive letters map to host folders; every path component is
// looked up without regard to case; attributes, short names and locks live in the machine's
// metadata, keyed by the lower-case Windows path. Errors are those Windows returns.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/sim/sim_internal.h"

namespace sim {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int CompareUpper(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::toupper(static_cast<unsigned char>(a[i]));
    const int cb = std::toupper(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool HostStat(const std::string& host, struct stat* info) { return ::stat(host.c_str(), info) == 0; }

// The on-disk name in a host folder that matches a Windows name without regard to case.
bool FindOnDisk(const std::string& hostFolder, const std::string& name, std::string* found) {
  struct stat info;
  if (HostStat(hostFolder + "/" + name, &info)) {
    *found = name;
    return true;
  }
  DIR* dir = ::opendir(hostFolder.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (dirent* entry = ::readdir(dir)) {
    if (plat::_stricmp(entry->d_name, name.c_str()) == 0) {
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
  if (MatchMask(mask.c_str(), name.c_str())) return true;
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) {
    return MatchMask(mask.substr(0, mask.size() - 2).c_str(), name.c_str());
  }
  return false;
}

const char kShortNameCharacters[] = "!#$%&'()-@^_`{}~";

bool IsShortNameCharacter(unsigned char c) {
  return std::isalnum(c) || c >= 0x80 || std::strchr(kShortNameCharacters, c) != nullptr;
}

bool IsValidShortName(const std::string& name) {
  const size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (ext.find('.') != std::string::npos) return false;
  if (dot != std::string::npos && ext.empty()) return false;
  for (char c : base + ext) {
    if (!IsShortNameCharacter(static_cast<unsigned char>(c))) return false;
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
    if (entry.second == key) return true;
  }
  for (const auto& entry : impl.streams) {
    if (entry.second == key) return true;
  }
  return false;
}

std::string KeyOf(const std::string& windowsPath) {
  const Resolved resolved = Resolve(windowsPath);
  return resolved.key.empty() ? Lower(windowsPath) : resolved.key;
}

void FillFindData(WIN32_FIND_DATAA* data, const std::string& name, const std::string& key,
                  const struct stat& info, bool link = false) {
  std::memset(data, 0, sizeof *data);
  const bool directory = S_ISDIR(info.st_mode);
  data->dwFileAttributes = StoredAttributes(key, directory);
  // A host symbolic link stands for a Windows reparse point (a junction or a link).
  if (link) data->dwFileAttributes = (data->dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
                                     FILE_ATTRIBUTE_REPARSE_POINT;
  if (!directory) {
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  }
  std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
  if (name != "." && name != ".." && !IsValidShortName(name)) {
    std::snprintf(data->cAlternateFileName, sizeof data->cAlternateFileName, "%s",
                  ShortNameOf(key, name).c_str());
  }
}

void MoveMeta(const std::string& fromKey, const std::string& toKey) {
  auto& meta = machine().impl().meta;
  auto it = meta.find(fromKey);
  if (it == meta.end()) {
    meta.erase(toKey);
    return;
  }
  FileMeta moved = it->second;
  moved.shortName.clear();
  meta.erase(it);
  meta[toKey] = moved;
}

bool CopyHostFile(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY);
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
  return DeleteBlockedBy(key);
}

// --- Text-mode stdio streams: "\r\n" arrives as "\n", Ctrl-Z ends the reading, "\n" is
// written as "\r\n", as the Windows run-time library does.

struct TextReader {
  std::string data;
  size_t position = 0;
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

FILE* OpenTextReader(const std::string& host) {
  FILE* raw = std::fopen(host.c_str(), "rb");
  if (raw == nullptr) return nullptr;
  auto* reader = new TextReader;
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
  FILE* raw = std::fopen(host.c_str(), hostMode);
  if (raw == nullptr) return nullptr;
  cookie_io_functions_t functions{nullptr, TextWrite, nullptr, TextWriterClose};
  FILE* stream = ::fopencookie(raw, "w", functions);
  if (stream == nullptr) std::fclose(raw);
  return stream;
}

// What a path needs before the program may open it; 0 or an errno value.
int OpenRefusal(const Resolved& resolved, bool write) {
  if (resolved.error != 0) return ENOENT;
  if (resolved.exists && resolved.directory) return EACCES;
  if (resolved.exists) {
    const FileMeta* meta = FindMeta(resolved.key);
    if (meta && meta->denyAccess) return EACCES;
    if (write && (StoredAttributes(resolved.key, false) & FILE_ATTRIBUTE_READONLY)) return EACCES;
    if (ReadBlocked(resolved.key)) return EACCES;  // msvcrt turns a sharing violation into EACCES
    if (write && DeleteBlockedBy(resolved.key) != 0) return EACCES;
  }
  return 0;
}

}  // namespace

Resolved Resolve(const std::string& windowsPath) {
  Resolved result;
  std::string path = windowsPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.size() >= MAX_PATH) {
    result.error = ERROR_FILENAME_EXCED_RANGE;
    return result;
  }
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) {
    result.error = ERROR_PATH_NOT_FOUND;
    return result;
  }
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  const auto& drives = machine().impl().drives;
  auto drive = drives.find(letter);
  if (drive == drives.end() || drive->second.hostFolder.empty()) {
    result.error = ERROR_PATH_NOT_FOUND;
    return result;
  }

  std::vector<std::string> components;
  for (const std::string& part : SplitPath(path.substr(2))) {
    if (part == ".") continue;
    if (part == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(part);
  }

  std::string host = drive->second.hostFolder;
  std::string windows = std::string(1, letter) + ":";
  for (size_t i = 0; i < components.size(); ++i) {
    std::string onDisk;
    const bool last = i + 1 == components.size();
    if (!FindOnDisk(host, components[i], &onDisk)) {
      if (!last) {
        result.error = ERROR_PATH_NOT_FOUND;
        return result;
      }
      result.host = host + "/" + components[i];
      result.windows = windows + "\\" + components[i];
      result.key = Lower(result.windows);
      return result;
    }
    host += "/" + onDisk;
    windows += "\\" + onDisk;
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
    windows += "\\";
  }
  result.exists = true;
  result.host = host;
  result.windows = windows;
  result.key = Lower(windows);
  return result;
}

DWORD DeleteBlockedBy(const std::string& key) {
  for (const Process& process : machine().processes) {
    if (!process.running) continue;
    if (process.holdsImage && KeyOf(process.image) == key) return ERROR_ACCESS_DENIED;
    for (const HeldFile& held : process.heldFiles) {
      if (!held.shareDelete && KeyOf(held.path) == key) return ERROR_SHARING_VIOLATION;
    }
  }
  return 0;
}

bool ReadBlocked(const std::string& key) {
  for (const Process& process : machine().processes) {
    if (!process.running) continue;
    for (const HeldFile& held : process.heldFiles) {
      if (!held.shareRead && KeyOf(held.path) == key) return true;
    }
  }
  return false;
}

}  // namespace sim

namespace plat {

using sim::Fail;
using sim::Resolve;
using sim::Resolved;

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  std::string text = pattern;
  std::replace(text.begin(), text.end(), '/', '\\');
  const size_t slash = text.rfind('\\');
  const std::string mask = slash == std::string::npos ? "" : text.substr(slash + 1);
  if (mask.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);

  sim::HandleEntry entry;
  entry.kind = sim::HandleEntry::Kind::Search;
  if (sim::HasWildcard(mask)) {
    const Resolved folder = Resolve(text.substr(0, slash + 1));
    if (folder.error != 0) return Fail(folder.error, INVALID_HANDLE_VALUE);
    if (!folder.exists || !folder.directory) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    const sim::FileMeta* folderMeta = sim::FindMeta(folder.key);
    if (folderMeta != nullptr && folderMeta->denyAccess) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    DIR* dir = ::opendir(folder.host.c_str());
    if (dir == nullptr) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    // A drive root lists no "." and "..", as on NTFS; other folders list them first.
    if (!folder.root) {
      struct stat info;
      ::stat(folder.host.c_str(), &info);
      for (const char* dots : {".", ".."}) {
        if (!sim::MatchesMask(mask, dots)) continue;
        WIN32_FIND_DATAA found;
        sim::FillFindData(&found, dots, folder.key, info);
        entry.found.push_back(found);
      }
    }
    const std::string prefix = folder.root ? folder.key : folder.key + "\\";
    std::vector<std::string> names;
    while (dirent* item = ::readdir(dir)) {
      const std::string name = item->d_name;
      if (name != "." && name != ".." && sim::MatchesMask(mask, name)) names.push_back(name);
    }
    ::closedir(dir);
    // Listed in the order of their upper-case names, as NTFS (and Wine) list a folder.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      const int order = sim::CompareUpper(a, b);
      return order != 0 ? order < 0 : a < b;
    });
    for (const std::string& name : names) {
      const std::string host = folder.host + "/" + name;
      struct stat info;
      if (::stat(host.c_str(), &info) != 0) continue;  // dangling link
      struct stat own;
      const bool link = ::lstat(host.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
      WIN32_FIND_DATAA found;
      sim::FillFindData(&found, name, prefix + sim::Lower(name), info, link);
      entry.found.push_back(found);
    }
  } else {
    const Resolved file = Resolve(text);
    if (file.error != 0) return Fail(file.error, INVALID_HANDLE_VALUE);
    if (!file.exists || file.root) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    struct stat info;
    if (::stat(file.host.c_str(), &info) != 0) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    WIN32_FIND_DATAA found;
    sim::FillFindData(&found, file.windows.substr(file.windows.rfind('\\') + 1), file.key, info);
    entry.found.push_back(found);
  }
  if (entry.found.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  *data = entry.found[0];
  entry.next = 1;
  return sim::machine().impl().Add(std::move(entry));
}

BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data) {
  sim::HandleEntry* entry = sim::machine().impl().Get(search, sim::HandleEntry::Kind::Search);
  if (entry == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (entry->next >= entry->found.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
  *data = entry->found[entry->next++];
  return TRUE;
}

BOOL FindClose(HANDLE search) {
  sim::Machine::Impl& impl = sim::machine().impl();
  if (impl.Get(search, sim::HandleEntry::Kind::Search) == nullptr) {
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
  const auto& drives = sim::machine().impl().drives;
  auto it = drives.find(letter);
  return it == drives.end() ? DRIVE_NO_ROOT_DIR : it->second.type;
}

DWORD GetFileAttributesA(LPCSTR path) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, INVALID_FILE_ATTRIBUTES);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  return sim::StoredAttributes(resolved.key, resolved.directory);
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  const sim::FileMeta* old = sim::FindMeta(resolved.key);
  if (old && (old->failSetAttributes || old->denyAccess)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  sim::machine().impl().meta[resolved.key].attributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
  return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (resolved.directory) return Fail(ERROR_ACCESS_DENIED, FALSE);
  const sim::FileMeta* meta = sim::FindMeta(resolved.key);
  if (meta && meta->denyAccess) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (sim::StoredAttributes(resolved.key, false) & FILE_ATTRIBUTE_READONLY) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (const DWORD blocked = sim::ChangeBlockedBy(resolved.key)) return Fail(blocked, FALSE);
  if (::unlink(resolved.host.c_str()) != 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  sim::machine().impl().meta.erase(resolved.key);
  return TRUE;
}

namespace {

BOOL MoveOrReplace(LPCSTR from, LPCSTR to, bool replace) {
  const Resolved source = Resolve(from);
  if (source.error != 0) return Fail(source.error, FALSE);
  if (!source.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  const Resolved target = Resolve(to);
  if (target.error != 0) return Fail(target.error, FALSE);
  if (target.exists && target.key != source.key) {
    if (!replace || target.directory) return Fail(ERROR_ALREADY_EXISTS, FALSE);
    if (sim::StoredAttributes(target.key, false) & FILE_ATTRIBUTE_READONLY) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (const DWORD blocked = sim::ChangeBlockedBy(target.key)) return Fail(blocked, FALSE);
  }
  // Renaming a running image is allowed; a file held open without delete sharing is not.
  if (sim::OpenByProgram(source.key)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
  if (sim::DeleteBlockedBy(source.key) == ERROR_SHARING_VIOLATION) {
    return Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  if (::rename(source.host.c_str(), target.host.c_str()) != 0) {
    if (errno != EXDEV || !sim::CopyHostFile(source.host, target.host)) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    ::unlink(source.host.c_str());
  }
  sim::MoveMeta(source.key, Resolve(to).key);
  return TRUE;
}

}  // namespace

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return MoveOrReplace(from, to, false); }

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  sim::Machine& m = sim::machine();
  if (m.Is9x()) return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (m.refuseBootDeletes) return Fail(ERROR_ACCESS_DENIED, FALSE);
    // Recorded in the session manager's list, as Windows does; carried out at the next boot.
    const char* key = "System\\CurrentControlSet\\Control\\Session Manager";
    // The list lives in the registry: an account that may not write there cannot add to it.
    if (const sim::Registry::Node* node = m.registry.Find(HKEY_LOCAL_MACHINE, key)) {
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
  const sim::FileMeta* sourceMeta = sim::FindMeta(source.key);
  if ((sourceMeta && sourceMeta->denyAccess) || sim::ReadBlocked(source.key)) {
    return Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  const Resolved target = Resolve(to);
  if (target.error != 0) return Fail(target.error, FALSE);
  if (target.exists) {
    if (failIfExists) return Fail(ERROR_FILE_EXISTS, FALSE);
    if (target.directory) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (sim::StoredAttributes(target.key, false) & FILE_ATTRIBUTE_READONLY) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (const DWORD blocked = sim::ChangeBlockedBy(target.key)) return Fail(blocked, FALSE);
  }
  if (!sim::CopyHostFile(source.host, target.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  sim::FileMeta copied;
  copied.attributes = sim::StoredAttributes(source.key, false) | FILE_ATTRIBUTE_ARCHIVE;
  copied.attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  sim::machine().impl().meta[Resolve(to).key] = copied;
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, void* /*security*/) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (resolved.exists) return Fail(ERROR_ALREADY_EXISTS, FALSE);
  if (::mkdir(resolved.host.c_str(), 0755) != 0) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0) return Fail(resolved.error, FALSE);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (!resolved.directory || resolved.root) return Fail(ERROR_DIRECTORY, FALSE);
  if (::rmdir(resolved.host.c_str()) != 0) return Fail(ERROR_DIR_NOT_EMPTY, FALSE);
  sim::machine().impl().meta.erase(resolved.key);
  return TRUE;
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD capacity) {
  const Resolved resolved = Resolve(longPath);
  if (resolved.error != 0) return Fail(resolved.error, 0u);
  if (!resolved.exists) return Fail(ERROR_FILE_NOT_FOUND, 0u);
  // Each component after the drive keeps its name when that is already a valid short name.
  std::string result = resolved.windows.substr(0, 2);
  std::string key = sim::Lower(result);
  for (const std::string& part : sim::SplitPath(resolved.windows.substr(2))) {
    key += "\\" + sim::Lower(part);
    result += "\\" + sim::ShortNameOf(key, part);
  }
  if (resolved.root) result += "\\";
  if (result.size() + 1 > capacity) return static_cast<DWORD>(result.size() + 1);
  std::memcpy(shortPath, result.c_str(), result.size() + 1);
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
  return CopyFolder(sim::machine().windowsDirectory, buffer, capacity);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT capacity) {
  return CopyFolder(sim::machine().systemDirectory, buffer, capacity);
}

DWORD GetTempPathA(DWORD capacity, LPSTR buffer) {
  return CopyFolder(sim::machine().tempDirectory, buffer, capacity);
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD capacity) {
  const auto& environment = sim::machine().environment;
  std::string result;
  const std::string text = source;
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (end != std::string::npos) {
      auto it = environment.find(text.substr(i + 1, end - i - 1));
      if (it != environment.end()) {
        result += it->second;
        i = end + 1;
        continue;
      }
      // An unknown name stays as written; its closing '%' may open the next name.
      result += text.substr(i, end - i);
      i = end;
      continue;
    }
    result += text[i++];
  }
  const DWORD needed = static_cast<DWORD>(result.size() + 1);
  if (needed <= capacity && destination != nullptr) {
    std::memcpy(destination, result.c_str(), needed);
  }
  return needed;
}

int _open(const char* path, int flags, int permission) {
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
  if (const int refusal = sim::OpenRefusal(resolved, write)) {
    errno = refusal;
    return -1;
  }
  int hostFlags = access == _O_WRONLY ? O_WRONLY : access == _O_RDWR ? O_RDWR : O_RDONLY;
  if (flags & _O_CREAT) hostFlags |= O_CREAT;
  if (flags & _O_TRUNC) hostFlags |= O_TRUNC;
  if (flags & _O_APPEND) hostFlags |= O_APPEND;
  if (flags & _O_EXCL) hostFlags |= O_EXCL;
  const bool created = !resolved.exists;
  const int fd = ::open(resolved.host.c_str(), hostFlags | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  sim::Machine::Impl& impl = sim::machine().impl();
  const std::string key = created ? Resolve(path).key : resolved.key;
  if (created) {
    // A file created without write permission becomes read-only, as msvcrt does.
    impl.meta[key].attributes =
        FILE_ATTRIBUTE_ARCHIVE | ((permission & _S_IWRITE) ? 0 : FILE_ATTRIBUTE_READONLY);
  }
  impl.descriptors[fd] = key;
  return fd;
}

namespace {

bool KnownDescriptor(int fd) {
  if (sim::machine().impl().descriptors.count(fd) != 0) return true;
  errno = EBADF;
  return false;
}

}  // namespace

int _read(int fd, void* buffer, unsigned int count) {
  if (!KnownDescriptor(fd)) return -1;
  const int got = static_cast<int>(::read(fd, buffer, count));
  if (sim::machine().onRead) sim::machine().onRead(fd);
  return got;
}

int _write(int fd, const void* buffer, unsigned int count) {
  if (!KnownDescriptor(fd)) return -1;
  return static_cast<int>(::write(fd, buffer, count));
}

long _lseek(int fd, long offset, int origin) {
  if (!KnownDescriptor(fd)) return -1;
  // Positions are 32-bit signed, as in msvcrt: nothing below 0 or beyond 2^31 - 1.
  const off_t now = ::lseek(fd, 0, SEEK_CUR);
  const off_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? now : ::lseek(fd, 0, SEEK_END);
  ::lseek(fd, now, SEEK_SET);
  const long long target = static_cast<long long>(base) + offset;
  if (target < 0 || target > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<long>(::lseek(fd, static_cast<off_t>(target), SEEK_SET));
}

long _filelength(int fd) {
  if (!KnownDescriptor(fd)) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0) return -1;
  if (info.st_size > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<long>(info.st_size);
}

int _close(int fd) {
  if (!KnownDescriptor(fd)) return -1;
  sim::machine().impl().descriptors.erase(fd);
  return ::close(fd);
}

int _access(const char* path, int mode) {
  const Resolved resolved = Resolve(path);
  if (resolved.error != 0 || !resolved.exists) {
    errno = ENOENT;
    return -1;
  }
  const sim::FileMeta* meta = sim::FindMeta(resolved.key);
  if (meta && meta->denyAccess) {
    errno = EACCES;
    return -1;
  }
  if ((mode & 2) && !resolved.directory &&
      (sim::StoredAttributes(resolved.key, false) & FILE_ATTRIBUTE_READONLY)) {
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
  if (const int refusal = sim::OpenRefusal(resolved, write)) {
    errno = refusal;
    return nullptr;
  }
  FILE* stream = nullptr;
  if (binary || plus) {
    stream = std::fopen(resolved.host.c_str(), mode);
  } else if (kind == 'r') {
    stream = sim::OpenTextReader(resolved.host);
  } else {
    stream = sim::OpenTextWriter(resolved.host, kind == 'a' ? "ab" : "wb");
  }
  if (stream == nullptr) return nullptr;
  sim::Machine::Impl& impl = sim::machine().impl();
  const std::string key = resolved.exists ? resolved.key : Resolve(path).key;
  if (!resolved.exists) impl.meta[key].attributes = FILE_ATTRIBUTE_ARCHIVE;
  impl.streams[stream] = key;
  return stream;
}

char* fgets(char* buffer, int capacity, FILE* stream) { return std::fgets(buffer, capacity, stream); }

int fclose(FILE* stream) {
  sim::machine().impl().streams.erase(stream);
  return std::fclose(stream);
}

}  // namespace plat
