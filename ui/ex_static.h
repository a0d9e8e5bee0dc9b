// A static text that paints itself: white text on cells of the skin's blue, centred, in the
// program's shared bold font.
#pragma once

#include <string>

#include "ui/framework/gdi.h"
#include "ui/framework/wnd.h"

// The font the label draws with; empty until the main window creates it.
extern CFont g_fontLabel;

class CExStatic : public CStatic {
 public:
  std::string m_strText;
  RECT m_rcClient{};
  COLORREF m_crText = RGB(255, 255, 255);

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
};
