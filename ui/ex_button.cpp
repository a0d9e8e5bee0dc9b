#include "ui/ex_button.h"

#include <windowsx.h>

#include "ui/ui_rules.h"

namespace {

constexpr WORD kHelpViewerHandCursor = 106;
constexpr WORD kSystemHandCursor = 32649;  // IDC_HAND

HBITMAP LoadSkinBitmap(const std::string& name) {
  // Resource names are matched without regard to case: "Cancel" finds CANCEL_FOCUS.
  return static_cast<HBITMAP>(::LoadImageA(::GetModuleHandleA(nullptr), name.c_str(), IMAGE_BITMAP,
                                           0, 0, LR_LOADMAP3DCOLORS));
}

}  // namespace

bool NCExButton::LoadSkin() {
  if (m_hWnd == nullptr) return false;
  const std::string base = GetWindowText();
  if (base.empty()) return false;
  LoadSkinBitmaps(base + "_FOCUS", base + "_NOTFOCUS", base + "_DISABLE");
  return true;
}

bool NCExButton::LoadSkinBitmaps(const std::string& highlight, const std::string& normal,
                                 const std::string& disabled) {
  m_bmpHighlight.DeleteObject();
  m_bmpNormal.DeleteObject();
  m_bmpDisabled.DeleteObject();
  m_bmpHighlight.Attach(LoadSkinBitmap(highlight));
  if (!m_bmpHighlight) return false;
  m_bmpNormal.Attach(LoadSkinBitmap(normal));
  if (!m_bmpNormal) return false;
  m_bmpDisabled.Attach(LoadSkinBitmap(disabled));  // optional
  return SizeToBitmap();
}

bool NCExButton::SizeToBitmap() {
  BITMAP info;
  if (!m_bmpNormal || ::GetObjectA(m_bmpNormal.get(), sizeof info, &info) == 0) return false;
  if (!::SetWindowPos(m_hWnd, nullptr, 0, 0, info.bmWidth, info.bmHeight,
                      SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE)) {
    return false;
  }
  m_rcBitmap = RECT{0, 0, info.bmWidth, info.bmHeight};
  return true;
}

void NCExButton::DrawItem(DRAWITEMSTRUCT* item) {
  HBITMAP face = nullptr;
  switch (ChooseButtonFace(m_bHighlight, item->itemState)) {
    case ButtonFace::Highlight:
      face = m_bmpHighlight.get();
      break;
    case ButtonFace::Disabled:
      face = m_bmpDisabled.get();
      break;
    case ButtonFace::Normal:
      face = m_bmpNormal.get();
      break;
  }
  CMemoryDC memory(item->hDC);
  ScopedSelectObject select(memory.get(), face);
  if (!select.selected()) return;  // no picture for this state: nothing is drawn
  const RECT& r = item->rcItem;
  ::BitBlt(item->hDC, r.left, r.top, r.right - r.left, r.bottom - r.top, memory.get(), 0, 0,
           SRCCOPY);
}

void NCExButton::SetHighlight(bool on) {
  m_bHighlight = on;
  ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

LRESULT NCExButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_MOUSEMOVE: {
      const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (::GetCapture() != m_hWnd) {
        // The pointer has just come over the button.
        ::SetFocus(m_hWnd);
        m_bHighlight = true;
        ::SetCapture(m_hWnd);
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
      } else if (!::PtInRect(&m_rcBitmap, point)) {
        // It has left: the highlight goes, the focus stays.
        ::ReleaseCapture();
        SetHighlight(false);
      }
      return Default(message, wParam, lParam);
    }
    case WM_SETFOCUS: {
      const LRESULT result = Default(message, wParam, lParam);
      SetHighlight(true);
      return result;
    }
    case WM_KILLFOCUS: {
      const LRESULT result = Default(message, wParam, lParam);
      SetHighlight(false);
      return result;
    }
    default:
      return Default(message, wParam, lParam);
  }
}

void CExButton::LoadHandCursor() {
  if (m_hCursor != nullptr) return;
  char path[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryA(path, sizeof path);
  if (length > 0 && length + sizeof "\\winhlp32.exe" <= sizeof path) {
    lstrcatA(path, "\\winhlp32.exe");
    if (HMODULE viewer = ::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
      if (HCURSOR hand = ::LoadCursorA(viewer, MAKEINTRESOURCEA(kHelpViewerHandCursor))) {
        // A copy outlives the module it came from.
        m_hCursor = static_cast<HCURSOR>(::CopyImage(hand, IMAGE_CURSOR, 0, 0, 0));
      }
      ::FreeLibrary(viewer);
    }
  }
  // Systems without the help viewer's cursor have a hand of their own.
  if (m_hCursor == nullptr) m_hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(kSystemHandCursor));
}

LRESULT CExButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETCURSOR && m_hCursor != nullptr) {
    ::SetCursor(m_hCursor);
    return TRUE;
  }
  return NCExButton::WindowProc(message, wParam, lParam);
}
