// The desktop program answers the engine's questions with its own message dialog.
#include "engine/questions.h"
#include "ui/show_message.h"

int AskUser(const char* text, const char* caption, UINT flags) {
  return ShowMessage(text, caption, flags);
}
