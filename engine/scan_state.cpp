#include "engine/scan_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/windowing.h"

ScanState g_scan;

void ResetScanState() { g_scan = ScanState{}; }

void PostReportLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_scan.ReportLine, sizeof g_scan.ReportLine, format, args);
  va_end(args);
  plat::SendMessageA(g_scan.mainWindow, AppendLineMessage, 0, 0);
}

void NoteNotScanned(const char* path, const char* reason) {
  ++g_scan.filesNotScanned;
  if (g_scan.notScannedHandler != nullptr) g_scan.notScannedHandler(path, reason);
}

void PostStatus() { plat::SendMessageA(g_scan.mainWindow, SetStatusMessage, 0, 0); }

void CopyText(char* destination, size_t capacity, const char* source) {
  if (capacity == 0) return;
  const size_t length = std::strlen(source);
  const size_t count = length < capacity - 1 ? length : capacity - 1;
  std::memmove(destination, source, count);
  destination[count] = '\0';
}
