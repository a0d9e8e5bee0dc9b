// vexpurge-scan.exe: runs the scan on Windows without the desktop window, printing the results
// list as the main window would show it. With no path it scans every fixed drive; a file is
// checked on its own. Files are only reported unless --remove or --rename is given.
#include <cstdio>
#include <cstring>
#include <string>

#include "cleanup/startup_cleanup.h"
#include "cli/report_output.h"
#include "cli/scan_options.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "platform/base.h"
#include "platform/scoped_handle.h"
#include "platform/wow64.h"

namespace {

ReportOutput g_output;

// A message-only window takes the engine's two messages, as the main window would.
LRESULT CALLBACK ReportWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case AppendLineMessage:
      g_output.Line(g_scan.ReportLine, g_scan.statisticsBegun);
      // A line that cannot be written ends the run: nothing more is done unreported.
      if (!g_output.failure().empty()) g_scan.terminateRequested = true;
      return 0;
    case SetStatusMessage:
      g_output.Status(g_scan.statusText, g_scan.filesScanned);
      if (!g_output.failure().empty()) g_scan.terminateRequested = true;
      return 0;
    default:
      return ::DefWindowProcA(window, message, wParam, lParam);
  }
}

// The file a symbolic link points to (the path itself when it is no link): the one to act on,
// since deleting the link would leave the infected file in place. GetFinalPathNameByHandleA
// exists from Vista on and is looked up when needed.
bool FollowLink(const std::string& path, std::string* file) {
  *file = path;
  if ((::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  using FinalPathFn = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  const auto finalPath = reinterpret_cast<FinalPathFn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  if (finalPath == nullptr) return false;
  plat::ScopedHandle handle(
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return false;
  char buffer[MAX_PATH + 8];
  const DWORD length = finalPath(handle.get(), buffer, sizeof buffer, 0);
  handle.Close();
  if (length == 0 || length >= sizeof buffer) return false;
  std::string resolved(buffer, length);
  if (resolved.rfind("\\\\?\\UNC\\", 0) == 0) {
    resolved = "\\\\" + resolved.substr(8);
  } else if (resolved.rfind("\\\\?\\", 0) == 0) {
    resolved = resolved.substr(4);
  }
  *file = resolved;
  return true;
}

// A file named on the command line goes straight to the matcher, as the walker would hand it over.
void ScanOneFile(const std::string& given, const std::string& file) {
  if (file != given)
    g_output.Extra(given + " is a symbolic link: the file it points to is scanned, " + file);
  g_scan.memorySweepActive = false;
  CopyText(g_scan.statusText, file.c_str());
  PostStatus();
  ScanFileEntry(file.c_str());
}

// What the scan could not look into goes to standard error and makes the exit status 2 unless
// something was found.
void SayNotScanned(const char* path, const char* reason) {
  std::fprintf(stderr, "vexpurge-scan: %s: %s, not scanned\n", Printable(path).c_str(), reason);
}

int Usage(const std::string& error) {
  PrintUsage(error, false);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  plat::RestrictLibrarySearch();
  ScanOptions options;
  std::string error;
  if (!ParseScanOptions(argc, argv, &options, &error)) return Usage(error);
  if (options.help) {
    PrintUsage("", true);
    return 0;
  }
  if (options.version) {
    std::printf("%s\n", kScanVersion);
    return 0;
  }
  if (options.listSignatures) {
    PrintSignatureTable();
    return 0;
  }
  // On Windows the scan runs on the live system: one folder or every fixed drive.
  if (!options.moveTo.empty() || !options.windowsRoot.empty())
    return Usage("--move and --windows-root need the Linux build");
  if (options.targets.size() > 1) return Usage("one folder at a time");
  const std::string target = options.targets.empty() ? "!:" : options.targets[0];
  if (target.size() >= sizeof g_scan.scanTarget) return Usage("folder path too long");
  const DWORD attributes =
      target == "!:" ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(target.c_str());
  const bool oneFile =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  std::string file;
  if (oneFile && !FollowLink(target, &file))
    return Usage(target + ": the file this link points to cannot be found");
  g_output.trace = options.trace;
  g_output.quiet = options.quiet;
  g_output.json = options.json;
  g_output.findings = &g_scan.findings;
  if (!options.log.empty() && !g_output.OpenLog(options.log))
    return Usage("the log file cannot be written");

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = ReportWindowProc;
  windowClass.hInstance = ::GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "VexpurgeScanReport";
  if (!::RegisterClassA(&windowClass)) return 2;
  HWND window = ::CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) {
    std::fprintf(stderr, "vexpurge-scan: cannot create the report window (error %lu)\n",
                 static_cast<unsigned long>(::GetLastError()));
    return 2;
  }

  g_scan.mainWindow = window;
  g_scan.notScannedHandler = SayNotScanned;
  g_scan.removalAction = options.remove   ? ActionRemove
                         : options.rename ? ActionRename
                                          : ActionReportOnly;
  // Every fixed drive holds the system's hosts file: it is checked whether or not a binary is
  // found.
  if (target == "!:") CheckHostsFile();
  if (oneFile) {
    ScanOneFile(target, file);
  } else {
    CopyText(g_scan.scanTarget, target.c_str());
  }
  RunScan();
  g_output.Finish();
  ::DestroyWindow(window);
  ScanTotals totals;
  totals.filesScanned = g_scan.filesScanned;
  totals.filesInfected = g_scan.filesInfected;
  totals.filesRemoved = g_scan.filesRemoved;
  totals.filesNotScanned = g_scan.filesNotScanned;
  totals.exitStatus = !g_output.failure().empty()  ? 2
                      : g_scan.filesInfected > 0   ? 1
                      : g_scan.filesNotScanned > 0 ? 2
                                                   : 0;
  g_output.Summary(totals);
  if (!g_output.failure().empty()) {
    std::fprintf(stderr, "vexpurge-scan: cannot write to %s\n",
                 Printable(g_output.failure()).c_str());
    return 2;
  }
  return totals.exitStatus;
}
