// The Linux back end of the platform layer: a Windows machine as the engine sees it, made of
// this host's files and of registry hives.
//
// Drive letters map to host folders, with Windows' name rules over the POSIX file system: names
// resolved without regard to case, folders listed in upper-case order with "." and "..",
// attributes, 8.3 names, a backslash inside a host name shown as 0x1C. The registry is a tree
// of typed values, filled from hives by the command-line scanner. The machine has no Windows
// programs or services of its own: the process, service, restart and dialog calls answer as a
// system where there are none (platform/posix/posix_system.cpp). The tests replace that part
// with scripted processes, services and answers (tests/double/).
//
//   posix::Machine& m = posix::machine();
//   m.MapDrive('C', "/mnt/windows");             // C: is a fixed drive backed by that folder
//   m.MapImageDrive('D', volume);                // D: shows a file system of a disk image
//   m.SetVersion(posix::WindowsVersion::WinXP);
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/base.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/windowing.h"

namespace posix {

// Orders text without regard to ASCII case, as Windows compares names.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// ---------------------------------------------------------------------------------------------
// Version record

enum class WindowsVersion {
  Win32s,
  Win95,
  Win98,
  WinMe,
  NT351,
  NT4,
  Win2000,
  WinXP,
  Vista,
  Win7,
  QueryFails
};

struct VersionRecord {
  bool queryFails = false;
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD major = 5;
  DWORD minor = 1;
  DWORD build = 2600;
};

// ---------------------------------------------------------------------------------------------
// Files

struct FileMeta {
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  bool failSetAttributes = false;  // SetFileAttributesA answers ERROR_ACCESS_DENIED
  bool denyAccess = false;         // _access and every open fail: no rights on the file
  std::string shortName;           // 8.3 alias of the last component; empty: generated
  // The tag a listing reports when attributes hold FILE_ATTRIBUTE_REPARSE_POINT (a host
  // symbolic link is always listed as one: IO_REPARSE_TAG_SYMLINK, or MOUNT_POINT for a folder).
  DWORD reparseTag = 0;
};

using plat::kBackslashInName;

// A file system that is only read, its files living outside the host's own: one inside a disk
// image (platform/posix/posix_image.h). Paths lie below its root, "/" between names, "" for the
// root itself; names are matched exactly here (the drive matches them without regard to case).
class ImageVolume {
 public:
  struct Entry {
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970
  };
  virtual ~ImageVolume() = default;
  // The entry at path; false when there is none.
  virtual bool Look(const std::string& path, Entry* entry) = 0;
  // The entries of the folder at path, without "." and ".."; nullptr (errno set) when it cannot
  // be listed.
  virtual const std::vector<Entry>* List(const std::string& path) = 0;
  // Opens the file at path for reading: a number for Read and Close, or -1 with errno set.
  virtual int Open(const std::string& path, uint64_t* size) = 0;
  // Up to count bytes from position: how many were read, 0 at the end, -1 (errno set) on error.
  virtual long Read(int file, void* buffer, size_t count, uint64_t position) = 0;
  virtual void Close(int file) = 0;
};

// ---------------------------------------------------------------------------------------------
// Registry

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  void CreateKey(HKEY root, const std::string& path);
  bool KeyExists(HKEY root, const std::string& path) const;
  // Sets a value with exactly these data bytes.
  void SetValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                const std::vector<uint8_t>& data);
  // Sets a REG_SZ (or REG_EXPAND_SZ) value holding the text and its terminator.
  void SetString(HKEY root, const std::string& path, const std::string& name,
                 const std::string& text, DWORD type = REG_SZ);
  // Sets a REG_MULTI_SZ value: each string with its terminator, then one more terminator.
  void SetMultiString(HKEY root, const std::string& path, const std::string& name,
                      const std::vector<std::string>& strings);
  std::optional<std::vector<uint8_t>> GetValue(HKEY root, const std::string& path,
                                               const std::string& name) const;
  // The value's data up to its first zero byte.
  std::optional<std::string> GetString(HKEY root, const std::string& path,
                                       const std::string& name) const;
  std::vector<std::string> ValueNames(HKEY root, const std::string& path) const;
  std::vector<std::string> SubkeyNames(HKEY root, const std::string& path) const;
  // Opening this key fails with ERROR_ACCESS_DENIED when any of these rights is asked for.
  void DenyAccess(HKEY root, const std::string& path, REGSAM rights);
  // Takes the registry back to the keys a new one starts with, keeping those that are there.
  void Restore();

  struct Node;
  Node* Find(HKEY root, const std::string& path) const;
  Node* Create(HKEY root, const std::string& path);
  Node* Root(HKEY root) const;

 private:
  void MakeStandardKeys() const;
  mutable std::map<ULONG_PTR, std::shared_ptr<Node>> roots_;
};

// ---------------------------------------------------------------------------------------------
// Windows

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

MSG KeyPress(WPARAM key, HWND window = nullptr);
MSG Message(UINT message, WPARAM wParam = 0, LPARAM lParam = 0, HWND window = nullptr);

// ---------------------------------------------------------------------------------------------

