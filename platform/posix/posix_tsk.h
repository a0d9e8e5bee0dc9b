// The Sleuth Kit's functions that the image drives and the image scan call, found at run time.
// The library, and the forty it pulls in, is loaded the first time an image is opened: a run
// that opens none neither pays for mapping them nor needs them installed. Its headers still
// give the types.
//
//   std::string why;
//   const posix::TskLibrary* tsk = posix::LoadTsk(&why);
//   if (tsk == nullptr) ...;  // why: what the loader said
//   TSK_IMG_INFO* image = tsk->img_open_utf8_sing(path, TSK_IMG_TYPE_RAW, 0);
#pragma once

#include <tsk/libtsk.h>

#include <string>

namespace posix {

// Each tsk_<name> function of the library, as <name>.
struct TskLibrary {
  decltype(&::tsk_error_get) error_get;
  decltype(&::tsk_error_reset) error_reset;
  decltype(&::tsk_img_open_utf8_sing) img_open_utf8_sing;
  decltype(&::tsk_img_read) img_read;
  decltype(&::tsk_img_close) img_close;
  decltype(&::tsk_vs_open) vs_open;
  decltype(&::tsk_vs_part_get) vs_part_get;
  decltype(&::tsk_vs_part_read) vs_part_read;
  decltype(&::tsk_vs_close) vs_close;
  decltype(&::tsk_fs_open_img) fs_open_img;
  decltype(&::tsk_fs_open_vol) fs_open_vol;
  decltype(&::tsk_fs_type_toname) fs_type_toname;
  decltype(&::tsk_fs_close) fs_close;
  decltype(&::tsk_fs_dir_open_meta) fs_dir_open_meta;
  decltype(&::tsk_fs_dir_getsize) fs_dir_getsize;
  decltype(&::tsk_fs_dir_get) fs_dir_get;
  decltype(&::tsk_fs_dir_close) fs_dir_close;
  decltype(&::tsk_fs_file_open_meta) fs_file_open_meta;
  decltype(&::tsk_fs_file_walk) fs_file_walk;
  decltype(&::tsk_fs_file_read) fs_file_read;
  decltype(&::tsk_fs_file_close) fs_file_close;
};

// Loads the library the first time it is asked for and gives its functions; nullptr, with what
// the loader said in *why, when the library or one of the functions cannot be found (asked
// again, it fails again). Safe from any thread.
const TskLibrary* LoadTsk(std::string* why);

// The name the library is loaded by: the soname it had when the program was built.
std::string TskLibraryName();

// The functions LoadTsk gave. Where it gives none, calling this is a mistake of the caller's
// and ends the program.
const TskLibrary& tsk();

}  // namespace posix
