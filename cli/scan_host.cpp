// vexpurge-scan on the host: scans one folder, taken as the fixed drive C: of the simulated
// machine, and prints the results list as the main window would show it. Files are only
// reported unless --remove is given.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "cli/report_output.h"
#include "cli/scan_options.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "platform/sim/sim_machine.h"

namespace {

int Usage(const std::string& error) {
  PrintUsage(error, "FOLDER");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ScanOptions options;
  std::string error;
  if (!ParseScanOptions(argc, argv, &options, &error)) return Usage(error);
  if (options.listSignatures) {
    PrintSignatureTable();
    return 0;
  }
  if (options.target.empty()) return Usage("");
  struct stat info;
  if (::stat(options.target.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "vexpurge-scan: %s: not a folder\n", options.target.c_str());
    return 2;
  }

  ReportOutput output;
  output.trace = options.trace;
  sim::machine().MapDrive('C', options.target);
  sim::MainWindow window;
  window.onLine = [&](const std::string& line) { output.Line(line.c_str()); };
  window.onStatus = [&](const std::string& status) { output.Status(status.c_str()); };

  CopyText(g_scan.scanTarget, "!:");
  g_scan.removalAction = options.remove ? ActionRemove : ActionReportOnly;
  RunScan();
  output.Finish();
  return 0;
}
