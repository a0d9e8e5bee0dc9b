// Windows and messages on Windows: user32, unchanged.
#include "platform/windowing.h"

namespace plat {

BOOL PeekMessageA(MSG* message, HWND window, UINT first, UINT last, UINT remove) {
  return ::PeekMessageA(message, window, first, last, remove);
}
BOOL TranslateMessage(const MSG* message) { return ::TranslateMessage(message); }
LRESULT DispatchMessageA(const MSG* message) { return ::DispatchMessageA(message); }
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(window, message, wParam, lParam);
}
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(window, message, wParam, lParam);
}

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return ::MessageBoxA(owner, text, caption, type);
}

}  // namespace plat
