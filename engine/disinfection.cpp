#include "engine/disinfection.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "engine/findings.h"
#include "engine/scan_state.h"
#include "memory/memory_sweep.h"
#include "memory/version.h"
#include "platform/files.h"

namespace {

constexpr char kWininitName[] = "\\wininit.ini";
constexpr char kWininitCopyName[] = "wininit.ini";
// The rewritten file is written here first, then put in place of the old one.
constexpr char kWininitNewName[] = "\\wininit.new";
// The old file stays under this name while the new one is put in its place (9x only).
constexpr char kWininitKeptName[] = "\\wininit.vxold";
constexpr char kRenameSection[] = "[rename]";
constexpr size_t kLineBufferSize = 648;

bool WriteAll(int fd, const char* text, size_t length);
bool WriteText(int fd, const char* text);

bool Exists(const std::string& path) { return plat::_access(path.c_str(), 0) == 0; }

// The record of where a quarantined file came from: written whole, or not at all.
bool WriteOrigin(const std::string& record, const std::string& origin) {
  const int fd =
      plat::_open(record.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd == -1) return false;
  const bool written = WriteAll(fd, origin.data(), origin.size()) && WriteText(fd, "\r\n");
  if (plat::_close(fd) == 0 && written) return true;
  plat::DeleteFileA(record.c_str());
  return false;
}

bool WriteAll(int fd, const char* text, size_t length) {
  return plat::_write(fd, text, static_cast<unsigned>(length)) == static_cast<int>(length);
}

bool WriteText(int fd, const char* text) { return WriteAll(fd, text, std::strlen(text)); }

bool WriteEntry(int fd, const char* key, const char* value) {
  return WriteText(fd, key) && WriteText(fd, "=") && WriteText(fd, value) && WriteText(fd, "\r\n");
}

bool CreateWininit(const std::string& target, const char* key, const char* value) {
  const int fd = plat::_open(target.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY,
                             _S_IREAD | _S_IWRITE);
  if (fd == -1) return false;
  const bool written =
      WriteText(fd, kRenameSection) && WriteText(fd, "\r\n") && WriteEntry(fd, key, value);
  plat::_close(fd);
  // A file cut short would be read at boot as it stands: better none at all.
  if (!written) plat::DeleteFileA(target.c_str());
  return written;
}

// How many bytes fgets stored in the line buffer. A zero byte is text to fgets, but strlen
// would end the line there and the rest of it would be lost; so the buffer is filled with line
// breaks before each read. The stored bytes then end at the first "\n" that fgets terminated, or
// just before the first filler "\n" when the read stopped without one.
size_t StoredLength(const char* line, size_t capacity) {
  const char* newline = static_cast<const char*>(std::memchr(line, '\n', capacity));
  if (newline == nullptr) return capacity - 1;  // a full buffer: the terminator is the last byte
  const size_t at = static_cast<size_t>(newline - line);
  if (at + 1 < capacity && line[at + 1] == '\0') return at + 1;
  return at - 1;
}

// Copies the lines of the old file (read in text mode from its copy) into the new file, with
// the entry at the end of the first rename section.
bool RewriteWininit(FILE* old, int fd, const char* key, const char* value) {
  char line[kLineBufferSize];
  bool inSection = false;
  bool written = false;
  // A line longer than the buffer arrives in pieces; only a piece that starts a line can be a
  // section header, so the entry never lands inside a long line.
  bool atLineStart = true;
  bool sawAnything = false;
  std::memset(line, '\n', sizeof line);
  for (;;) {
    if (plat::fgets(line, sizeof line, old) == nullptr) break;
    if (atLineStart && !written) {
      if (!inSection && plat::_strnicmp(line, kRenameSection, 8) == 0) {
        inSection = true;
      } else if (inSection && line[0] == '[') {
        if (!WriteEntry(fd, key, value)) return false;
        written = true;
      }
    }
    const size_t length = StoredLength(line, sizeof line);
    if (!WriteAll(fd, line, length)) return false;
    sawAnything = sawAnything || length > 0;
    atLineStart = length > 0 && line[length - 1] == '\n';
    // fgets wrote the stored bytes and their terminator, nothing past them: only those are
    // filled again, not the whole buffer for every short line.
    std::memset(line, '\n', std::min(length + 1, sizeof line));
  }
  if (std::ferror(old)) return false;  // a read error is not the end of the file
  if (written) return true;
  // The appended lines start on a line of their own even after a last line without a break.
  if (sawAnything && !atLineStart && !WriteText(fd, "\r\n")) return false;
  if (!inSection && !(WriteText(fd, kRenameSection) && WriteText(fd, "\r\n"))) return false;
  return WriteEntry(fd, key, value);
}

bool ReplaceWininit(const std::string& fresh, const std::string& target, const std::string& kept) {
  if (plat::MoveFileExA(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  // The 9x family has no MoveFileExA: the old file steps aside under another name until the new
  // one has taken its place, and comes back if that fails, so there is always a wininit.ini. A
  // kept file from an earlier run is stale: wininit.ini itself exists.
  plat::DeleteFileA(kept.c_str());
  // A read-only wininit.ini is not replaced, as MoveFileExA would not replace it either.
  const DWORD attributes = plat::GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0)
    return false;
  if (!plat::MoveFileA(target.c_str(), kept.c_str())) return false;
  if (plat::MoveFileA(fresh.c_str(), target.c_str())) {
    plat::DeleteFileA(kept.c_str());
    return true;
  }
  plat::MoveFileA(kept.c_str(), target.c_str());
  return false;
}

void DeleteBinaryFile(Finding* finding) {
  const char* path = finding->path.c_str();
  finding->action = FindingAction::kDelete;
  finding->result = FindingResult::kFailed;
  // ARCHIVE alone clears read-only, hidden and system, which would refuse the delete.
  if (!plat::SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE)) {
    // Deliberately named by the status texts rather than by path and name.
    finding->namedByStatus = StatusTexts{g_scan.statusText, g_scan.detectionName};
    return;
  }
  if (plat::DeleteFileA(path) || (KillProcessByImage(path) != 0 && plat::DeleteFileA(path))) {
    ++g_scan.filesRemoved;
    finding->result = FindingResult::kDone;
    return;
  }
  // Once any removal waits for the boot, a restart stays due even if a later one fails.
  if (ScheduleBootRemoval(path)) {
    g_scan.restartNeeded = 1;
    finding->action = FindingAction::kBootDelete;
    finding->result = FindingResult::kScheduled;
  }
}

// A text file is only deleted: no attributes are reset, no process is terminated for it and
// nothing is left for the boot.
void DeleteTextFile(Finding* finding) {
  finding->action = FindingAction::kDelete;
  if (plat::DeleteFileA(finding->path.c_str())) {
    ++g_scan.filesRemoved;
    finding->result = FindingResult::kDone;
  } else {
    finding->result = FindingResult::kFailed;
  }
}

void RenameFile(Finding* finding) {
  const char* path = finding->path.c_str();
  char renamed[kPathBufferSize];
  RenamedPath(path, renamed, sizeof renamed);
  finding->action = FindingAction::kRename;
  finding->result = FindingResult::kFailed;
  // A path the new name cannot be made from is not "renamed" to itself.
  if (std::strlen(path) < sizeof renamed && std::strcmp(renamed, path) != 0 &&
      plat::MoveFileA(path, renamed)) {
    finding->result = FindingResult::kDone;
    finding->newPath = renamed;
  }
}

// Moves the file into the quarantine folder under a name of its own (never over another file),
// with its origin in a ".path" record beside it.
void QuarantineFile(Finding* finding) {
  const char* path = finding->path.c_str();
  const Quarantine& quarantine = g_scan.quarantine;
  finding->action = FindingAction::kQuarantine;
  finding->result = FindingResult::kFailed;
  std::string target;
  std::string record;
  if (!quarantine.folder.empty()) {
    const char* slash = std::strrchr(path, '\\');
    const std::string base = quarantine.folder + "\\" + (slash != nullptr ? slash + 1 : path);
    target = base;
    for (int n = 1; Exists(target) || Exists(target + ".path"); ++n)
      target = base + "." + std::to_string(n);
    record = target + ".path";
  }
  // The origin is recorded before the move: a quarantined file without it could not go back.
  if (target.empty() || record.size() >= kPathBufferSize ||
      !WriteOrigin(record, quarantine.describe ? quarantine.describe(path) : std::string(path))) {
    return;
  }
  if (!plat::MoveFileA(path, target.c_str())) {
    plat::DeleteFileA(record.c_str());
    return;
  }
  ++g_scan.filesRemoved;
  finding->result = FindingResult::kDone;
  finding->newPath = target;
}

}  // namespace

