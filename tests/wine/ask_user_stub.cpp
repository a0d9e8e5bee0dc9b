// The Windows-side tests run the engine without a window: every question is answered No.
#include "engine/questions.h"
#include "platform/windowing.h"

int AskUser(const char* /*text*/, const char* /*caption*/, UINT /*flags*/) { return IDNO; }
