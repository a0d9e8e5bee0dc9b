#include "ui/ex_static.h"

CFont g_fontLabel;

namespace {
constexpr COLORREF kCellBlue = RGB(2, 77, 246);
}

LRESULT CExStatic::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_PAINT) return Default(message, wParam, lParam);
  CPaintDC dc(m_hWnd);
  GetClientRect(&m_rcClient);
  m_strText = GetWindowText();
  ::SetTextColor(dc.get(), m_crText);
  ScopedSelectObject font(dc.get(), g_fontLabel.get());
  // The background mode stays opaque: each text cell is filled with the blue.
  ::SetBkColor(dc.get(), kCellBlue);
  ::DrawTextA(dc.get(), m_strText.c_str(), static_cast<int>(m_strText.size()), &m_rcClient,
              DT_CENTER | DT_VCENTER);
  return 0;
}
