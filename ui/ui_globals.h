// Process-wide user-interface objects shared by the main window, the message dialog and the
// label. Null, false and no font until the main window has initialised.
#pragma once

class CDialog;

extern CDialog* g_pMainDlg;
extern bool g_bLargeFonts;
