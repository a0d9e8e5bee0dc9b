// The scripted machine's core: its installation over the Linux back end, its processes and
// services lists, the files they hold, the answers to questions and message boxes, and the
// sleeps it records instead of sleeping; and the stand-in for the main window.
#include "tests/double/sim_machine.h"

#include "engine/questions.h"
#include "engine/scan_state.h"
#include "tests/double/sim_internal.h"

namespace sim {

namespace {
Machine* g_scripted = nullptr;
constexpr size_t kListLimit = 150;

// Compared in place: a set made to compare with would cost what keeping it saves.
bool HoldsStartPrivileges(const std::set<std::string>& held) {
  static const char* const kInOrder[] = {"SeDebugPrivilege", "SeShutdownPrivilege"};
  if (held.size() != 2) return false;
  auto it = held.begin();
  for (const char* name : kInOrder) {
    if (*it++ != name) return false;
  }
  return true;
}
}  // namespace

Machine& machine() {
  if (g_scripted == nullptr || &posix::machine() != g_scripted) Reset();
  return *g_scripted;
}

void Reset() {
  if (g_scripted != nullptr && &posix::machine() == g_scripted) {
    g_scripted->Restore();
    return;
  }
  auto fresh = std::make_unique<Machine>();
  g_scripted = fresh.get();
  posix::Install(std::move(fresh));
}

void Release() {
  g_scripted = nullptr;
  posix::Release();
}

void Machine::Restore() {
  posix::Machine::Restore();
  performanceData.clear();
  performanceQueries = 0;
  missingLibraries.clear();
  missingEntryPoints.clear();
  snapshotFails = false;
  processes.clear();
  tokenOpenFails = false;
  if (!HoldsStartPrivileges(heldPrivileges)) heldPrivileges = StartPrivileges();
  enabledPrivileges.clear();
  tokenOpens = 0;
  wideConversionFails = false;
  services.clear();
  managerDenied = false;
  posix::ReleaseMemory(&restarts);
  exitWindowsResult = TRUE;
  posix::ReleaseMemory(&exits);
  posix::ReleaseMemory(&sleeps);
  onSleep = nullptr;
  dialogAnswers.clear();
  defaultDialogAnswer = IDNO;
  posix::ReleaseMemory(&dialogs);
  messageBoxAnswers.clear();
  defaultMessageBoxAnswer = IDOK;
  posix::ReleaseMemory(&messageBoxes);
  refuseMove = nullptr;
  onRead = nullptr;
}

Process& Machine::AddProcess(DWORD pid, const std::string& image) {
  processes.emplace_back();
  Process& process = processes.back();
  process.pid = pid;
  process.image = image;
  return process;
}

Process* Machine::FindProcess(DWORD pid) {
  for (Process& process : processes) {
    if (process.pid == pid) return &process;
  }
  return nullptr;
}

Service& Machine::AddService(const std::string& name) {
  services.emplace_back();
  services.back().name = name;
  return services.back();
}

Service* Machine::FindService(const std::string& name) {
  for (Service& service : services) {
    if (!NoCaseLess()(service.name, name) && !NoCaseLess()(name, service.name)) return &service;
  }
  return nullptr;
}

uint64_t Machine::SleptMilliseconds() const {
  uint64_t total = 0;
  for (DWORD ms : sleeps) total += ms;
  return total;
}

DWORD Machine::DeleteBlockedBy(const std::string& key) const {
  for (const Process& process : processes) {
    if (!process.running) continue;
    if (process.holdsImage && KeyOf(process.image) == key) return ERROR_ACCESS_DENIED;
    for (const HeldFile& held : process.heldFiles) {
      if (!held.shareDelete && KeyOf(held.path) == key) return ERROR_SHARING_VIOLATION;
    }
  }
  return 0;
}

bool Machine::ReadBlocked(const std::string& key) const {
  for (const Process& process : processes) {
    if (!process.running) continue;
    for (const HeldFile& held : process.heldFiles) {
      if (!held.shareRead && KeyOf(held.path) == key) return true;
    }
  }
  return false;
}

const std::vector<uint8_t>* Machine::PerformanceBlock(const std::string& valueName) {
  ++performanceQueries;
  auto it = performanceData.find(valueName);
  return it != performanceData.end() ? &it->second : nullptr;
}

MainWindow::MainWindow() {
  handle_ = machine().CreateWindow([this](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    if (message == SetStatusMessage) {
      status = g_scan.statusText;
      if (keepStatusHistory) statusHistory.push_back(status);
      if (onStatus) onStatus(status);
    } else if (message == AppendLineMessage) {
      // The window keeps at most 150 walk lines; the statistics block is never cut.
      if (list.size() >= kListLimit && !g_scan.statisticsBegun) {
        list.clear();
        ++clears;
      }
      list.emplace_back(g_scan.ReportLine);
      allLines.emplace_back(g_scan.ReportLine);
      if (onLine) onLine(allLines.back());
    }
    return 0;
  });
  g_scan.mainWindow = handle_;
}

MainWindow::~MainWindow() {
  machine().DestroyWindow(handle_);
  if (g_scan.mainWindow == handle_) g_scan.mainWindow = nullptr;
}

}  // namespace sim

namespace plat {

void Sleep(DWORD milliseconds) {
  sim::Machine& m = sim::machine();
  m.sleeps.push_back(milliseconds);
  if (m.onSleep) m.onSleep(milliseconds);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  sim::Machine& m = sim::machine();
  m.messageBoxes.push_back({owner, text ? text : "", caption ? caption : "", type});
  if (m.messageBoxAnswers.empty()) return m.defaultMessageBoxAnswer;
  const int answer = m.messageBoxAnswers.front();
  m.messageBoxAnswers.pop_front();
  return answer;
}

}  // namespace plat

// The tests answer the engine's questions as they scripted, No when they scripted nothing.
int AskUser(const char* text, const char* caption, UINT flags) {
  sim::Machine& m = sim::machine();
  m.dialogs.push_back({g_scan.mainWindow, text ? text : "", caption ? caption : "", flags});
  if (m.dialogAnswers.empty()) return m.defaultDialogAnswer;
  const int answer = m.dialogAnswers.front();
  m.dialogAnswers.pop_front();
  return answer;
}
