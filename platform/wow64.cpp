// The per-thread registry view and file-system redirection switch, the same on both builds.
#include "platform/wow64.h"

namespace plat {
namespace {

thread_local REGSAM t_registryView = 0;
thread_local bool t_redirectionOff = false;

}  // namespace

RegistryViewScope::RegistryViewScope(REGSAM view) : previous_(t_registryView) {
  t_registryView = view;
}
RegistryViewScope::~RegistryViewScope() { t_registryView = previous_; }

FileSystemRedirectionOff::FileSystemRedirectionOff() : previous_(t_redirectionOff) {
  t_redirectionOff = true;
}
FileSystemRedirectionOff::~FileSystemRedirectionOff() { t_redirectionOff = previous_; }

REGSAM CurrentRegistryView() { return t_registryView; }
bool FileSystemRedirectionIsOff() { return t_redirectionOff; }

}  // namespace plat
