#include "ui/main_dlg.h"

#include <shellapi.h>

#include <cstring>

#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "engine/texts.h"
#include "platform/scoped_handle.h"
#include "res/resource.h"
#include "ui/shaped_window.h"
#include "ui/show_message.h"
#include "ui/ui_globals.h"
#include "ui/ui_rules.h"

CDialog* g_pMainDlg = nullptr;
bool g_bLargeFonts = false;
HBRUSH g_hbrWhite = nullptr;

namespace {

constexpr UINT_PTR kScanTimer = 100;
constexpr UINT kScanTimerPeriod = 100;
constexpr int kDesignClientWidth = 600;
constexpr int kDesignClientHeight = 337;
constexpr int kWindowWidth = 600;
constexpr int kWindowHeight = 462;
constexpr COLORREF kSkinKey = RGB(255, 0, 255);
constexpr UINT kYesNoQuestion = MB_YESNO | MB_ICONQUESTION;
constexpr int kLabelFontHeight = 15;
// 120 dots per inch and more is Windows' "large fonts" setting.
constexpr int kLargeFontsDpi = 120;

constexpr char kTitlePiece[] = " - Tool to detect and remove all the variants of ";
constexpr char kFamily[] = "W32/Tarvix";
constexpr char kBackdoor[] = " Backdoor";
constexpr char kProductNote[] = "This program is a part of Bastion Keeper antivirus software.";
constexpr char kNotice[] =
    "Close all other programs before you scan. Infected files are removed for good.";
constexpr char kProductKey[] = "Software\\Velmora\\Bastion Keeper 2000";
constexpr char kProductValue[] = "Installed Folder";
constexpr char kDownloadPage[] = "http://www.velmora.example/download/downloadnow.htm";
constexpr char kUtilityPage[] = "http://www.velmora.example/download/utility.htm";

void OpenPage(const char* address) {
  char buffer[512];
  CopyText(buffer, sizeof buffer, address);
  ::ShellExecuteA(nullptr, "open", buffer, nullptr, nullptr, SW_SHOWNORMAL);
}

// True when the maker's anti-virus product is installed (its key and value can be read).
bool IsProductInstalled() {
  plat::ScopedKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, key.out()) != ERROR_SUCCESS)
    return false;
  DWORD size = 0;
  bool installed = ::RegQueryValueExA(key.get(), kProductValue, nullptr, nullptr, nullptr, &size) ==
                   ERROR_SUCCESS;
  if (installed) {
    // A folder name longer than the buffer does not fit: such a value does not count.
    BYTE folder[300] = {};
    DWORD length = sizeof folder;
    installed = ::RegQueryValueExA(key.get(), kProductValue, nullptr, nullptr, folder, &length) ==
                ERROR_SUCCESS;
  }
  return installed;
}

// Creates into font the main dialog's font with this height, weight, underline and italic.
void CreateDerivedFont(CFont& font, int height, int weight, bool underline, bool italic) {
  HFONT base = nullptr;
  if (g_pMainDlg != nullptr)
    base = reinterpret_cast<HFONT>(::SendMessageA(g_pMainDlg->m_hWnd, WM_GETFONT, 0, 0));
  if (base == nullptr) base = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
  LOGFONTA logFont = {};
  ::GetObjectA(base, sizeof logFont, &logFont);
  logFont.lfHeight = height;
  logFont.lfWeight = weight;
  logFont.lfUnderline = underline ? 1 : 0;
  logFont.lfItalic = italic ? 1 : 0;
  font.Attach(::CreateFontIndirectA(&logFont));
}

}  // namespace

CMainDlg::CMainDlg(HWND parent) : CDialog(IDD_MAIN, parent) {
  m_hIcon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAIN));
}

CMainDlg::~CMainDlg() {
  if (m_hSkinDC != nullptr) {
    ::SelectObject(m_hSkinDC, m_hOldSkin);
    ::DeleteDC(m_hSkinDC);
  }
  if (m_hSkin != nullptr) ::DeleteObject(m_hSkin);
}

