#include "memory/memory_sweep.h"

#include <cstring>
#include <utility>

#include "cleanup/service_keys.h"
#include "engine/findings.h"
#include "engine/questions.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "engine/texts.h"
#include "memory/process_list.h"
#include "memory/restart.h"
#include "memory/service_stop.h"
#include "memory/version.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/scoped_handle.h"
#include "platform/windowing.h"

namespace {

constexpr DWORD kTerminateAccess = PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION;
constexpr UINT kOkCancelInformation = MB_OKCANCEL | MB_ICONINFORMATION;
constexpr int kReadable = 4;  // _access mode: read permission
constexpr char kFoundInMemoryQuestion[] =
    "W32/Tarvix.Backdoor found in memory! registry entries created by the worm are removed. You "
    "must restart the computer and run this program to continue scanning.\n\nRestart the computer "
    "now?";

bool Terminate(DWORD processId) {
  plat::ScopedHandle process(plat::OpenProcess(kTerminateAccess, FALSE, processId));
  if (!process.valid()) return false;
  return plat::TerminateProcess(process.get(), 0) != FALSE;
}

// A process image that can be read is walked as a single file; true when it matched.
bool ImageIsInfected(const char* imagePath) {
  if (plat::_access(imagePath, kReadable) != 0) return false;
  WalkDirectory(imagePath);
  return g_scan.foundInMemory;
}

// Walks the image again with the removal action forced: CheckFile acts on it at once.
void ActOnImage(const char* imagePath) {
  char path[sizeof ProcessNode::imagePath];
  CopyText(path, imagePath);
  g_scan.postKillAction = g_scan.removalAction;
  WalkDirectory(path);
  g_scan.postKillAction = 0;
}

// Report-only: the hit is told, and the process left running.
void ReportLeftRunning(const char* imagePath) {
  Finding finding;
  finding.path = imagePath;
  finding.name = g_scan.detectionName;
  finding.kind = FindingKind::kProcess;
  finding.action = FindingAction::kReportOnly;
  finding.result = FindingResult::kLeftAsSelected;
  RecordFinding(std::move(finding));
}

bool ActsOnFiles(int action) {
  return action == ActionRemove || action == ActionRename || action == ActionRemoveToo;
}

// The service is named after its image file: folder and extension cut off.
void ServiceNameOf(const char* imagePath, char* name, size_t capacity) {
  const char* slash = std::strrchr(imagePath, '\\');
  CopyText(name, capacity, slash != nullptr ? slash + 1 : imagePath);
  if (char* dot = std::strrchr(name, '.')) *dot = '\0';
}

// The 9x family: toolhelp lists the processes.
void SweepMemoryToolhelp() {
  ProcessList list = ListProcessesToolhelp();
  for (const ProcessNode* node = list.get(); node != nullptr; node = node->next) {
    if (!ImageIsInfected(node->imagePath)) continue;
    if (g_scan.removalAction == ActionReportOnly) {
      ReportLeftRunning(node->imagePath);
      continue;
    }
    // Acted on whether or not the termination worked: CheckFile then tries the file itself.
    Terminate(node->processId);
    ActOnImage(node->imagePath);
  }
}

// The NT family: psapi lists the processes. True when an infected process keeps running and
// only a restart can finish its removal.
bool SweepMemoryPsapi() {
  ProcessList list = ListProcessesPsapi();
  bool needsRestart = false;
  for (const ProcessNode* node = list.get(); node != nullptr; node = node->next) {
    if (!ImageIsInfected(node->imagePath)) continue;
    if (g_scan.removalAction == ActionReportOnly) ReportLeftRunning(node->imagePath);
    if (!ActsOnFiles(g_scan.removalAction)) continue;

    // A second attempt only for a process that survived the first.
    if (Terminate(node->processId) || Terminate(node->processId)) {
      ActOnImage(node->imagePath);
      continue;
    }
    // It cannot be terminated: it runs as a service.
    const int generation = GetNtGeneration();
    if (generation != NtGeneration4 && generation != NtGeneration5) continue;
    char service[kPathBufferSize];
    ServiceNameOf(node->imagePath, service, sizeof service);
    if (StopService(service)) {
      RemoveServiceKeys(service);
      ActOnImage(node->imagePath);
    } else {
      RemoveServiceKeys(service);
      g_scan.serviceKeysRemoved = 1;
      needsRestart = true;
    }
  }
  return needsRestart;
}

}  // namespace

void SweepMemory() {
  const int kind = GetPlatformKind();
  g_scan.memorySweepActive = true;
  if (kind == PlatformWin9x) {
    SweepMemoryToolhelp();
  } else if (kind == PlatformNt && SweepMemoryPsapi()) {
    if (g_scan.serviceKeysRemoved == 1 &&
        AskUser(kFoundInMemoryQuestion, kProgramTitle, kOkCancelInformation) == IDOK) {
      RestartWindows();
    }
    plat::exit(0);
  }
  g_scan.memorySweepActive = false;
}

bool KillProcessByImage(const char* path) {
  bool killed = false;
  switch (GetPlatformKind()) {
    case PlatformWin9x:
      killed = KillByNameToolhelp(path);
      break;
    case PlatformNt:
      if (GetNtGeneration() == NtGeneration5) return KillByPathPsapi(path);
      killed = KillByNamePerfData(path);
      break;
    default:
      return true;
  }
  if (killed) return true;
  plat::MessageBoxA(nullptr, "Could not kill process", path, MB_OK);
  return false;
}
