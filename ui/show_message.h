// The program's own message dialog.
#pragma once

#include "platform/base.h"

// Asks a question or shows a notice with MessageBox-style flags (0x24: Yes and No with the
// question icon; 0x41: OK and Cancel with the information icon). Returns the command id of
// the answer: 1 OK, 2 Cancel, 6 Yes, 7 No.
int ShowMessage(const char* text, const char* caption, UINT flags);
