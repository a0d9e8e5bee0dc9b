// A Windows installation that is not running, scanned from outside: its disk is mounted on a
// rescue system, and its registry lives in hive files that are read and written with hivex.
// Host build only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/findings.h"

// The Windows paths of the files a scan took away (removed, renamed or moved to quarantine), or
// with reportOnly of the binaries it found: the files whose services Commit takes away.
std::vector<std::string> FilesTakenAway(const std::vector<Finding>& findings, bool reportOnly);

class OfflineVolume {
 public:
  OfflineVolume();
  ~OfflineVolume();
  OfflineVolume(const OfflineVolume&) = delete;
  OfflineVolume& operator=(const OfflineVolume&) = delete;

  // Takes the volume's own results-list lines: where a changed hive's backup is, and the services.
  std::function<void(const std::string&)> report;
  // Takes the line that says where a changed hive's backup is, when set (else report does): with
  // machine-readable output it has no finding of its own to stand in for it.
  std::function<void(const std::string&)> note;

  // root: the host folder that was the installation's C: drive (the caller maps C: to it).
  // Finds <root>/Windows/System32/config/SOFTWARE and SYSTEM (each component matched without
  // regard to case) and loads into the machine's registry what the cleanup reads:
  // HKLM "Software\Microsoft\Windows\CurrentVersion\Run" and "...\RunServices" from SOFTWARE,
  // and the trees HKLM "SYSTEM\ControlSet001\Services" and "SYSTEM\ControlSet002\Services" from
  // SYSTEM. Values keep their types and bytes, except that string data (REG_SZ, REG_EXPAND_SZ,
  // REG_MULTI_SZ), stored in UTF-16, is given as the ANSI calls give it. Missing hives or keys
  // are not errors. A hive that cannot be read is left out (none of its keys is loaded): false,
  // with each such hive and its problem in plain words in *error; the volume is usable all the
  // same. Whether each hive can be written is settled here too (see Unwritable).
  // Also sets the machine up as that installation: Windows and system folders as spelled on
  // disk, NT 5.1, and deletes at reboot refused (no next boot will carry them out); and has the
  // start-up cleanup keep its deletions through Save (SetRegistryWriteBack) until Commit. Call
  // once.
  bool Open(const std::string& root, std::string* error);

  // An installation whose C: drive the machine shows already (a file system of a disk image),
  // its hives copied out of it into host files by the caller.
  struct InstallationCopy {
    std::string windowsFolder = "C:\\Windows";  // as spelled on the volume
    std::string systemName = "System32";        // the system folder's name, as spelled there
    std::string tempName = "Temp";
    // The copies ("" for a hive the installation lacks), and how messages name each.
    std::string software, softwareShown;
    std::string system, systemShown;
  };
  // As Open, with the hives read from the copies. Nothing is ever written back: each hive's keys
  // refuse every change, and Unwritable names them. For a scan that only reports.
  bool OpenCopies(const InstallationCopy& copy, std::string* error);

  // The hives that cannot be written, each with the reason: their keys refuse every change.
  std::vector<std::string> Unwritable() const;

  // Writes the removals made in the loaded keys since the last write (values and keys deleted;
  // nothing else) to the hive files; a hive without removals is not rewritten. A rewritten hive
  // goes to a new file beside the file that holds it (the target of a symbolic link), gets its
  // owner and mode, is flushed and then takes its place. Before a hive's first change the hive
  // as it was is copied to "<file>.vexpurge-backup" (or ".1", ".2", ... after it, so that no
  // earlier backup is overwritten), which stays; report is told where. On failure the hive file
  // is as before this write, *why says why, and the hive is written no more.
  bool Save(std::string* why);

  // After the scan. files: the Windows paths ("C:\...") of the files the scan took away, or with
  // reportOnly those it found. Every service in both control sets whose ImagePath runs one of
  // them is removed (the whole key with its subkeys) and saved, or with reportOnly left alone,
  // and report gets one line per service name: "... removed (service NAME)" once written,
  // "... not removed as per user's selection (service NAME)", or "... not removed (service NAME):
  // why". False when anything the cleanup meant to remove during the run stayed for a problem
  // of the hives (*error lists them). The volume is closed afterwards.
  bool Commit(const std::vector<std::string>& files, bool reportOnly, std::string* error);

 private:
  struct Hive;
  // A hive file to load, in the order of SOFTWARE and SYSTEM; path "" for one that is missing.
  struct HiveSource {
    std::string path;
    std::string shown;
    bool copy = false;
  };
  void SetUp(const std::string& windowsFolder, const std::string& system, const std::string& temp);
  bool LoadHives(const std::vector<HiveSource>& sources, std::string* error);
  bool LoadHive(size_t fileIndex, Hive* hive, std::string* error);
  // Whether the hive holding this key can take a change of it (rewritesValues: its values are
  // written again, which some stored forms do not allow).
  bool Writable(const std::string& registryKey, bool rewritesValues, std::string* why);
  void Failed(const std::string& why);

  std::vector<std::unique_ptr<Hive>> hives_;
  std::string windowsFolder_;  // "C:\Windows" as spelled on disk
  std::map<std::string, std::string>
      longImagePaths_;  // service key (lower case): 8.3 aliases resolved
  std::vector<std::string> failures_;
  bool writeBackSet_ = false;
};
