// A modal dialog built from a dialog template resource.
#pragma once

#include "ui/framework/wnd.h"

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, HWND parent = nullptr);
  ~CDialog() override;

  // Runs the dialog modally; returns the value it ended with, or -1 when it could not be made.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result);
  // Centres this window over another one.
  void CenterWindow(HWND over);

 protected:
  // Binds members to controls; called as the dialog initialises.
  virtual void DoDataExchange() {}
  virtual BOOL OnInitDialog();
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  // Every other message; return true and set *result when handled. Whatever is left goes to
  // the system's default dialog handling.
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  // Binds a member to a control; the control must exist.
  void DDX_Control(int id, CWnd& control);

  HINSTANCE instance() const { return ::GetModuleHandleA(nullptr); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  UINT templateId_;
  HWND parent_;
};
