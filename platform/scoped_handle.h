// Handles closed on every way out of a scope: one template, a closer for each kind of handle.
//
//   plat::ScopedKey key;
//   if (plat::RegOpenKeyExA(root, path, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return;
//   plat::SearchHandle search(plat::FindFirstFileA(pattern, &data));
//   if (!search.valid()) return;
#pragma once

#include "platform/files.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/services.h"

namespace plat {

// Owns one handle; Closer says which value means "none" and how to close the rest.
template <typename Closer>
class Scoped {
 public:
  using Type = typename Closer::Type;

  explicit Scoped(Type handle = Closer::None()) : handle_(handle) {}
  ~Scoped() { Reset(); }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

  Type get() const { return handle_; }
  bool valid() const { return Closer::Valid(handle_); }
  // Where an API that hands out a handle through a pointer puts it.
  Type* out() { return &handle_; }
  // Closes what is held and takes the new handle.
  void Reset(Type handle = Closer::None()) {
    if (valid()) Closer::Close(handle_);
    handle_ = handle;
  }
  // Closes now and tells whether the system closed it.
  bool Close() {
    const bool closed = valid() && Closer::Close(handle_);
    handle_ = Closer::None();
    return closed;
  }

 private:
  Type handle_;
};

struct FindCloser {
  using Type = HANDLE;
  static HANDLE None() { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static bool Close(HANDLE h) { return plat::FindClose(h) != FALSE; }
};

// Processes, snapshots and tokens: a failed open gives NULL, a failed snapshot
// INVALID_HANDLE_VALUE; neither is closed.
struct HandleCloser {
  using Type = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE h) { return plat::CloseHandle(h) != FALSE; }
};

struct KeyCloser {
  using Type = HKEY;
  static HKEY None() { return nullptr; }
  static bool Valid(HKEY k) { return k != nullptr; }
  static bool Close(HKEY k) { return plat::RegCloseKey(k) == ERROR_SUCCESS; }
};

struct ServiceCloser {
  using Type = SC_HANDLE;
  static SC_HANDLE None() { return nullptr; }
  static bool Valid(SC_HANDLE h) { return h != nullptr; }
  static bool Close(SC_HANDLE h) { return plat::CloseServiceHandle(h) != FALSE; }
};

using SearchHandle = Scoped<FindCloser>;
using ScopedHandle = Scoped<HandleCloser>;
using ScopedKey = Scoped<KeyCloser>;
using ServiceHandle = Scoped<ServiceCloser>;

}  // namespace plat
