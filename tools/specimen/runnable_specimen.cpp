// A harmless program that only waits: padded with the maker's `pad` command it becomes a running
// file a signature record matches, for the tests of process sweeps and locked-file removal.
//
//   runnable-specimen [--hold] [--hold-file PATH] [--seconds N]
//
// --hold keeps its own image open for reading (others may read it, but not delete or rename it)
// before it reports; --hold-file does the same with another file; then it writes its process id as
// one line to stdout and sleeps N seconds (default 120). Plain Win32 and C, no C++ run-time beyond
// start-up, so the image stays small.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void WriteText(HANDLE out, const char* text) {
  DWORD written = 0;
  WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, NULL);
}

static int Fail(const char* problem, int status) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  WriteText(err, "runnable-specimen: ");
  WriteText(err, problem);
  WriteText(err, status == 2
                     ? "\nusage: runnable-specimen [--hold] [--hold-file PATH] [--seconds N]\n"
                     : "\n");
  return status;
}

int main(int argc, char** argv) {
  int hold = 0;
  const char* holdFile = NULL;
  unsigned long seconds = 120;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--hold") == 0) {
      hold = 1;
    } else if (strcmp(argv[i], "--hold-file") == 0 && i + 1 < argc) {
      holdFile = argv[++i];
    } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      char* end = NULL;
      seconds = strtoul(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || seconds > 86400)
        return Fail("bad --seconds value", 2);
    } else {
      return Fail("unknown argument", 2);
    }
  }

  // The handle is kept open until the process ends; closing it is left to the system.
  if (hold) {
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    if (length == 0 || length >= sizeof path) return Fail("cannot find own image", 1);
    HANDLE image = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (image == INVALID_HANDLE_VALUE) return Fail("cannot open own image", 1);
  }

  if (holdFile != NULL) {
    HANDLE file = CreateFileA(holdFile, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return Fail("cannot open the file to hold", 1);
  }

  // The line comes after the hold, so a reader that sees it knows the image is held.
  char line[16];
  char* p = line + sizeof line;
  *--p = '\0';
  *--p = '\n';
  DWORD id = GetCurrentProcessId();
  do {
    *--p = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id != 0);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  WriteText(out, p);
  FlushFileBuffers(out);

  Sleep(static_cast<DWORD>(seconds) * 1000);
  return 0;
}
