// vexpurge-scan on Linux: the engine's walker and matcher over folders and files of this
// machine, each folder taken as a fixed drive of the Windows machine the Linux back end makes of
// them, over the C: drive of a Windows installation that is not running (--windows-root), or over
// the file systems of a disk image, read only (--image, cli/image_scan.h). Prints
// each results-list line as the window would show it, with paths as given, then the statistics
// block.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cleanup/startup_cleanup.h"
#include "cli/image_scan.h"
#include "cli/offline_volume.h"
#include "cli/report_output.h"
#include "cli/scan_options.h"
#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "engine/texts.h"
#include "platform/posix/posix_machine.h"
#include "platform/posix/posix_readahead.h"

namespace {

enum ExitStatus { kNothingFound = 0, kFound = 1, kError = 2 };

// Threads reading files when --threads is not given. On a cold disk 16 keep enough reads in
// flight (16 and 32 measured best, 4 and 8 behind); from the page cache the program reads alone
// whatever the count, as the readers only start when it waits for the disk (bench/README.md).
constexpr int kDefaultThreads = 16;

bool IsFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsReadableFolder(const std::string& path) {
  if (!IsFolder(path)) return false;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  ::closedir(dir);
  return true;
}

bool IsReadableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), R_OK) == 0;
}

std::string Absolute(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string result = real;
  std::free(real);
  return result;
}

// The path from the root of this machine, whether or not it exists any more.
std::string FullName(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char folder[4096];
  if (::getcwd(folder, sizeof folder) == nullptr) return path;
  return std::string(folder) + "/" + path;
}

bool Inside(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

std::string Drive(char letter) { return std::string(1, letter) + ":\\"; }

// Each file once: a target that repeats another, or lies in a folder target, is left out (the
// first spelling given is the one shown).
void DropRepeatedTargets(std::vector<std::string>* folders, std::vector<std::string>* files) {
  std::vector<std::string> kept, keptReal, folderReal;
  for (const std::string& folder : *folders) folderReal.push_back(Absolute(folder));
  for (size_t i = 0; i < folders->size(); ++i) {
    bool repeated = false;
    for (size_t j = 0; j < folders->size() && !repeated; ++j) {
      repeated = j != i && Inside(folderReal[i], folderReal[j]) &&
                 (folderReal[i] != folderReal[j] || j < i);
    }
    if (repeated) continue;
    kept.push_back((*folders)[i]);
    keptReal.push_back(folderReal[i]);
  }
  *folders = kept;
  std::vector<std::string> keptFiles, filesReal;
  for (const std::string& file : *files) {
    const std::string real = Absolute(file);
    bool repeated = std::find(filesReal.begin(), filesReal.end(), real) != filesReal.end();
    for (const std::string& folder : keptReal) repeated = repeated || Inside(real, folder);
    if (repeated) continue;
    keptFiles.push_back(file);
    filesReal.push_back(real);
  }
  *files = keptFiles;
}

// What the scan could not look into goes to standard error, under the path the user gave; it
// makes the exit status 2 unless something was found.
ReportOutput* g_notScannedOutput = nullptr;
void SayNotScanned(const char* path, const char* reason) {
  if (g_notScannedOutput->progress) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "vexpurge-scan: %s: %s, not scanned\n",
               Printable(g_notScannedOutput->TranslatePath(path)).c_str(), reason);
}

// The part of a Windows path below its drive's folder as the disk spells it: the Linux back
// end finds names without regard to case. A file that is gone keeps its own name.
std::string SpelledOnDisk(const std::string& windowsPath) {
  const posix::Machine& machine = posix::machine();
  const size_t slash = windowsPath.rfind('\\');
  // A folder's "." and ".." entries stay as listed: on the host they would fold into the folder.
  const std::string last = slash == std::string::npos ? "" : windowsPath.substr(slash + 1);
  std::string host = last == "." || last == ".." ? "" : machine.HostPath(windowsPath), name;
  if (host.empty() && slash != std::string::npos) {
    host = machine.HostPath(windowsPath.substr(0, slash + 1));
    name = windowsPath.substr(slash + 1);
    for (char& c : name) {
      if (c == posix::kBackslashInName) c = '\\';
    }
  }
  const std::string root = machine.HostPath(windowsPath.substr(0, 3));
  if (host.empty() || root.empty() || host.compare(0, root.size(), root) != 0) return "";
  std::string rest = host.substr(root.size()) + (name.empty() ? "" : "/" + name);
  rest.erase(0, rest.find_first_not_of('/'));
  return rest;
}

