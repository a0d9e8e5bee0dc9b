// WoW64 on the Linux back end: the redirected system folder and registry view a 32-bit
// program sees on 64-bit Windows, and the switches that reach the real ones.
#include <cctype>

#include "platform/posix/posix_internal.h"
#include "platform/wow64.h"

namespace posix {
namespace {

using Width = Machine::Width;

bool SameText(const std::string& a, const char* b) { return plat::_stricmp(a.c_str(), b) == 0; }

}  // namespace

bool SeesWow6432Node(HKEY root, REGSAM access) {
  const Width width = machine().width;
  if (width == Width::None || root != HKEY_LOCAL_MACHINE) return false;
  return (access & KEY_WOW64_32KEY) != 0 ||
         ((access & KEY_WOW64_64KEY) == 0 && width == Width::Program32On64);
}

void RedirectSystemFolder(char letter, std::vector<std::string>* components) {
  const Machine& m = machine();
  if (m.width != Width::Program32On64 || plat::FileSystemRedirectionIsOff()) return;
  const std::string& system = m.systemDirectory;
  if (system.size() < 3 || std::toupper(static_cast<unsigned char>(system[0])) != letter) return;
  const std::vector<std::string> folder = SplitPath(system.substr(2));
  if (folder.empty() || components->size() < folder.size()) return;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (!SameText((*components)[i], folder[i].c_str())) return;
  }
  const size_t next = folder.size();
  if (components->size() >= next + 2 && SameText((*components)[next], "drivers") &&
      SameText((*components)[next + 1], "etc")) {
    return;
  }
  (*components)[next - 1] = "SysWOW64";
}

}  // namespace posix

namespace plat {

bool RunsUnderWow64() { return posix::machine().width == posix::Machine::Width::Program32On64; }

size_t RegistryViews(REGSAM (&views)[2]) {
  if (posix::machine().width == posix::Machine::Width::None) {
    views[0] = 0;
    return 1;
  }
  views[0] = KEY_WOW64_64KEY;
  views[1] = KEY_WOW64_32KEY;
  return 2;
}

void RestrictLibrarySearch() { posix::machine().librarySearchRestricted = true; }

}  // namespace plat