void CMainDlg::DoDataExchange() {
  DDX_Control(IDC_RESULTS_GROUP, m_grpResults);
  DDX_Control(IDC_LOGO, m_btnLogo);
  DDX_Control(IDC_UTILITY_LINK, m_btnUtilityLink);
  DDX_Control(IDC_DOWNLOAD_LINK, m_btnDownloadLink);
  DDX_Control(IDC_SEARCHING, m_lblSearching);
  DDX_Control(IDC_PRODUCT_NOTE, m_lblProductNote);
  DDX_Control(IDC_TITLE, m_lblTitle);
  DDX_Control(IDC_NOTICE, m_lblNotice);
  DDX_Control(IDC_FAMILY, m_lblFamily);
  DDX_Control(IDCANCEL, m_btnStop);
  DDX_Control(IDC_STATUS_GROUP, m_grpStatus);
  DDX_Control(IDC_STATUS, m_lblStatus);
  DDX_Control(IDC_RESULTS, m_lstResults);
  DDX_Control(IDC_EXIT, m_btnExit);
  DDX_Control(IDC_DOWNLOAD, m_btnDownload);
  DDX_Control(IDC_SCAN, m_btnScan);
  DDX_Control(IDC_DONE, m_btnDone);
}

BOOL CMainDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  for (CWnd* hidden : {static_cast<CWnd*>(&m_lblStatus), static_cast<CWnd*>(&m_grpStatus),
                       static_cast<CWnd*>(&m_lblSearching), static_cast<CWnd*>(&m_lstResults),
                       static_cast<CWnd*>(&m_grpResults), static_cast<CWnd*>(&m_btnStop)}) {
    hidden->ShowWindow(SW_HIDE);
  }
  m_btnDone.EnableWindow(FALSE);
  m_btnDone.ShowWindow(SW_HIDE);

  g_pMainDlg = this;
  CreateDerivedFont(g_fontLabel, kLabelFontHeight, FW_BOLD, false, false);

  m_lblTitle.SetWindowText(
      (std::string(kProgramTitle) + kTitlePiece + kFamily + kBackdoor).c_str());
  char family[64];
  std::snprintf(family, sizeof family, "for %s", kFamily);
  m_lblFamily.SetWindowText((std::string(family) + kBackdoor).c_str());
  m_lblNotice.SetWindowText(kNotice);
  m_lblProductNote.SetWindowText(kProductNote);

  {
    CClientDC dc(m_hWnd);
    g_bLargeFonts = ::GetDeviceCaps(dc.get(), LOGPIXELSX) >= kLargeFontsDpi;
  }

  FitChildrenToClient(m_hWnd, kDesignClientWidth, kDesignClientHeight);
  MoveWindow(0, 0, kWindowWidth, kWindowHeight, TRUE);

  if (IsProductInstalled()) {
    m_btnDownloadLink.EnableWindow(FALSE);
    m_btnDownloadLink.ShowWindow(SW_HIDE);
    m_btnDownload.EnableWindow(FALSE);
  } else {
    m_lblProductNote.ShowWindow(SW_HIDE);
  }

  g_hbrWhite = ::CreateSolidBrush(RGB(255, 255, 255));
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  ::SetWindowLongPtrA(m_hWnd, GWL_STYLE,
                      ::GetWindowLongPtrA(m_hWnd, GWL_STYLE) | WS_SYSMENU | WS_MINIMIZEBOX);

  m_hSkin = static_cast<HBITMAP>(
      ::LoadImageA(instance(), MAKEINTRESOURCEA(IDB_SKIN), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
  if (HRGN region = CreateRegionFromBitmap(m_hSkin, kSkinKey, true)) {
    // The skin is painted at the client origin, which the border puts inside the window: the
    // shape, in window coordinates, moves with it.
    POINT origin{0, 0};
    ::ClientToScreen(m_hWnd, &origin);
    RECT window;
    GetWindowRect(&window);
    ::OffsetRgn(region, origin.x - window.left, origin.y - window.top);
    ::SetWindowRgn(m_hWnd, region, TRUE);  // the system owns it from here
  }
  if (m_hSkin != nullptr) {
    ::GetObjectA(m_hSkin, sizeof m_bmSkin, &m_bmSkin);
    m_hSkinDC = ::CreateCompatibleDC(nullptr);
    m_hOldSkin = ::SelectObject(m_hSkinDC, m_hSkin);
  }

  for (CExButton* button : {&m_btnDone, &m_btnStop, &m_btnScan, &m_btnDownload, &m_btnExit,
                            &m_btnUtilityLink, &m_btnDownloadLink, &m_btnLogo}) {
    button->LoadSkin();
  }
  SetWindowText(kProgramTitle);
  for (CExButton* button : {&m_btnScan, &m_btnExit, &m_btnDownload, &m_btnDone, &m_btnStop,
                            &m_btnDownloadLink, &m_btnUtilityLink}) {
    button->LoadHandCursor();
  }
  return TRUE;
}

bool CMainDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  *result = 0;
  if (IsControlColorMessage(message)) {
    const LRESULT base = ::DefWindowProcA(m_hWnd, message, wParam, lParam);
    *result = OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam),
                         static_cast<int>(message - WM_CTLCOLORMSGBOX), base);
    return true;
  }
  switch (message) {
    case SetStatusMessage:  // shares its number with WM_ENABLE: routed whoever sends it
      OnSetStatus();
      return true;
    case AppendLineMessage:  // shares its number with WM_SETREDRAW
      OnAppendLine();
      return true;
    case WM_TIMER:
      OnTimer();
      return true;
    case WM_PAINT:
      OnPaint();
      return true;
    case WM_LBUTTONDOWN:
      OnLButtonDown(lParam);
      return false;  // default processing follows
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return false;
      switch (LOWORD(wParam)) {
        case IDC_SCAN:
          OnScan();
          return true;
        case IDC_EXIT:
          OnExit();
          return true;
        case IDC_DOWNLOAD:
        case IDC_DOWNLOAD_LINK:
          OnDownload();
          return true;
        case IDC_DONE:
          OnDone();
          return true;
        case IDC_UTILITY_LINK:
          OnUtilityLink();
          return true;
        case IDC_FAMILY:
          return true;
        default:
          return false;
      }
    default:
      return false;
  }
}

