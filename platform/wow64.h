// A 32-bit program on 64-bit Windows (WoW64): the system folder and the registry's software
// keys it sees are redirected to their 32-bit counterparts unless it asks otherwise. These
// calls let the logic see the real file system and reach both registry views; on systems
// without WoW64 (9x, NT 4, 2000, 32-bit XP and later) they change nothing.
#pragma once

#include <cstddef>

#include "platform/registry.h"

#ifndef _WIN32
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#endif

namespace plat {

// True for a 32-bit program on 64-bit Windows (IsWow64Process, found at run time).
bool RunsUnderWow64();

// The registry views to act on, native one first: KEY_WOW64_64KEY and KEY_WOW64_32KEY on
// 64-bit Windows (for a 32-bit or 64-bit program alike), a single 0 everywhere else. Returns
// how many were written (at most 2).
size_t RegistryViews(REGSAM (&views)[2]);

// While it lives, this thread's registry opens, creations and key deletions through the
// platform layer act on the given view (0: the program's own).
class RegistryViewScope {
 public:
  explicit RegistryViewScope(REGSAM view);
  ~RegistryViewScope();
  RegistryViewScope(const RegistryViewScope&) = delete;
  RegistryViewScope& operator=(const RegistryViewScope&) = delete;

 private:
  REGSAM previous_;
};

// While it lives, this thread's file calls through the platform layer see the real file system:
// "System32" is the system's own folder and "SysWOW64" is itself. Library loads and the rest of
// the program keep the redirection Windows gives them.
class FileSystemRedirectionOff {
 public:
  FileSystemRedirectionOff();
  ~FileSystemRedirectionOff();
  FileSystemRedirectionOff(const FileSystemRedirectionOff&) = delete;
  FileSystemRedirectionOff& operator=(const FileSystemRedirectionOff&) = delete;

 private:
  bool previous_;
};

// The current registry view (0 outside every RegistryViewScope) and whether file redirection
// is off for this thread: what the platform layer's calls consult.
REGSAM CurrentRegistryView();
bool FileSystemRedirectionIsOff();

// Restricts the library search of the whole process to the system folder where Windows allows
// it, so that no library lying beside the program is ever loaded in place of a system one. Called
// once at start; LoadLibraryA of the platform layer loads bare names from the system folder.
void RestrictLibrarySearch();

}  // namespace plat
