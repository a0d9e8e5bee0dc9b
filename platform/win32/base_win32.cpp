// Base calls on Windows: straight to kernel32.
#include "platform/base.h"

namespace plat {

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

}  // namespace plat
