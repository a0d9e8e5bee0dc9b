// WoW64 on Windows: IsWow64Process, the registry views, and the library search, each entry
// point found at run time so that the program still starts on systems without them.
#include "platform/win32/wow64_win32.h"

#include "platform/wow64.h"

namespace plat {
namespace {

template <typename Fn>
Fn Kernel32Entry(const char* name) {
  return SystemEntry<Fn>("kernel32.dll", name);
}

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE process, BOOL* wow64);
typedef BOOL(WINAPI* Wow64DisableFn)(void** previous);
typedef BOOL(WINAPI* Wow64RevertFn)(void* previous);
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryAFn)(LPCSTR path);

constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

}  // namespace

bool RunsUnderWow64() {
  static const bool wow64 = [] {
    auto isWow64 = Kernel32Entry<IsWow64ProcessFn>("IsWow64Process");
    BOOL result = FALSE;
    return isWow64 != nullptr && isWow64(::GetCurrentProcess(), &result) && result;
  }();
  return wow64;
}

size_t RegistryViews(REGSAM (&views)[2]) {
  if (sizeof(void*) == 8 || RunsUnderWow64()) {
    views[0] = KEY_WOW64_64KEY;
    views[1] = KEY_WOW64_32KEY;
    return 2;
  }
  views[0] = 0;
  return 1;
}

void RestrictLibrarySearch() {
  if (auto setDefault = Kernel32Entry<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories")) {
    setDefault(kSearchSystem32);
  }
  // Takes the current folder out of the search where the call above does not exist.
  if (auto setDirectory = Kernel32Entry<SetDllDirectoryAFn>("SetDllDirectoryA")) setDirectory("");
}

Unredirected::Unredirected() {
  if (!FileSystemRedirectionIsOff() || !RunsUnderWow64()) return;
  static const auto disable = Kernel32Entry<Wow64DisableFn>("Wow64DisableWow64FsRedirection");
  active_ = disable != nullptr && disable(&previous_);
}

Unredirected::~Unredirected() {
  if (!active_) return;
  static const auto revert = Kernel32Entry<Wow64RevertFn>("Wow64RevertWow64FsRedirection");
  const DWORD error = ::GetLastError();
  if (revert != nullptr) revert(previous_);
  ::SetLastError(error);
}

}  // namespace plat
