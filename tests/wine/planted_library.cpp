// A harmless stand-in for a library planted beside the program (built as psapi.dll): loaded,
// it leaves the file "planted-library-loaded" in its own folder and does nothing else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(instance, path, MAX_PATH);
  while (length > 0 && path[length - 1] != '\\') --length;
  static const char kMarker[] = "planted-library-loaded";
  if (length + sizeof kMarker <= MAX_PATH) {
    ::lstrcpyA(path + length, kMarker);
    HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  return TRUE;
}
