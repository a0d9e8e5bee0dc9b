// The program's own message dialog: every question and notice goes through it. It takes
// MessageBox-style flags and answers with the system's command ids.
#pragma once

#include <string>

#include "ui/ex_button.h"
#include "ui/framework/dialog.h"
#include "ui/framework/gdi.h"
#include "ui/ui_rules.h"

class CMessageDlg : public CDialog {
 public:
  explicit CMessageDlg(HWND parent = nullptr);

  CStatic m_ctlIcon;
  NCExButton m_btnYes;
  NCExButton m_btnOk;
  NCExButton m_btnNo;
  NCExButton m_btnOkSingle;
  NCExButton m_btnCancel;
  CStatic m_ctlMessage;
  int m_nIconId = kIconWarning;
  bool m_bOkOnly = false;
  bool m_bOkCancel = false;
  bool m_bYesNo = false;
  std::string m_strMessage;
  // An old product's caption, kept on purpose as the default; ShowMessage always sets its own.
  std::string m_strCaption = "Dustrel Ver 7.5";

 protected:
  void DoDataExchange() override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnPaint();
  void Place(CWnd& control, int x, int y, int width, int height);
  RECT ClientRectOf(CWnd& control);

  CBrush background_;
};