class Machine {
 public:
  Machine();
  virtual ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Takes the machine back to the state a new one starts in, keeping what needs no change (the
  // registry's standard keys, the environment) and freeing all else it took since: a fuzz
  // target keeps one machine from input to input. A derived machine resets its own state too.
  // Every member below is reset here: one added must be added there as well.
  virtual void Restore();

  // Drives. An unmapped letter has no root (DRIVE_NO_ROOT_DIR).
  void MapDrive(char letter, const std::string& hostFolder, UINT type = DRIVE_FIXED);
  void SetDriveType(char letter, UINT type);  // a drive without files, such as a CD-ROM
  // A drive whose files live in the machine instead of a host folder, empty at first. The
  // program sees it as it would a mapped folder (names without regard to case, listing order,
  // attributes, errors), but no call reaches the host's file system: fast enough for runs that
  // make a new machine and files for every input.
  void MapMemoryDrive(char letter, UINT type = DRIVE_FIXED);
  // Puts a file holding exactly these bytes at a Windows path on any drive with files, making
  // the folders above it; false when that cannot be done.
  bool PutFile(const std::string& windowsPath, std::string bytes);
  // A drive whose files are those of the volume, listed and read through it. Nothing on it can
  // be changed: every write, delete, rename, new folder or attribute change fails with an
  // access error.
  void MapImageDrive(char letter, std::shared_ptr<ImageVolume> volume, UINT type = DRIVE_FIXED);
  // The bytes of the file at a Windows path; false when there is no such file.
  bool GetFile(const std::string& windowsPath, std::string* bytes) const;
  // Removes every file of the memory drives and all file metadata, keeping their folders; the
  // number of folders left. A fuzz target whose call only makes and changes files sets its
  // machine up once and clears each input's files with this.
  size_t RemoveMemoryFiles();
  // The host path of an existing Windows path, resolved without regard to case; empty when it
  // does not exist.
  std::string HostPath(const std::string& windowsPath) const;

  // System folders and the environment.
  static constexpr char kStartWindowsDirectory[] = "C:\\WINDOWS";
  static constexpr char kStartSystemDirectory[] = "C:\\WINDOWS\\system32";
  static constexpr char kStartTempDirectory[] = "C:\\WINDOWS\\TEMP\\";
  std::string windowsDirectory = kStartWindowsDirectory;
  std::string systemDirectory = kStartSystemDirectory;
  std::string tempDirectory = kStartTempDirectory;
  std::map<std::string, std::string, NoCaseLess> environment;

  // File metadata, by Windows path.
  FileMeta& Meta(const std::string& windowsPath);
  DWORD Attributes(const std::string& windowsPath) const;
  std::vector<std::string> rebootDeletes;  // MoveFileExA(path, NULL, delay) in order
  // MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT fails with ERROR_ACCESS_DENIED: a volume scanned
  // from outside has no next boot of its own to carry the delete out.
  bool refuseBootDeletes = false;

  Registry registry;

  // The version record answered by GetVersionExA.
  VersionRecord version;
  void SetVersion(WindowsVersion v);
  bool Is9x() const {
    return !version.queryFails && version.platformId == VER_PLATFORM_WIN32_WINDOWS;
  }

  // 64-bit Windows, with the program running as 32-bit (under WoW64: "System32" and
  // HKLM\Software are seen through "SysWOW64" and "Software\Wow6432Node" unless it asks for
  // the real ones) or as 64-bit; None is a system without WoW64.
  enum class Width { None, Program32On64, Program64On64 };
  Width width = Width::None;
  bool librarySearchRestricted = false;  // RestrictLibrarySearch was called

  // Windows. SendMessageA calls the procedure at once, as for a window of the same thread.
  HWND CreateWindow(WindowProc procedure);
  void DestroyWindow(HWND window);
  std::deque<MSG> queue;            // what PeekMessageA takes, front first
  std::function<void(int)> onPeek;  // called with the count before each PeekMessageA
  int peeks = 0;
  int translated = 0;
  int dispatched = 0;

  // Handles of every kind that are open now (searches, processes, snapshots, tokens, keys,
  // service handles): a test that ends with more than it began with found a leak.
  size_t OpenHandles() const;

  DWORD lastError = 0;

  // What a machine with running programs decides; this one has none. A process holding the file
  // (by metadata key) keeps it from being deleted (ERROR_ACCESS_DENIED for a running image,
  // ERROR_SHARING_VIOLATION for a file held open) or read.
  // MoveFileA and MoveFileExA fail with ERROR_ACCESS_DENIED for a move this answers true for
  // (source and target as the program gave them); none here.
  virtual bool RefusesMove(const char* /*from*/, const char* /*to*/) const { return false; }
  // Called with the descriptor after every _read.
  virtual void AfterRead(int /*fd*/) {}
  virtual DWORD DeleteBlockedBy(const std::string& /*key*/) const { return 0; }
  virtual bool ReadBlocked(const std::string& /*key*/) const { return false; }
  // The HKEY_PERFORMANCE_DATA block for a value name; none here: nothing counts processes.
  virtual const std::vector<uint8_t>* PerformanceBlock(const std::string& /*valueName*/) {
    return nullptr;
  }

  struct Impl;
  Impl& impl() { return *impl_; }
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The one machine of this process.
Machine& machine();
// Replaces it by a new machine in its start state.
void Reset();
// Replaces it by the given one (a machine with more to it, such as the tests' scripted one).
void Install(std::unique_ptr<Machine> replacement);
// Frees the machine and all it holds; the next call of machine() makes a new one. For a run
// that must give back what it allocated before it ends.
void Release();

}  // namespace posix
