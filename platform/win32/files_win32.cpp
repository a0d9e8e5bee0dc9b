// Files on Windows: kernel32 and msvcrt, unchanged but for the file-system redirection of
// WoW64, turned off around each call that names a path while FileSystemRedirectionOff lives.
#include "platform/files.h"
#include "platform/win32/wow64_win32.h"

namespace plat {

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  Unredirected off;
  return ::FindFirstFileA(pattern, data);
}
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data) { return ::FindNextFileA(search, data); }
BOOL FindClose(HANDLE search) { return ::FindClose(search); }
UINT GetDriveTypeA(LPCSTR root) { return ::GetDriveTypeA(root); }
DWORD GetFileAttributesA(LPCSTR path) {
  Unredirected off;
  return ::GetFileAttributesA(path);
}
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  Unredirected off;
  return ::SetFileAttributesA(path, attributes);
}
BOOL DeleteFileA(LPCSTR path) {
  Unredirected off;
  return ::DeleteFileA(path);
}
BOOL MoveFileA(LPCSTR from, LPCSTR to) {
  Unredirected off;
  return ::MoveFileA(from, to);
}
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  Unredirected off;
  return ::MoveFileExA(from, to, flags);
}
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  Unredirected off;
  return ::CopyFileA(from, to, failIfExists);
}
BOOL CreateDirectoryA(LPCSTR path, void* security) {
  Unredirected off;
  return ::CreateDirectoryA(path, static_cast<LPSECURITY_ATTRIBUTES>(security));
}
BOOL RemoveDirectoryA(LPCSTR path) {
  Unredirected off;
  return ::RemoveDirectoryA(path);
}
DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD capacity) {
  Unredirected off;
  return ::GetShortPathNameA(longPath, shortPath, capacity);
}
DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD capacity) {
  // Looked up, not linked: Windows 95 and NT 4 would refuse to load the program.
  using Fn = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);
  const auto getLongPathName = SystemEntry<Fn>("kernel32.dll", "GetLongPathNameA");
  if (getLongPathName == nullptr) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
  }
  Unredirected off;
  return getLongPathName(shortPath, longPath, capacity);
}
UINT GetWindowsDirectoryA(LPSTR buffer, UINT capacity) {
  return ::GetWindowsDirectoryA(buffer, capacity);
}
UINT GetSystemDirectoryA(LPSTR buffer, UINT capacity) {
  return ::GetSystemDirectoryA(buffer, capacity);
}
DWORD GetTempPathA(DWORD capacity, LPSTR buffer) { return ::GetTempPathA(capacity, buffer); }
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD capacity) {
  return ::ExpandEnvironmentStringsA(source, destination, capacity);
}

int _open(const char* path, int flags, int permission) {
  Unredirected off;
  return ::_open(path, flags, permission);
}
int _read(int fd, void* buffer, unsigned int count) { return ::_read(fd, buffer, count); }
int _write(int fd, const void* buffer, unsigned int count) { return ::_write(fd, buffer, count); }
long _lseek(int fd, long offset, int origin) { return ::_lseek(fd, offset, origin); }
long _filelength(int fd) { return ::_filelength(fd); }
int _close(int fd) { return ::_close(fd); }
int _access(const char* path, int mode) {
  Unredirected off;
  return ::_access(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
  Unredirected off;
  return ::fopen(path, mode);
}
char* fgets(char* buffer, int capacity, FILE* stream) { return ::fgets(buffer, capacity, stream); }
int fclose(FILE* stream) { return ::fclose(stream); }

}  // namespace plat
