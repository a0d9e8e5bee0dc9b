// The questions the engine puts to the user (terminate a process? restart now?) and the
// notices it shows. Each front end answers them its own way: the desktop program with its
// message dialog, the command-line scanner by answering No on its own, the tests with the
// answers they scripted.
#pragma once

#include "platform/base.h"

// Asks with MessageBox-style flags (MB_YESNO | MB_ICONQUESTION, MB_OKCANCEL |
// MB_ICONINFORMATION); returns the command id of the answer: IDOK, IDCANCEL, IDYES or IDNO.
int AskUser(const char* text, const char* caption, UINT flags);
