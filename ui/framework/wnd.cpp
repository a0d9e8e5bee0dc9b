#include "ui/framework/wnd.h"

#include <vector>

namespace {

// The bound object is kept in a window property: the dialog's own user data stays free.
constexpr char kObjectProperty[] = "VexpurgeWnd";

}  // namespace

CWnd::~CWnd() { Unsubclass(); }

std::string CWnd::GetWindowText() const {
  const int length = ::GetWindowTextLengthA(m_hWnd);
  if (length <= 0) return std::string();
  std::vector<char> text(static_cast<size_t>(length) + 1);
  const int got = ::GetWindowTextA(m_hWnd, text.data(), length + 1);
  return std::string(text.data(), static_cast<size_t>(got > 0 ? got : 0));
}

bool CWnd::SubclassDlgItem(int id, HWND dialog) {
  if (m_hWnd != nullptr) return false;
  HWND item = ::GetDlgItem(dialog, id);
  if (item == nullptr) return false;
  m_hWnd = item;
  ::SetPropA(item, kObjectProperty, this);
  original_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
  return true;
}

void CWnd::Unsubclass() {
  if (m_hWnd == nullptr || original_ == nullptr) return;
  if (::IsWindow(m_hWnd)) {
    ::SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
    ::RemovePropA(m_hWnd, kObjectProperty);
  }
  original_ = nullptr;
  m_hWnd = nullptr;
}

CWnd* CWnd::FromHandle(HWND window) {
  return window ? static_cast<CWnd*>(::GetPropA(window, kObjectProperty)) : nullptr;
}

void CWnd::DrawItem(DRAWITEMSTRUCT* /*item*/) {}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return Default(message, wParam, lParam);
}

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::CallWindowProcA(original_, m_hWnd, message, wParam, lParam);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* object = FromHandle(window);
  if (object == nullptr) return ::DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The window goes: give it its own procedure back for its last message.
    WNDPROC original = object->original_;
    object->Unsubclass();
    return ::CallWindowProcA(original, window, message, wParam, lParam);
  }
  return object->WindowProc(message, wParam, lParam);
}

std::string CListBox::GetText(int index) {
  const LRESULT length = SendMessage(LB_GETTEXTLEN, static_cast<WPARAM>(index));
  if (length == LB_ERR) return std::string();
  std::vector<char> text(static_cast<size_t>(length) + 1);
  SendMessage(LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  return std::string(text.data());
}