void CMainDlg::OnSetStatus() { m_lblStatus.SetWindowText(g_scan.statusText); }

void CMainDlg::OnAppendLine() {
  if (ClearsListBeforeAppend(m_lstResults.GetCount(), g_scan.statisticsBegun))
    m_lstResults.ResetContent();
  m_lstResults.AddString(g_scan.ReportLine);
  m_lstResults.SetCurSel(SelectionAfterAppend(m_lstResults.GetCount()));
  UpdateHorizontalExtent();
}

void CMainDlg::UpdateHorizontalExtent() {
  CClientDC dc(m_lstResults.m_hWnd);
  int widest = 0;
  const int count = m_lstResults.GetCount();
  for (int i = 0; i < count; ++i) {
    const std::string line = m_lstResults.GetText(i);
    SIZE size{};
    ::GetTextExtentPoint32A(dc.get(), line.c_str(), static_cast<int>(line.size()), &size);
    if (size.cx > widest) widest = size.cx;
  }
  const int extent = HorizontalExtentFor(m_lstResults.GetHorizontalExtent(), widest);
  if (extent >= 0) m_lstResults.SetHorizontalExtent(extent);
}

void CMainDlg::OnTimer() {
  ::KillTimer(m_hWnd, kScanTimer);
  g_scan.terminateRequested = false;
  RunScan();
  m_btnStop.ShowWindow(SW_HIDE);
  m_btnDone.ShowWindow(SW_SHOW);
  m_lblSearching.ShowWindow(SW_HIDE);
  m_grpStatus.SetWindowText("");
  g_scan.scanRunning = 0;
}

