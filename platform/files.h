// Files and folders: the kernel32 file calls, the system folders, environment expansion and
// the run-time library's descriptor I/O and stdio reading, with their Win32 names and shapes.
#pragma once

#include <cstdio>

#include "platform/base.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_ATTRIBUTE_OFFLINE 0x00001000
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))

// Reparse tags, found in dwReserved0 of an entry that carries a reparse point.
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003u
#define IO_REPARSE_TAG_SYMLINK 0xA000000Cu
#define IO_REPARSE_TAG_DEDUP 0x80000013u
#define IO_REPARSE_TAG_WOF 0x80000017u

#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

// The run-time library's open flags and permission bits, with the values of msvcrt.
#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

#endif  // _WIN32

// Placeholders whose data is not on the volume: reading them fetches it from elsewhere.
#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif

namespace plat {

// How the Linux back end shows a backslash inside a host file name in Windows names (which it
// would part); a Windows file name never holds this character.
constexpr char kBackslashInName = '\x1c';

// kernel32
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE search);
UINT GetDriveTypeA(LPCSTR root);
DWORD GetFileAttributesA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL DeleteFileA(LPCSTR path);
BOOL MoveFileA(LPCSTR from, LPCSTR to);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
BOOL CreateDirectoryA(LPCSTR path, void* security);
BOOL RemoveDirectoryA(LPCSTR path);
DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD capacity);
// Every 8.3 alias in an existing path replaced by its long name. Where kernel32 lacks the call
// (Windows 95, NT 4) it fails with ERROR_CALL_NOT_IMPLEMENTED.
DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD capacity);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT capacity);
UINT GetSystemDirectoryA(LPSTR buffer, UINT capacity);
DWORD GetTempPathA(DWORD capacity, LPSTR buffer);
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD capacity);

// Run-time library: unbuffered descriptors. Lengths and positions are 32-bit, as in msvcrt.
int _open(const char* path, int flags, int permission = 0);
int _read(int fd, void* buffer, unsigned int count);
int _write(int fd, const void* buffer, unsigned int count);
long _lseek(int fd, long offset, int origin);
long _filelength(int fd);
int _close(int fd);
int _access(const char* path, int mode);

// Run-time library: stdio. Text mode ("r") delivers "\r\n" as "\n" and stops at a Ctrl-Z.
FILE* fopen(const char* path, const char* mode);
char* fgets(char* buffer, int capacity, FILE* stream);
int fclose(FILE* stream);

}  // namespace plat
