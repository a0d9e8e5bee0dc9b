// vexpurge-scan on the host: scans one folder, taken as the fixed drive C: of the simulated
// machine, and prints the results list as the main window would show it.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/report_output.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "platform/sim/sim_machine.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: vexpurge-scan [--trace] FOLDER\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ReportOutput output;
  std::string folder;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--trace") == 0) {
      output.trace = true;
    } else if (argv[i][0] == '-' || !folder.empty()) {
      return Usage();
    } else {
      folder = argv[i];
    }
  }
  if (folder.empty()) return Usage();
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "vexpurge-scan: %s: not a folder\n", folder.c_str());
    return 2;
  }

  sim::Machine& machine = sim::machine();
  machine.MapDrive('C', folder);
  sim::MainWindow window;
  window.onLine = [&](const std::string& line) { output.Line(line.c_str()); };
  window.onStatus = [&](const std::string& status) { output.Status(status.c_str()); };

  CopyText(g_scan.scanTarget, "!:");
  g_scan.removalAction = ActionRemove;
  RunScan();
  output.Finish();
  return 0;
}
