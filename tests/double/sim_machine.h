// The scripted Windows machine of the tests: the Linux back end (platform/posix/) with running
// processes, services, a process token, answers for the program's questions and the system's
// message box, and restarts, exits and sleeps recorded instead of done.
//
// A test configures one machine, runs the engine, and then looks at the results list, the
// files, the registry and the process table:
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
#include <set>
#include <string>
#include <vector>

#include "platform/posix/posix_machine.h"

namespace sim {

using posix::FileMeta;
using posix::kBackslashInName;
using posix::KeyPress;
using posix::Message;
using posix::NoCaseLess;
using posix::Registry;
using posix::VersionRecord;
using posix::WindowProc;
using posix::WindowsVersion;

// ---------------------------------------------------------------------------------------------
// Processes and services

struct HeldFile {
  std::string path;
  bool shareRead = true;
  bool shareDelete = false;
};

struct Process {
  DWORD pid = 0;
  std::string image;         // Windows path of the image file
  std::string toolhelpName;  // szExeFile; empty: the full image path on 9x, bare name on NT
  std::string moduleName;    // answer of GetModuleFileNameExA; empty: the image path
  bool image64 = false;      // a 64-bit program: a 32-bit caller cannot read its modules
  bool running = true;
  bool holdsImage = true;  // a running image cannot be deleted (ERROR_ACCESS_DENIED)
  std::vector<HeldFile> heldFiles;
  bool openDenied = false;              // OpenProcess fails with ERROR_ACCESS_DENIED ...
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
  DWORD pid = 0;            // the process that ends when the service stops; 0: none
  bool openDenied = false;  // OpenServiceA fails with ERROR_ACCESS_DENIED
  int controls = 0;         // stop controls received
  int queries = 0;          // status queries answered
};

// ---------------------------------------------------------------------------------------------
// Dialogs, restarts and exits

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

// ---------------------------------------------------------------------------------------------

class Machine : public posix::Machine {
 public:
  // Every member below is reset here too: one added must be added there as well.
  void Restore() override;

  // HKEY_PERFORMANCE_DATA: the block answered for each value name.
  std::map<std::string, std::vector<uint8_t>> performanceData;
  int performanceQueries = 0;

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
  std::set<std::string> heldPrivileges = StartPrivileges();
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

  // The answers to the engine's questions (AskUser) and the system's MessageBoxA.
  std::deque<int> dialogAnswers;
  int defaultDialogAnswer = IDNO;
  std::vector<DialogCall> dialogs;
  std::deque<int> messageBoxAnswers;
  int defaultMessageBoxAnswer = IDOK;
  std::vector<DialogCall> messageBoxes;

  // MoveFileA and MoveFileExA fail with ERROR_ACCESS_DENIED for a move this answers true for
  // (source and target as the program gave them).
  std::function<bool(const std::string&, const std::string&)> refuseMove;
  // Called with the descriptor after every _read, for tests that change a file while it is read.
  std::function<void(int)> onRead;

  bool RefusesMove(const char* from, const char* to) const override {
    return refuseMove && refuseMove(from, to);
  }
  void AfterRead(int fd) override {
    if (onRead) onRead(fd);
  }
  DWORD DeleteBlockedBy(const std::string& key) const override;
  bool ReadBlocked(const std::string& key) const override;
  const std::vector<uint8_t>* PerformanceBlock(const std::string& valueName) override;

 private:
  static std::set<std::string> StartPrivileges() {
    return {"SeDebugPrivilege", "SeShutdownPrivilege"};
  }
};

// The one machine of the test program, scripted; installed in place of the plain one at first use.
Machine& machine();
// Puts it in its start state: the scripted machine installed now is restored in place
// (Machine::Restore), else a new one is installed.
void Reset();
// Frees the machine and all it holds; the next call of machine() makes a new one.
void Release();

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

  std::string status;                      // the status line
  std::vector<std::string> list;           // the results list as it stands
  std::vector<std::string> allLines;       // every line ever appended, in order
  std::vector<std::string> statusHistory;  // every status shown, in order (when kept)
  bool keepStatusHistory = true;           // a long scan's statuses need not all be kept
  int clears = 0;                          // times the list was emptied
  // Called after each appended line and status, for tests that act mid-scan.
  std::function<void(const std::string&)> onLine;
  std::function<void(const std::string&)> onStatus;

 private:
  HWND handle_ = nullptr;
};

}  // namespace sim
