#include "ui/show_message.h"

#include "platform/windowing.h"

// Placeholder until the message dialog lands: shows nothing and answers No, so that nothing is
// stopped or restarted on its word.
int ShowMessage(const char* /*text*/, const char* /*caption*/, UINT /*flags*/) { return IDNO; }
