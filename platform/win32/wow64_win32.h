// Inside the Windows platform layer: one file call made with the thread's file-system
// redirection off, when FileSystemRedirectionOff asked for it and the program runs under WoW64.
#pragma once

#include "platform/base.h"

namespace plat {

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
