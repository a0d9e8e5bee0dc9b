// The simulated Windows machine behind the host build's platform layer.
//
// A test configures one machine (drives mapped to host folders, file attributes and locks,
// registry, processes, services, the version record, the message queue and the answers of
// the message dialogs), runs the engine, and then looks at the results list, the files, the
// registry and the process table. Every plat:: call of the host build acts on this machine and
// answers with the results and error codes that Windows gives.
//
//   sim::Reset();
//   sim::Machine& m = sim::machine();
//   m.MapDrive('C', tempDir);                    // C: is a fixed drive backed by tempDir
//   m.SetVersion(sim::WindowsVersion::WinXP);
//   sim::MainWindow window;                      // receives messages 10 and 11
//   m.queue.push_back(sim::KeyPress(VK_ESCAPE)); // Escape waits in the message queue
//   m.dialogAnswers.push_back(IDNO);             // ... and the user answers No
//   RunScan();
//   EXPECT_EQ(window.list.back(), "Total files removed\t\t:  0");
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

namespace sim {

// Orders text without regard to ASCII case, as Windows compares names.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// ---------------------------------------------------------------------------------------------
// Version record

enum class WindowsVersion { Win32s, Win95, Win98, WinMe, NT351, NT4, Win2000, WinXP, Vista, Win7,
                            QueryFails };

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

// How a backslash inside a host file name is shown in Windows names (which it would part).
constexpr char kBackslashInName = '\x1c';

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

  struct Node;
  Node* Find(HKEY root, const std::string& path) const;
  Node* Create(HKEY root, const std::string& path);
  Node* Root(HKEY root) const;

 private:
  std::map<ULONG_PTR, std::shared_ptr<Node>> roots_;
};

// ---------------------------------------------------------------------------------------------
// Processes and services

struct HeldFile {
  std::string path;
  bool shareRead = true;
  bool shareDelete = false;
};

struct Process {
  DWORD pid = 0;
  std::string image;            // Windows path of the image file
  std::string toolhelpName;     // szExeFile; empty: the full image path on 9x, bare name on NT
  std::string moduleName;       // answer of GetModuleFileNameExA; empty: the image path
  bool image64 = false;         // a 64-bit program: a 32-bit caller cannot read its modules
  bool running = true;
  bool holdsImage = true;       // a running image cannot be deleted (ERROR_ACCESS_DENIED)
  std::vector<HeldFile> heldFiles;
  bool openDenied = false;      // OpenProcess fails with ERROR_ACCESS_DENIED ...
  bool openWithDebugPrivilege = false;  // ... unless SeDebugPrivilege has been enabled
  bool refusesTermination = false;      // TerminateProcess fails with ERROR_ACCESS_DENIED
  bool survivesTermination = false;     // TerminateProcess succeeds, the process runs on
  UINT exitCode = 0;
  int terminateCalls = 0;
};

enum class StopBehaviour {
  AtOnce,      // the stop control leaves the service stopped
  AfterPolls,  // stop-pending for pollsUntilStopped status queries, then stopped
  Never,       // stop-pending for ever
  Refuses,     // ControlService fails with ERROR_INVALID_SERVICE_CONTROL
  Ignores,     // ControlService succeeds, the service stays running
};

struct Service {
  std::string name;
  DWORD state = SERVICE_RUNNING;
  StopBehaviour stop = StopBehaviour::AtOnce;
  int pollsUntilStopped = 0;
  DWORD pid = 0;             // the process that ends when the service stops; 0: none
  bool openDenied = false;   // OpenServiceA fails with ERROR_ACCESS_DENIED
  int controls = 0;          // stop controls received
  int queries = 0;           // status queries answered
};

// ---------------------------------------------------------------------------------------------
// Windows and dialogs

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

struct DialogCall {
  HWND owner = nullptr;
  std::string text;
  std::string caption;
  UINT flags = 0;
};

struct RestartRequest {
  UINT flags = 0;
  DWORD reason = 0;
};

// The program ended through plat::exit; thrown so that a test regains control.
struct ProgramExit {
  int status;
};

MSG KeyPress(WPARAM key, HWND window = nullptr);
MSG Message(UINT message, WPARAM wParam = 0, LPARAM lParam = 0, HWND window = nullptr);

