// A Windows installation that is not running, scanned from outside: its disk is mounted on a
// rescue system, and its registry lives in hive files that are read and written with hivex.
// Host build only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class OfflineVolume {
 public:
  OfflineVolume();
  ~OfflineVolume();
  OfflineVolume(const OfflineVolume&) = delete;
  OfflineVolume& operator=(const OfflineVolume&) = delete;

  // root: the host folder that was the installation's C: drive (the caller maps C: to it).
  // Finds <root>/Windows/System32/config/SOFTWARE and SYSTEM (each component matched without
  // regard to case) and loads into the simulated machine's registry what the cleanup reads:
  // HKLM "Software\Microsoft\Windows\CurrentVersion\Run" and "...\RunServices" from SOFTWARE,
  // and the trees HKLM "SYSTEM\ControlSet001\Services" and "SYSTEM\ControlSet002\Services" from
  // SYSTEM. Values keep their types and bytes, except that string data (REG_SZ, REG_EXPAND_SZ,
  // REG_MULTI_SZ), stored in UTF-16, is given as the ANSI calls give it. Missing hives or keys
  // are not errors; a hive that cannot be read is (the message in *error).
  // Also sets the machine up as that installation: Windows and system folders as spelled on
  // disk, NT 5.1, and deletes at reboot refused (no next boot will carry them out). Call once.
  bool Open(const std::string& root, std::string* error);

  // After the scan. removed: the Windows paths ("C:\...") of the files the scan removed. First
  // removes from both control sets every service whose ImagePath names one of those files (the
  // whole key with its subkeys), calling onRemoved(serviceName) once for each name. Then writes
  // the removals made in the loaded keys since Open (values and keys deleted; nothing else) back
  // to the hive files. A hive without removals is not rewritten. A rewritten hive goes to a new
  // file beside it, the old one is kept as "<name>.vexpurge-backup" until the new one is
  // complete and flushed, the new one then takes the hive's name, and the backup goes. On
  // failure the hive file is unchanged and *error says why. The volume is closed afterwards.
  bool Commit(const std::vector<std::string>& removed,
              const std::function<void(const std::string&)>& onRemoved, std::string* error);

 private:
  struct Hive;
  std::vector<std::unique_ptr<Hive>> hives_;
  std::string windowsFolder_;  // "C:\Windows" as spelled on disk
};
