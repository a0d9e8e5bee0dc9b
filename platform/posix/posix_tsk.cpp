// Loading The Sleuth Kit with dlopen, once, and never unloading it: the files and file systems
// opened through it may live until the program ends.
#include "platform/posix/posix_tsk.h"

#include <dlfcn.h>

#include <cstdlib>

#ifndef VEXPURGE_TSK_SONAME
#error "VEXPURGE_TSK_SONAME: the soname of the libtsk the program is built against"
#endif

namespace posix {

namespace {

struct Loaded {
  TskLibrary functions = {};
  bool ok = false;
  std::string why;
};

// Stores the library's function named so in *slot; false, with the loader's message in *why,
// when the library has none.
template <typename Function>
bool Find(void* library, const char* name, Function* slot, std::string* why) {
  void* address = ::dlsym(library, name);
  if (address == nullptr) {
    const char* message = ::dlerror();
    *why = message != nullptr ? message : std::string(name) + ": not found";
    return false;
  }
  *slot = reinterpret_cast<Function>(address);
  return true;
}

Loaded Load() {
  Loaded loaded;
  const std::string name = TskLibraryName();
  // Every symbol bound now: a library that lacks one of its own dependencies' fails here, not
  // in the middle of a scan.
  void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* message = ::dlerror();
    loaded.why = message != nullptr ? message : name + ": cannot be opened";
    return loaded;
  }
  TskLibrary& f = loaded.functions;
  std::string& why = loaded.why;
  loaded.ok = Find(library, "tsk_error_get", &f.error_get, &why) &&
              Find(library, "tsk_error_reset", &f.error_reset, &why) &&
              Find(library, "tsk_img_open_utf8_sing", &f.img_open_utf8_sing, &why) &&
              Find(library, "tsk_img_read", &f.img_read, &why) &&
              Find(library, "tsk_img_close", &f.img_close, &why) &&
              Find(library, "tsk_vs_open", &f.vs_open, &why) &&
              Find(library, "tsk_vs_part_get", &f.vs_part_get, &why) &&
              Find(library, "tsk_vs_part_read", &f.vs_part_read, &why) &&
              Find(library, "tsk_vs_close", &f.vs_close, &why) &&
              Find(library, "tsk_fs_open_img", &f.fs_open_img, &why) &&
              Find(library, "tsk_fs_open_vol", &f.fs_open_vol, &why) &&
              Find(library, "tsk_fs_type_toname", &f.fs_type_toname, &why) &&
              Find(library, "tsk_fs_close", &f.fs_close, &why) &&
              Find(library, "tsk_fs_dir_open_meta", &f.fs_dir_open_meta, &why) &&
              Find(library, "tsk_fs_dir_getsize", &f.fs_dir_getsize, &why) &&
              Find(library, "tsk_fs_dir_get", &f.fs_dir_get, &why) &&
              Find(library, "tsk_fs_dir_close", &f.fs_dir_close, &why) &&
              Find(library, "tsk_fs_file_open_meta", &f.fs_file_open_meta, &why) &&
              Find(library, "tsk_fs_file_walk", &f.fs_file_walk, &why) &&
              Find(library, "tsk_fs_file_read", &f.fs_file_read, &why) &&
              Find(library, "tsk_fs_file_close", &f.fs_file_close, &why);
  // A library without them is of no use; it stays loaded all the same, as a working one does.
  return loaded;
}

const Loaded& Library() {
  static const Loaded loaded = Load();
  return loaded;
}

}  // namespace

std::string TskLibraryName() {
  // The tests name a library that is missing, or one without these functions, to see --image
  // refused; nothing else sets it.
  const char* name = std::getenv("VEXPURGE_TSK_LIBRARY");
  return name != nullptr && *name != '\0' ? name : VEXPURGE_TSK_SONAME;
}

const TskLibrary* LoadTsk(std::string* why) {
  const Loaded& loaded = Library();
  if (!loaded.ok) *why = loaded.why;
  return loaded.ok ? &loaded.functions : nullptr;
}

const TskLibrary& tsk() {
  const Loaded& loaded = Library();
  if (!loaded.ok) std::abort();
  return loaded.functions;
}

}  // namespace posix
