// The application: one main dialog, one instance at a time.
#include <windows.h>

#include "engine/texts.h"
#include "platform/wow64.h"
#include "ui/main_dlg.h"

class CMainApp {
 public:
  // Runs the program; returns false so that it ends when the dialog closes.
  bool InitInstance() {
    // A second start ends without a word when the first one's window exists.
    if (::FindWindowA(nullptr, kProgramTitle) != nullptr) return false;
    CMainDlg dialog;
    dialog.DoModal();
    return false;
  }
};

CMainApp theApp;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Started from a downloads folder, the program must load no library that lies beside it.
  plat::RestrictLibrarySearch();
  theApp.InitInstance();
  return 0;
}
