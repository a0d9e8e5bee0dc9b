// A small dialog framework over raw Win32, as big as the program's two dialogs need: window
// wrappers that borrow a handle, controls bound to a dialog's items by subclassing, and a modal
// dialog with one procedure that hands each message to virtual handlers.
#pragma once

#include <windows.h>

#include <string>

// WM_CTLCOLORMSGBOX to WM_CTLCOLORSTATIC: a control asks its parent for colours and a brush.
inline bool IsControlColorMessage(UINT message) {
  return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}

// A window handle and the calls made on it. Does not own the window unless it created it.
class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;

  BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
  std::string GetWindowText() const;
  BOOL MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) {
    return ::MoveWindow(m_hWnd, x, y, width, height, repaint);
  }
  void GetWindowRect(RECT* rect) const { ::GetWindowRect(m_hWnd, rect); }
  void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
  }

  // Binds this object to the dialog's item with this id, routing the item's messages to
  // WindowProc. False when there is no such item or this object is already bound.
  bool SubclassDlgItem(int id, HWND dialog);

  // The object bound to a window by SubclassDlgItem, if any.
  static CWnd* FromHandle(HWND window);

  // Owner-drawn controls draw here when their parent forwards WM_DRAWITEM.
  virtual void DrawItem(DRAWITEMSTRUCT* item);

 protected:
  // The bound window's messages; the default passes them to the window's own procedure.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Unsubclass();
  WNDPROC original_ = nullptr;
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

class CListBox : public CWnd {
 public:
  int GetCount() { return static_cast<int>(SendMessage(LB_GETCOUNT)); }
  int AddString(const char* text) {
    return static_cast<int>(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
  }
  void ResetContent() { SendMessage(LB_RESETCONTENT); }
  int SetCurSel(int index) {
    return static_cast<int>(SendMessage(LB_SETCURSEL, static_cast<WPARAM>(index)));
  }
  std::string GetText(int index);
  int GetHorizontalExtent() { return static_cast<int>(SendMessage(LB_GETHORIZONTALEXTENT)); }
  void SetHorizontalExtent(int extent) {
    SendMessage(LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(extent));
  }
};