void CMainDlg::OnPaint() {
  CPaintDC dc(m_hWnd);
  if (m_hSkinDC != nullptr) {
    ::BitBlt(dc.get(), 0, 0, m_bmSkin.bmWidth, m_bmSkin.bmHeight, m_hSkinDC, 0, 0, SRCCOPY);
  }
}

void CMainDlg::OnScan() {
  g_scan.scanRunning = 1;
  m_btnScan.EnableWindow(FALSE);  // a run scans once
  m_btnUtilityLink.EnableWindow(FALSE);
  m_btnUtilityLink.ShowWindow(SW_HIDE);
  m_btnDownloadLink.EnableWindow(FALSE);
  m_btnDownloadLink.ShowWindow(SW_HIDE);
  m_btnStop.EnableWindow(TRUE);
  m_btnStop.ShowWindow(SW_SHOW);
  m_btnDone.EnableWindow(TRUE);

  m_lblTitle.ShowWindow(SW_HIDE);
  m_lblProductNote.ShowWindow(SW_HIDE);
  m_lblNotice.ShowWindow(SW_HIDE);
  for (CWnd* shown : {static_cast<CWnd*>(&m_lblSearching), static_cast<CWnd*>(&m_lstResults),
                      static_cast<CWnd*>(&m_lblStatus), static_cast<CWnd*>(&m_grpStatus),
                      static_cast<CWnd*>(&m_grpResults)}) {
    shown->ShowWindow(SW_SHOW);
  }
  m_grpStatus.SetWindowText("Scanning");

  m_lblSearching.SetWindowText(
      (std::string("Searching for ") + kFamily + " Backdoor and its variants").c_str());
  searchingFont_.Attach(::CreateFontA(kLabelFontHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, 0, 0,
                                      0, 0, DEFAULT_PITCH | FF_SWISS, "Arial"));
  m_lblSearching.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(searchingFont_.get()), TRUE);

  CopyText(g_scan.scanTarget, "!:");
  g_scan.mainWindow = m_hWnd;
  g_scan.removalAction = ActionRemove;
  ::SetTimer(m_hWnd, kScanTimer, kScanTimerPeriod, nullptr);
}

void CMainDlg::AskToStop(const char* caption) {
  if (g_scan.scanRunning == 0) {
    CDialog::OnCancel();
    return;
  }
  if (ShowMessage(kTerminateQuestion, caption, kYesNoQuestion) == IDYES) {
    m_btnStop.ShowWindow(SW_HIDE);
    m_btnDone.ShowWindow(SW_SHOW);
    g_scan.terminateRequested = true;
  }
}

void CMainDlg::OnCancel() { AskToStop(kProgramTitle); }

// The X button asks under the caption "DialogBoxTitle", not the title: kept as it always was.
void CMainDlg::OnExit() { AskToStop("DialogBoxTitle"); }

void CMainDlg::OnDone() { EndDialog(IDOK); }

void CMainDlg::OnDownload() { OpenPage(kDownloadPage); }

void CMainDlg::OnUtilityLink() { OpenPage(kUtilityPage); }

void CMainDlg::OnLButtonDown(LPARAM point) {
  // Dragging anywhere on the skin moves the window, as if its caption were dragged.
  ::PostMessageA(m_hWnd, WM_NCLBUTTONDOWN, HTCAPTION, point);
}

LRESULT CMainDlg::OnCtlColor(HDC dc, HWND control, int kind, LRESULT baseBrush) {
  ::SetBkMode(dc, TRANSPARENT);
  if (control == m_lblFamily.m_hWnd) return baseBrush;  // paints its own colours
  if (kind == CTLCOLOR_DLG || kind == CTLCOLOR_STATIC) return reinterpret_cast<LRESULT>(g_hbrWhite);
  return baseBrush;
}
