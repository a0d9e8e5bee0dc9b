// Processes and the system itself: version query, run-time library lookup, toolhelp and
// psapi (reached only through GetProcAddress), process open and termination, the process
// token's privileges, Unicode conversion, restart, and the run-time library's exit.
#pragma once

#include "platform/base.h"

#ifdef _WIN32
#include <tlhelp32.h>
#else

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA* LPOSVERSIONINFOA;

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

struct PROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
};
typedef PROCESSENTRY32* LPPROCESSENTRY32;

#define TH32CS_SNAPPROCESS 0x00000002

#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
typedef LUID* PLUID;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES* PTOKEN_PRIVILEGES;

#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_QUERY 0x0008
#define SE_PRIVILEGE_ENABLED 0x00000002

#define EWX_LOGOFF 0
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004

#define CP_ACP 0

#endif  // _WIN32

// Entry points that the logic finds with GetProcAddress; the same shapes on both builds.
typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* Process32FirstFn)(HANDLE snapshot, PROCESSENTRY32* entry);
typedef BOOL(WINAPI* Process32NextFn)(HANDLE snapshot, PROCESSENTRY32* entry);
typedef BOOL(WINAPI* EnumProcessesFn)(DWORD* ids, DWORD bytes, DWORD* bytesReturned);
typedef DWORD(WINAPI* GetModuleFileNameExAFn)(HANDLE process, HMODULE module, LPSTR name,
                                              DWORD capacity);
typedef BOOL(WINAPI* QueryFullProcessImageNameAFn)(HANDLE process, DWORD flags, LPSTR name,
                                                   DWORD* size);

namespace plat {

BOOL GetVersionExA(OSVERSIONINFOA* info);

HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL CloseHandle(HANDLE handle);
HANDLE GetCurrentProcess();

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                           DWORD* returnLength);

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR narrow,
                        int narrowCapacity, LPCSTR defaultChar, BOOL* usedDefaultChar);

// Asks Windows to shut down or restart. The Linux back end refuses (it never restarts the
// host); the tests record the request.
BOOL ExitWindowsEx(UINT flags, DWORD reason);

// The run-time library's exit: ends the program. The tests record the call and unwind to the
// test instead of ending the test program.
[[noreturn]] void exit(int status);

}  // namespace plat
