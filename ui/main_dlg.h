// The main window: a skinned, shaped dialog from which the user starts the run's one scan,
// follows it in a status line and a results list fed by the engine, stops it and closes.
#pragma once

#include "ui/ex_button.h"
#include "ui/ex_static.h"
#include "ui/framework/dialog.h"
#include "ui/framework/gdi.h"

class CMainDlg : public CDialog {
 public:
  explicit CMainDlg(HWND parent = nullptr);
  ~CMainDlg() override;

  CButton m_grpResults;
  CExButton m_btnLogo;
  CExButton m_btnUtilityLink;
  CExButton m_btnDownloadLink;
  CStatic m_lblSearching;
  CStatic m_lblProductNote;
  CStatic m_lblTitle;
  CStatic m_lblNotice;
  CExStatic m_lblFamily;
  CExButton m_btnStop;
  CButton m_grpStatus;
  CStatic m_lblStatus;
  CListBox m_lstResults;
  CExButton m_btnExit;
  CExButton m_btnDownload;
  CExButton m_btnScan;
  CExButton m_btnDone;

  HICON m_hIcon = nullptr;
  HBITMAP m_hSkin = nullptr;
  HDC m_hSkinDC = nullptr;
  HGDIOBJ m_hOldSkin = nullptr;
  BITMAP m_bmSkin{};

 protected:
  void DoDataExchange() override;
  BOOL OnInitDialog() override;
  void OnOK() override {}  // the default command (Enter) does nothing
  void OnCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnSetStatus();
  void OnAppendLine();
  void OnTimer();
  void OnPaint();
  void OnScan();
  void OnExit();
  void OnDownload();
  void OnUtilityLink();
  void OnDone();
  void OnLButtonDown(LPARAM point);
  LRESULT OnCtlColor(HDC dc, HWND control, int kind, LRESULT baseBrush);
  void UpdateHorizontalExtent();
  // Both stop handlers: close at once when idle, else ask first.
  void AskToStop(const char* caption);

  CFont searchingFont_;
};
