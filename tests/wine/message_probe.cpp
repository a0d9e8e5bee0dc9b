// Shows the program's message dialog once, with the text, caption and flags given, and prints
// what it answered: the tests reach every button set and icon through it.
//   message-probe TEXT CAPTION FLAGS
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "ui/show_message.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: message-probe TEXT CAPTION FLAGS\n");
    return 2;
  }
  const int answer =
      ShowMessage(argv[1], argv[2], static_cast<UINT>(std::strtoul(argv[3], nullptr, 0)));
  std::printf("answer=%d\n", answer);
  return 0;
}
