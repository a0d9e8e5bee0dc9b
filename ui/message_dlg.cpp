#include "ui/message_dlg.h"

#include "engine/texts.h"
#include "res/resource.h"
#include "ui/show_message.h"
#include "ui/ui_globals.h"
#include "ui/ui_rules.h"

namespace {

constexpr COLORREF kBackground = RGB(207, 233, 254);
constexpr int kButtonRowFromBottom = 65;
constexpr int kLargeFontExtra = 25;
// Once the growth step passes 30 pixels (a message of 90 characters or more), the icon moves up
// to 5 pixels above the text.
constexpr int kIconAboveText = 5;
constexpr int kIconMoveGrowth = 30;

}  // namespace

CMessageDlg::CMessageDlg(HWND parent) : CDialog(IDD_MESSAGE, parent) {}

void CMessageDlg::DoDataExchange() {
  DDX_Control(IDC_MESSAGE_ICON, m_ctlIcon);
  DDX_Control(IDYES, m_btnYes);
  DDX_Control(IDOK, m_btnOk);
  DDX_Control(IDNO, m_btnNo);
  DDX_Control(IDC_OK_SINGLE, m_btnOkSingle);
  DDX_Control(IDCANCEL, m_btnCancel);
  DDX_Control(IDC_MESSAGE_TEXT, m_ctlMessage);
}

RECT CMessageDlg::ClientRectOf(CWnd& control) {
  RECT r;
  control.GetWindowRect(&r);
  ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void CMessageDlg::Place(CWnd& control, int x, int y, int width, int height) {
  control.MoveWindow(x, y, width, height, TRUE);
}

BOOL CMessageDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  // No text is measured: the dialog grows by a fixed amount per 30 characters.
  const MessageLayout layout = ComputeMessageLayout(m_strMessage.size());
  RECT window;
  GetWindowRect(&window);
  MoveWindow(0, 0, window.right - window.left + layout.b,
             window.bottom - window.top + (layout.a - layout.d), TRUE);
  GetWindowRect(&window);
  // The button row's top, in client coordinates, is the new window height less 65 pixels.
  const POINT row{0, (window.bottom - window.top) - kButtonRowFromBottom};

  const RECT text = ClientRectOf(m_ctlMessage);
  const int iconTop = text.top - kIconAboveText;
  Place(m_ctlMessage, text.left, text.top, text.right - text.left + layout.b,
        text.bottom - text.top + (layout.a - layout.d) + (g_bLargeFonts ? kLargeFontExtra : 0));

  for (NCExButton* button : {&m_btnOkSingle, &m_btnOk, &m_btnCancel, &m_btnYes, &m_btnNo}) {
    const RECT q = ClientRectOf(*button);
    Place(*button, q.left + layout.b / 2, row.y, q.right - q.left, q.bottom - q.top);
  }
  m_btnOkSingle.ShowWindow(m_bOkOnly ? SW_SHOW : SW_HIDE);
  m_btnOk.ShowWindow(m_bOkCancel ? SW_SHOW : SW_HIDE);
  m_btnCancel.ShowWindow(m_bOkCancel ? SW_SHOW : SW_HIDE);
  m_btnYes.ShowWindow(m_bYesNo ? SW_SHOW : SW_HIDE);
  m_btnNo.ShowWindow(m_bYesNo ? SW_SHOW : SW_HIDE);
  for (NCExButton* button : {&m_btnOk, &m_btnOkSingle, &m_btnCancel, &m_btnYes, &m_btnNo}) {
    button->LoadSkin();
  }

  if (layout.a > kIconMoveGrowth) {
    const RECT icon = ClientRectOf(m_ctlIcon);
    Place(m_ctlIcon, icon.left, iconTop, icon.right - icon.left, icon.bottom - icon.top);
  }
  m_ctlMessage.SetWindowText(m_strMessage.c_str());
  SetWindowText(m_strCaption.empty() ? kProgramTitle : m_strCaption.c_str());
  if (g_pMainDlg != nullptr && g_pMainDlg->m_hWnd != nullptr) CenterWindow(g_pMainDlg->m_hWnd);
  return TRUE;  // the first visible tab-stop button takes the focus, and so the highlight
}

void CMessageDlg::OnOK() { EndDialog(IDOK); }

void CMessageDlg::OnCancel() { EndDialog(m_bYesNo ? IDNO : IDCANCEL); }

void CMessageDlg::OnPaint() {
  CPaintDC paint(m_hWnd);
  CBitmap icon(static_cast<HBITMAP>(::LoadImageA(instance(), MAKEINTRESOURCEA(m_nIconId),
                                                 IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS)));
  if (!icon) return;
  CClientDC target(m_ctlIcon.m_hWnd);
  RECT area;
  m_ctlIcon.GetClientRect(&area);
  CMemoryDC memory(target.get());
  ScopedSelectObject select(memory.get(), icon.get());
  ::BitBlt(target.get(), area.left, area.top, area.right, area.bottom, memory.get(), 0, 0, SRCCOPY);
}

bool CMessageDlg::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, LRESULT* result) {
  switch (message) {
    case WM_PAINT:
      OnPaint();
      *result = 0;
      return true;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      if (!background_) background_.Attach(::CreateSolidBrush(kBackground));
      *result = reinterpret_cast<LRESULT>(background_.get());
      return true;
    case WM_CTLCOLORBTN:
      ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return false;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDYES:
          EndDialog(IDYES);
          *result = 0;
          return true;
        case IDNO:
          EndDialog(IDNO);
          *result = 0;
          return true;
        case IDC_OK_SINGLE:
          EndDialog(IDOK);
          *result = 0;
          return true;
        default:
          return false;
      }
    default:
      return false;
  }
}

int ShowMessage(const char* text, const char* caption, UINT flags) {
  CMessageDlg dialog(g_pMainDlg != nullptr ? g_pMainDlg->m_hWnd : nullptr);
  dialog.m_strMessage = text != nullptr ? text : "";
  dialog.m_strCaption = caption != nullptr ? caption : "";
  switch (ButtonSetForFlags(flags)) {
    case ButtonSet::OkCancel:
      dialog.m_bOkCancel = true;
      break;
    case ButtonSet::YesNo:
      dialog.m_bYesNo = true;
      break;
    case ButtonSet::OkOnly:
      dialog.m_bOkOnly = true;
      break;
  }
  dialog.m_nIconId = IconForFlags(flags);
  return static_cast<int>(dialog.DoModal());
}
