// Windows and dialogs on the simulated machine: window procedures called directly, a scripted
// message queue, scripted answers for the program's dialog and the system's message box, and
// the stand-in for the main window.
#include <cstring>

#include "engine/scan_state.h"
#include "platform/sim/sim_internal.h"
#include "ui/show_message.h"

namespace plat {

BOOL PeekMessageA(MSG* message, HWND /*window*/, UINT /*first*/, UINT /*last*/, UINT remove) {
  sim::Machine& m = sim::machine();
  ++m.peeks;
  if (m.onPeek) m.onPeek(m.peeks);
  if (m.queue.empty()) return FALSE;
  *message = m.queue.front();
  if (remove & PM_REMOVE) m.queue.pop_front();
  return TRUE;
}

BOOL TranslateMessage(const MSG* /*message*/) {
  ++sim::machine().translated;
  return FALSE;
}

LRESULT DispatchMessageA(const MSG* message) {
  sim::Machine& m = sim::machine();
  ++m.dispatched;
  auto it = m.impl().windows.find(message->hwnd);
  if (it == m.impl().windows.end()) return 0;
  return it->second(message->hwnd, message->message, message->wParam, message->lParam);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  sim::Machine& m = sim::machine();
  auto it = m.impl().windows.find(window);
  if (it == m.impl().windows.end()) return sim::Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
  // Copy the procedure: it may destroy its own window.
  sim::WindowProc procedure = it->second;
  return procedure(window, message, wParam, lParam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  sim::machine().queue.push_back(sim::Message(message, wParam, lParam, window));
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  sim::machine().queue.push_back(sim::Message(WM_QUIT, static_cast<WPARAM>(exitCode)));
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

// The host build has no dialogs: the user's answers come from the simulated machine.
int ShowMessage(const char* text, const char* caption, UINT flags) {
  sim::Machine& m = sim::machine();
  m.dialogs.push_back({g_scan.mainWindow, text ? text : "", caption ? caption : "", flags});
  if (m.dialogAnswers.empty()) return m.defaultDialogAnswer;
  const int answer = m.dialogAnswers.front();
  m.dialogAnswers.pop_front();
  return answer;
}

namespace sim {

namespace {
constexpr size_t kListLimit = 150;
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
