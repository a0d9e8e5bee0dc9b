// Windows of the Linux back end: window procedures called directly (the program's windows are
// its own objects here, never shown) and a message queue.
#include <cstring>

#include "platform/posix/posix_internal.h"

namespace plat {

BOOL PeekMessageA(MSG* message, HWND /*window*/, UINT /*first*/, UINT /*last*/, UINT remove) {
  posix::Machine& m = posix::machine();
  ++m.peeks;
  if (m.onPeek) m.onPeek(m.peeks);
  if (m.queue.empty()) return FALSE;
  *message = m.queue.front();
  if (remove & PM_REMOVE) m.queue.pop_front();
  return TRUE;
}

BOOL TranslateMessage(const MSG* /*message*/) {
  ++posix::machine().translated;
  return FALSE;
}

LRESULT DispatchMessageA(const MSG* message) {
  posix::Machine& m = posix::machine();
  ++m.dispatched;
  auto it = m.impl().windows.find(message->hwnd);
  if (it == m.impl().windows.end()) return 0;
  const std::shared_ptr<const posix::WindowProc> procedure = it->second;
  return (*procedure)(message->hwnd, message->message, message->wParam, message->lParam);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  posix::Machine& m = posix::machine();
  auto it = m.impl().windows.find(window);
  if (it == m.impl().windows.end()) return posix::Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
  // Held while it runs: it may destroy its own window.
  const std::shared_ptr<const posix::WindowProc> procedure = it->second;
  return (*procedure)(window, message, wParam, lParam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  posix::machine().queue.push_back(posix::Message(message, wParam, lParam, window));
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  posix::machine().queue.push_back(posix::Message(WM_QUIT, static_cast<WPARAM>(exitCode)));
}

}  // namespace plat
