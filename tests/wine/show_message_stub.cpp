// The Windows-side tests have no one to answer the program's dialog: questions are answered No.
#include "platform/windowing.h"
#include "ui/show_message.h"

int ShowMessage(const char* /*text*/, const char* /*caption*/, UINT /*flags*/) { return IDNO; }