void RenamedPath(const char* path, char* renamed, size_t capacity) {
  CopyText(renamed, capacity, path);
  // Only a dot of the file's own name counts: one in a folder name would move the file away.
  char* slash = std::strrchr(renamed, '\\');
  char* dot = std::strrchr(slash != nullptr ? slash + 1 : renamed, '.');
  if (dot != nullptr && dot[1] != '\0') {
    dot[1] = 'V';
    return;
  }
  // A name without an extension gets ".V", one ending in "." a "V"; without room it stays.
  const char* suffix = dot != nullptr ? "V" : ".V";
  const size_t length = std::strlen(renamed);
  if (length + std::strlen(suffix) < capacity)
    std::memcpy(renamed + length, suffix, std::strlen(suffix) + 1);
}

void DisinfectFile(const char* path, const char* detectionName, FindingKind kind) {
  Finding finding;
  finding.path = path;
  finding.name = detectionName;
  finding.kind = kind;
  switch (g_scan.removalAction) {
    case ActionRemove:
    case ActionRemoveToo:
      if (kind == FindingKind::kTextFile) {
        DeleteTextFile(&finding);
      } else {
        DeleteBinaryFile(&finding);
      }
      break;
    case ActionRename:
      RenameFile(&finding);
      break;
    case ActionQuarantine:
      QuarantineFile(&finding);
      break;
    case ActionReportOnly:
      finding.action = FindingAction::kReportOnly;
      finding.result = FindingResult::kLeftAsSelected;
      finding.namedByStatus = StatusTexts{g_scan.statusText, g_scan.detectionName};
      break;
    default:
      return;  // an unknown code does nothing and says nothing
  }
  RecordFinding(std::move(finding));
}

