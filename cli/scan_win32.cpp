// vexpurge-scan.exe: runs the scan on Windows without the desktop window, printing the results
// list as the main window would show it. With no folder it scans every fixed drive. Files are
// only reported unless --remove is given.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/report_output.h"
#include "cli/scan_options.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "platform/base.h"
#include "platform/wow64.h"

namespace {

ReportOutput g_output;

// A message-only window takes the engine's two messages, as the main window would.
LRESULT CALLBACK ReportWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case AppendLineMessage:
      g_output.Line(g_scan.ReportLine, g_scan.statisticsBegun);
      return 0;
    case SetStatusMessage:
      g_output.Status(g_scan.statusText, g_scan.filesScanned);
      return 0;
    default:
      return ::DefWindowProcA(window, message, wParam, lParam);
  }
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
  if (!options.moveTo.empty() || !options.windowsRoot.empty()) return Usage("--move and --windows-root need the Linux build");
  if (options.targets.size() > 1) return Usage("one folder at a time");
  const std::string target = options.targets.empty() ? "!:" : options.targets[0];
  if (target.size() >= sizeof g_scan.scanTarget) return Usage("folder path too long");
  g_output.trace = options.trace;
  g_output.quiet = options.quiet;
  if (!options.log.empty() && !g_output.OpenLog(options.log)) return Usage("the log file cannot be written");

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
  CopyText(g_scan.scanTarget, target.c_str());
  g_scan.removalAction = options.remove ? ActionRemove : options.rename ? ActionRename : ActionReportOnly;
  RunScan();
  g_output.Finish();
  ::DestroyWindow(window);
  return g_scan.filesInfected > 0 ? 1 : 0;
}