// ---------------------------------------------------------------------------------------------

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

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
  // The bytes of the file at a Windows path; false when there is no such file.
  bool GetFile(const std::string& windowsPath, std::string* bytes) const;
  // The host path of an existing Windows path, resolved without regard to case; empty when it
  // does not exist.
  std::string HostPath(const std::string& windowsPath) const;

  // System folders and the environment.
  std::string windowsDirectory = "C:\\WINDOWS";
  std::string systemDirectory = "C:\\WINDOWS\\system32";
  std::string tempDirectory = "C:\\WINDOWS\\TEMP\\";
  std::map<std::string, std::string, NoCaseLess> environment;

  // File metadata, by Windows path.
  FileMeta& Meta(const std::string& windowsPath);
  DWORD Attributes(const std::string& windowsPath) const;
  std::vector<std::string> rebootDeletes;  // MoveFileExA(path, NULL, delay) in order
  // MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT fails with ERROR_ACCESS_DENIED: a volume scanned
  // from outside has no next boot of its own to carry the delete out.
  bool refuseBootDeletes = false;
  // MoveFileA and MoveFileExA fail with ERROR_ACCESS_DENIED for a move this answers true for
  // (source and target as the program gave them).
  std::function<bool(const std::string&, const std::string&)> refuseMove;
  // Called with the descriptor after every _read, for tests that change a file while it is read.
  std::function<void(int)> onRead;

  Registry registry;
  // HKEY_PERFORMANCE_DATA: the block answered for each value name.
  std::map<std::string, std::vector<uint8_t>> performanceData;
  int performanceQueries = 0;

  // The version record answered by GetVersionExA.
  VersionRecord version;
  void SetVersion(WindowsVersion v);
  bool Is9x() const { return !version.queryFails && version.platformId == VER_PLATFORM_WIN32_WINDOWS; }

  // 64-bit Windows, with the program running as 32-bit (under WoW64: "System32" and
  // HKLM\Software are seen through "SysWOW64" and "Software\Wow6432Node" unless it asks for
  // the real ones) or as 64-bit; None is a system without WoW64.
  enum class Width { None, Program32On64, Program64On64 };
  Width width = Width::None;
  bool librarySearchRestricted = false;  // RestrictLibrarySearch was called

  // Libraries and entry points that LoadLibraryA and GetProcAddress do not find.
  std::set<std::string, NoCaseLess> missingLibraries;
  std::set<std::string> missingEntryPoints;
  bool snapshotFails = false;

  // Processes, in the order the system lists them.
  Process& AddProcess(DWORD pid, const std::string& image);
  Process* FindProcess(DWORD pid);
  std::deque<Process> processes;

  // The process token.
  bool tokenOpenFails = false;
  std::set<std::string> heldPrivileges = {"SeDebugPrivilege", "SeShutdownPrivilege"};
  std::set<std::string> enabledPrivileges;
  int tokenOpens = 0;

  // WideCharToMultiByte fails with ERROR_INVALID_PARAMETER.
  bool wideConversionFails = false;

  // Services.
  Service& AddService(const std::string& name);
  Service* FindService(const std::string& name);
  std::deque<Service> services;
  bool managerDenied = false;

  // Restart and exit.
  std::vector<RestartRequest> restarts;
  BOOL exitWindowsResult = TRUE;
  std::vector<int> exits;

  // Sleeping takes no time here; the pauses are recorded, and onSleep may act on each.
  std::vector<DWORD> sleeps;
  std::function<void(DWORD)> onSleep;
  uint64_t SleptMilliseconds() const;

  // Windows. SendMessageA calls the procedure at once, as for a window of the same thread.
  HWND CreateWindow(WindowProc procedure);
  void DestroyWindow(HWND window);
  std::deque<MSG> queue;                 // what PeekMessageA takes, front first
  std::function<void(int)> onPeek;       // called with the count before each PeekMessageA
  int peeks = 0;
  int translated = 0;
  int dispatched = 0;

  // The program's message dialog (ShowMessage) and the system's MessageBoxA.
  std::deque<int> dialogAnswers;
  int defaultDialogAnswer = IDNO;
  std::vector<DialogCall> dialogs;
  std::deque<int> messageBoxAnswers;
  int defaultMessageBoxAnswer = IDOK;
  std::vector<DialogCall> messageBoxes;

  // Handles of every kind that are open now (searches, processes, snapshots, tokens, keys,
  // service handles): a test that ends with more than it began with found a leak.
  size_t OpenHandles() const;

  DWORD lastError = 0;

  struct Impl;
  Impl& impl() { return *impl_; }
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The one machine of the host build.
Machine& machine();
// Replaces it by a new machine in its start state.
void Reset();
// Frees the machine and all it holds; the next call of machine() makes a new one. For a run
// that must give back what it allocated before it ends.
void Release();

// ---------------------------------------------------------------------------------------------

// A stand-in for the main window: takes messages 10 and 11 the way the real window does,
// keeping the status line and the results list (emptied at 150 lines until the statistics
// block has begun). Registers itself as the scan state's main window.
class MainWindow {
 public:
  MainWindow();
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND handle() const { return handle_; }

  std::string status;                       // the status line
  std::vector<std::string> list;            // the results list as it stands
  std::vector<std::string> allLines;        // every line ever appended, in order
  std::vector<std::string> statusHistory;   // every status shown, in order (when kept)
  bool keepStatusHistory = true;            // a long scan's statuses need not all be kept
  int clears = 0;                           // times the list was emptied
  // Called after each appended line and status, for tests that act mid-scan.
  std::function<void(const std::string&)> onLine;
  std::function<void(const std::string&)> onStatus;

 private:
  HWND handle_ = nullptr;
};

}  // namespace sim