// Each scanned volume's hosts file is checked once, whether or not a binary turns up; the
// drives C:, D:, ... hold the folders in the order given.
void CheckHostsFiles(size_t folderCount) {
  for (size_t i = 0; i < folderCount && !g_scan.terminateRequested; ++i)
    CheckHostsFile(static_cast<char>('C' + i));
  g_scan.hostsChecked = true;
}

// A symbolic link named on the command line stands for the file it points to: that file is
// scanned and acted on (a removed link would leave the infected file in place), and the user
// is told so.
std::string FollowLink(const std::string& file, ReportOutput* output) {
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return file;
  const std::string target = Absolute(file);
  output->Extra(file + " is a symbolic link: the file it points to is scanned, " + target);
  return target;
}

// A line that cannot be written ends the run: nothing more is done that could not be reported.
void StopIfUnwritten(const ReportOutput& output) {
  if (!output.failure().empty()) g_scan.terminateRequested = true;
}

ScanTotals Totals(int exitStatus) {
  ScanTotals totals;
  totals.filesScanned = g_scan.filesScanned;
  totals.filesInfected = g_scan.filesInfected;
  totals.filesRemoved = g_scan.filesRemoved;
  totals.filesNotScanned = g_scan.filesNotScanned;
  totals.exitStatus = exitStatus;
  return totals;
}

// Each line of a message on a line of its own, each named as the program's.
void SayLines(const std::string& message) {
  size_t start = 0;
  for (size_t end; (end = message.find('\n', start)) != std::string::npos; start = end + 1)
    std::fprintf(stderr, "vexpurge-scan: %s\n",
                 Printable(message.substr(start, end - start)).c_str());
  std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(message.substr(start)).c_str());
}

int Unwritten(const ReportOutput& output) {
  std::fprintf(stderr, "vexpurge-scan: cannot write to %s\n", Printable(output.failure()).c_str());
  return kError;
}

}  // namespace

