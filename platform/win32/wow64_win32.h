// Inside the Windows platform layer: entry points looked up at run time, and one file call made
// with the thread's file-system redirection off, when FileSystemRedirectionOff asked for it and
// the program runs under WoW64.
#pragma once

#include "platform/base.h"

namespace plat {

// An entry point of a system library the program has loaded already, or null where that
// Windows lacks it (linking it would keep the program from starting there).
template <typename Fn>
Fn SystemEntry(const char* library, const char* name) {
  HMODULE module = ::GetModuleHandleA(library);
  if (module == nullptr) return nullptr;
  // Through the generic function type, so that the compiler accepts the cast.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

class Unredirected {
 public:
  Unredirected();
  ~Unredirected();
  Unredirected(const Unredirected&) = delete;
  Unredirected& operator=(const Unredirected&) = delete;

 private:
  void* previous_ = nullptr;
  bool active_ = false;
};

}  // namespace plat