int ScheduleBootRemoval(const char* path) {
  switch (GetPlatformKind()) {
    case PlatformNt:
      return plat::MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
    case PlatformWin9x: {
      // wininit.ini is processed before long names exist: it needs the short path.
      char shortPath[kPathBufferSize];
      const DWORD length = plat::GetShortPathNameA(path, shortPath, sizeof shortPath);
      if (length == 0 || length >= sizeof shortPath) return 0;
      return AddWininitRename("NUL", shortPath) ? 1 : 0;
    }
    default:
      return 0;
  }
}

constexpr size_t kWindowsFolderBufferSize = 350;

bool AddWininitRename(const char* key, const char* value) {
  // The Windows folder's path, with room for the longest folder GetWindowsDirectoryA gives
  // (MAX_PATH) and then some; a longer one is refused below, never cut.
  char windows[kWindowsFolderBufferSize];
  const UINT windowsLength = plat::GetWindowsDirectoryA(windows, sizeof windows);
  if (windowsLength == 0 || windowsLength >= sizeof windows) return false;
  const std::string target = std::string(windows) + kWininitName;
  if (plat::_access(target.c_str(), 0) != 0) return CreateWininit(target, key, value);

  char temp[kPathBufferSize];
  const DWORD tempLength = plat::GetTempPathA(sizeof temp, temp);
  if (tempLength == 0 || tempLength >= sizeof temp) return false;
  const std::string copy = std::string(temp) + kWininitCopyName;
  if (!plat::CopyFileA(target.c_str(), copy.c_str(), FALSE)) return false;

  FILE* old = plat::fopen(copy.c_str(), "r");
  if (old == nullptr) return false;
  const std::string fresh = std::string(windows) + kWininitNewName;
  const int fd =
      plat::_open(fresh.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd == -1) {
    plat::fclose(old);
    return false;
  }
  const bool rewritten = RewriteWininit(old, fd, key, value);
  plat::fclose(old);
  const bool closed = plat::_close(fd) == 0;
  if (!rewritten || !closed ||
      !ReplaceWininit(fresh, target, std::string(windows) + kWininitKeptName)) {
    plat::DeleteFileA(fresh.c_str());
    return false;
  }
  return true;
}