int main(int argc, char** argv) {
  ScanOptions options;
  std::string error;
  if (!ParseScanOptions(argc, argv, &options, &error)) {
    PrintUsage(error, false);
    return kError;
  }
  if (options.help) {
    PrintUsage("", true);
    return kNothingFound;
  }
  if (options.version) {
    std::printf("%s\n", kScanVersion);
    return kNothingFound;
  }
  if (options.listSignatures) {
    PrintSignatureTable();
    return kNothingFound;
  }
  const bool offline = !options.windowsRoot.empty();
  const bool image = !options.image.empty();
  if (image && (options.remove || options.rename || !options.moveTo.empty())) {
    std::fprintf(stderr,
                 "vexpurge-scan: --image only reports: a disk image is evidence and is never "
                 "changed; to clean what it holds, mount it and use --windows-root\n");
    return kError;
  }
  if (image && (offline || !options.targets.empty())) {
    PrintUsage("--image scans that image only", false);
    return kError;
  }
  if (!options.extract.empty() && !image) {
    PrintUsage("--extract goes with --image", false);
    return kError;
  }
  if (!options.extract.empty() && !IsReadableFolder(options.extract)) {
    std::fprintf(stderr, "vexpurge-scan: %s: not a folder\n", Printable(options.extract).c_str());
    return kError;
  }
  if (offline && !options.targets.empty()) {
    PrintUsage("--windows-root scans that volume only", false);
    return kError;
  }
  if (!offline && !image && options.targets.empty()) {
    PrintUsage("nothing to scan", false);
    return kError;
  }
  if (offline && !IsFolder(options.windowsRoot)) {
    std::fprintf(stderr,
                 "vexpurge-scan: %s: not a folder (the C: drive of a Windows installation)\n",
                 options.windowsRoot.c_str());
    return kError;
  }
  // Fixed drives C: to Z: (A: and B: are never walked) take the folders; B: the quarantine.
  std::vector<std::string> folders, files;
  for (const std::string& target :
       offline ? std::vector<std::string>{options.windowsRoot} : options.targets) {
    if (IsFolder(target) ? !IsReadableFolder(target) : !IsReadableFile(target)) {
      std::fprintf(stderr, "vexpurge-scan: %s: cannot be read\n", Printable(target).c_str());
      return kError;
    }
    (IsFolder(target) ? folders : files).push_back(target);
  }
  DropRepeatedTargets(&folders, &files);
  if (folders.size() + files.size() > 24) {
    PrintUsage("at most 24 paths at once", false);
    return kError;
  }
  if (!options.moveTo.empty()) {
    if (!IsReadableFolder(options.moveTo)) {
      std::fprintf(stderr, "vexpurge-scan: %s: not a folder\n", Printable(options.moveTo).c_str());
      return kError;
    }
    const std::string quarantine = Absolute(options.moveTo);
    for (const std::string& folder : folders) {
      if (Inside(quarantine, Absolute(folder))) {
        std::fprintf(stderr, "vexpurge-scan: the quarantine folder lies inside %s\n",
                     Printable(folder).c_str());
        return kError;
      }
    }
  }

  // A closed pipe is a failed write like any other, not the end of the process mid-action.
  std::signal(SIGPIPE, SIG_IGN);
  ReportOutput output;
  output.spelling = SpelledOnDisk;
  output.trace = options.trace;
  output.quiet = options.quiet;
  output.json = options.json;
  output.findings = &g_scan.findings;
  output.progress = !options.quiet && ::isatty(STDERR_FILENO);
  if (!options.log.empty() && !output.OpenLog(options.log)) {
    std::fprintf(stderr, "vexpurge-scan: %s: cannot be written\n", Printable(options.log).c_str());
    return kError;
  }

  // An image's files are read through the one library handle: nothing is read ahead there. The
  // readers start when the scan first waits for the disk; VEXPURGE_READ_AHEAD=always starts them
  // at once (the tests use it to compare the results of reading ahead with those without).
  const char* readAhead = std::getenv("VEXPURGE_READ_AHEAD");
  posix::SetReadAheadThreads(image                 ? 1
                             : options.threads > 0 ? options.threads
                                                   : kDefaultThreads,
                             readAhead != nullptr && std::strcmp(readAhead, "always") == 0);
  posix::Machine& machine = posix::machine();
  // Partitions of an image left unscanned count as files not scanned: status 2 unless something
  // was found.
  bool partlyScanned = false;
  DiskImage diskImage;
  size_t driveCount = folders.size();
  if (image) {
    const bool opened = diskImage.Open(options.image, &error);
    for (const std::string& problem : diskImage.problems)
      std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(problem).c_str());
    for (const std::string& note : diskImage.notes) {
      if (!options.quiet) std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(note).c_str());
    }
    if (!opened) {
      std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(error).c_str());
      output.Summary(Totals(kError));
      return kError;
    }
    partlyScanned = !diskImage.problems.empty();
    driveCount = diskImage.MapDrives(&output);
    // The registry read is C:'s alone: another installation's start-up entries and services are
    // left unchecked, which the run says and counts as incomplete.
    for (const std::string& other : diskImage.OtherInstallations()) {
      std::fprintf(stderr,
                   "vexpurge-scan: %s: holds another Windows installation; its files are "
                   "scanned, its start-up entries and services are not (mount it and use "
                   "--windows-root)\n",
                   Printable(other).c_str());
      partlyScanned = true;
    }
    // A file's partition is its drive's; the registry read is that of the installation, on C:.
    output.partition = [](const std::string& path) {
      if (path.compare(0, 5, "HKEY_") == 0) return ImagePartitionOf('C');
      return path.size() > 1 && path[1] == ':' ? ImagePartitionOf(path[0]) : std::string();
    };
    output.progressText = [&diskImage](const std::string& status, int scanned) {
      return diskImage.Progress(status, scanned);
    };
  }
  char letter = 'C';
  for (const std::string& folder : folders) {
    machine.MapDrive(letter, folder, DRIVE_FIXED);
    output.AddPathMapping(Drive(letter), folder);
    ++letter;
  }
  // A file's folder is mapped too, but not as a fixed drive: only the file itself is scanned.
  std::vector<std::string> fileTargets;
  for (const std::string& given : files) {
    const std::string file = FollowLink(given, &output);
    const size_t slash = file.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    machine.MapDrive(letter, folder, DRIVE_REMOTE);
    output.AddPathMapping(Drive(letter), folder);
    std::string name = file.substr(slash == std::string::npos ? 0 : slash + 1);
    std::replace(name.begin(), name.end(), '\\', posix::kBackslashInName);  // as the drive lists it
    fileTargets.push_back(Drive(letter) + name);
    ++letter;
  }
  if (!options.moveTo.empty()) {
    machine.MapDrive('B', options.moveTo, DRIVE_REMOVABLE);
    output.AddPathMapping(Drive('B'), options.moveTo);
    g_scan.quarantine = {
        "B:", [&output](const std::string& path) { return FullName(output.TranslatePath(path)); }};
  }

  const bool reportOnly = !options.remove && !options.rename && options.moveTo.empty();
  // A hive that cannot be read leaves its part of the registry unchecked: the files are scanned
  // all the same, and the run ends with an error.
  bool incomplete = false;
  OfflineVolume volume;
  // The service lines are results-list lines (with --json, findings of their own); where a
  // hive's backup is kept is the front end's own note.
  volume.report = [&output](const std::string& line) { output.Line(line, false); };
  volume.note = [&output](const std::string& line) { output.Extra(line); };
  if (offline && !volume.Open(options.windowsRoot, &error)) {
    std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(error).c_str());
    incomplete = true;
  }
  if (image && !diskImage.OpenRegistry(&volume, output, &error)) {
    SayLines(error);
    incomplete = true;
  }
  if (!reportOnly) {
    for (const std::string& problem : volume.Unwritable()) {
      std::fprintf(stderr,
                   "vexpurge-scan: %s; what the cleanup finds there is reported, not removed\n",
                   Printable(problem).c_str());
    }
  }

  // The engine reports through messages 10 and 11 to its main window: here a window of the
  // machine's own hands each status and line to the output as it comes.
  const HWND window = machine.CreateWindow([&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    if (message == SetStatusMessage) {
      output.Status(g_scan.statusText, g_scan.filesScanned);
      StopIfUnwritten(output);
    } else if (message == AppendLineMessage) {
      output.Line(g_scan.ReportLine, g_scan.statisticsBegun);
      StopIfUnwritten(output);
    }
    return 0;
  });
  g_scan.mainWindow = window;

  g_scan.removalAction = options.remove            ? ActionRemove
                         : options.rename          ? ActionRename
                         : !options.moveTo.empty() ? ActionQuarantine
                                                   : ActionReportOnly;
  g_notScannedOutput = &output;
  g_scan.notScannedHandler = SayNotScanned;
  // Files named on their own go straight to the matcher, as the walker would hand them over.
  g_scan.memorySweepActive = false;
  StopIfUnwritten(output);
  CheckHostsFiles(driveCount);
  for (const std::string& file : fileTargets) {
    if (g_scan.terminateRequested) break;
    CopyText(g_scan.statusText, file.c_str());
    PostStatus();
    ScanFileEntry(file.c_str());
  }
  CopyText(g_scan.scanTarget, driveCount == 0 ? "" : "!:");
  RunScan();

  const bool committed =
      !(offline || diskImage.HasRegistry()) ||
      volume.Commit(FilesTakenAway(g_scan.findings, reportOnly), reportOnly, &error);
  output.Finish();
  if (!committed) std::fprintf(stderr, "vexpurge-scan: %s\n", Printable(error).c_str());
  // A file of an image whose data gave out after it was opened was not scanned whole.
  for (const std::string& path : diskImage.Unreadable()) {
    std::fprintf(stderr, "vexpurge-scan: %s: cannot be read to the end, not scanned whole\n",
                 Printable(output.TranslatePath(path)).c_str());
    partlyScanned = true;
  }
  // Nothing more is done once a line could not be written.
  if (!options.extract.empty() && output.failure().empty() &&
      !diskImage.Extract(g_scan.findings, options.extract, output, &error)) {
    SayLines(error);
    incomplete = true;
  }
  const int status = !committed || incomplete || !output.failure().empty() ? kError
                     : g_scan.filesInfected > 0                            ? kFound
                     : g_scan.filesNotScanned > 0 || partlyScanned         ? kError
                                                                           : kNothingFound;
  output.Summary(Totals(status));
  if (committed && !output.failure().empty()) return Unwritten(output);
  return status;
}
