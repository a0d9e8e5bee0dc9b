// vexpurge-scan --image: the NTFS and FAT file systems of a disk image, each a fixed drive of the
// Linux back end whose files are read out of the image (posix::FileSystemVolume). The image is
// opened read-only and never written. Host build only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/offline_volume.h"
#include "cli/report_output.h"
#include "engine/findings.h"

class DiskImage {
 public:
  DiskImage();
  ~DiskImage();
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  // Opens the image at path (as the user gave it) and finds the file systems to scan: those of
  // the partitions of its partition table, or the image itself taken as one. False, with the
  // message in *error, when there is nothing to scan. Each partition that is left out is told
  // to problems (a partition that should hold a file system that cannot be read, or an
  // encrypted one: it makes the run incomplete) or to notes (one without an NTFS or FAT file
  // system: only said).
  bool Open(const std::string& path, std::string* error);
  std::vector<std::string> problems;
  std::vector<std::string> notes;

  // The machine's fixed drives C:, D:, ... take the file systems, the one that holds a Windows
  // installation first, the others in the image's order; paths under them are shown as
  // "IMAGE:pN:\path" ("IMAGE:\path" for a bare file system). The number of drives mapped.
  size_t MapDrives(ReportOutput* output);
  // After MapDrives: the file systems besides C: that hold a Windows installation too, as shown
  // ("IMAGE:pN"). Their files are scanned like any others; their registry is not read.
  std::vector<std::string> OtherInstallations() const;

  // When C: holds Windows\System32\config\SOFTWARE or SYSTEM, copies them to private temporary
  // files under $TMPDIR (removed once opened) and opens them on the volume, to report only. False,
  // with the problems in *error, when a hive cannot be copied or read.
  bool OpenRegistry(OfflineVolume* volume, const ReportOutput& output, std::string* error);
  // Whether OpenRegistry opened the volume (the image holds an installation).
  bool HasRegistry() const;

  // What the progress line shows: the partition being scanned, the files and bytes done.
  std::string Progress(const std::string& status, int filesScanned) const;

  // The Windows paths of files opened that could not be read to the end.
  std::vector<std::string> Unreadable() const;

  // Copies each file found out of the image into folder: "<name>", or "<name>.1", ".2", ...
  // when that is taken, and "<that>.location" beside it (the path shown, a tab, the detection
  // name). False, with the problems in *error, when any could not be copied (nothing is left of
  // such a copy).
  bool Extract(const std::vector<Finding>& findings, const std::string& folder,
               const ReportOutput& output, std::string* error) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The partition a drive letter of an image scan stands for: "p2", or "" for a bare file system
// or a letter that is no drive of the image.
std::string ImagePartitionOf(char letter);
