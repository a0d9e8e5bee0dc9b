// Removal of the start-up registry values that launch an infected file, run after every
// detection, together with the check of the hosts file for the text signature.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/registry.h"

extern const char kRunKey[];
extern const char kRunServicesKey[];

// Hands the hosts file to the text scanner unless this scan has checked it already, deletes the
// value name an earlier sweep matched from both start-up keys, and sweeps both keys for values
// that start currentFilePath. With removalAction ActionReportOnly nothing is deleted: each value
// that would be is reported as not removed as per the user's selection, once.
void CleanupAfterDetection(const char* detectionName);

// Hands the hosts file at its Windows location to the text scanner and marks it checked for
// this scan. drive: the drive letter to look on; 0 for the Windows folder's own drive.
void CheckHostsFile(char drive = 0);

// Deletes every value under the key whose data starts the file in currentFilePath (report-only:
// reports each instead).
void SweepStartupKey(HKEY root, const char* keyPath);

// Where a deletion in the registry does not last by itself (an installation's hives loaded into
// the machine's registry), the front end keeps it: canChange is asked before a value of the key
// is deleted, save after; a false from either leaves the value reported as not removed, with the
// reason. Empty functions: a deletion lasts once the registry call succeeds.
struct RegistryWriteBack {
  std::function<bool(const char* keyPath, std::string* why)> canChange;
  std::function<bool(std::string* why)> save;
};
void SetRegistryWriteBack(RegistryWriteBack writeBack);

// A command line as Windows reads it, in place: blanks before it skipped, and a slash in the path
// taken as a backslash (outside quotes, one after a blank starts a switch).
void NormalizeCommand(char* text);

// Deletes one value; true when it was deleted (and the key closed cleanly).
bool DeleteRegistryValue(HKEY root, const char* keyPath, const char* valueName);

// Reads one value's data as text into destination (capacity bytes), always terminated. Data
// that does not fit is not read: the call fails instead.
bool ReadRegistryValue(HKEY root, const char* keyPath, const char* valueName, char* destination,
                       size_t capacity);
