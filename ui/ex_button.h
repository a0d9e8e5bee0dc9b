// Push buttons drawn entirely from bitmaps: a normal, a highlight and (for some) a disabled
// picture, found by the button's own text as resource names. The highlight follows the mouse
// (the button holds the capture while the pointer is over it) and the keyboard focus.
#pragma once

#include <string>

#include "ui/framework/gdi.h"
#include "ui/framework/wnd.h"

// The design both skinned buttons share; NCExButton is it without a cursor of its own.
class NCExButton : public CButton {
 public:
  NCExButton() = default;

  // Loads the bitmaps named after the bound control's text. False when the button is not bound
  // to a control or its text is empty.
  bool LoadSkin();
  void DrawItem(DRAWITEMSTRUCT* item) override;

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void SetHighlight(bool on);

  bool m_bHighlight = false;
  RECT m_rcBitmap{};
  CBitmap m_bmpDisabled;
  CBitmap m_bmpNormal;
  CBitmap m_bmpHighlight;

 private:
  // Loads the three bitmaps by name and sizes the button to the normal one.
  bool LoadSkinBitmaps(const std::string& highlight, const std::string& normal,
                       const std::string& disabled);
  bool SizeToBitmap();
};

// The main window's buttons: the same, with a hand cursor.
class CExButton : public NCExButton {
 public:
  // Borrows the system help viewer's hand cursor; falls back to the system's own hand cursor.
  void LoadHandCursor();

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  HCURSOR m_hCursor = nullptr;
};
