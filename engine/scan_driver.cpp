#include "engine/scan_driver.h"

#include <cstdio>
#include <cstring>

#include "engine/file_matcher.h"
#include "engine/questions.h"
#include "engine/scan_state.h"
#include "engine/texts.h"
#include "memory/memory_sweep.h"
#include "memory/restart.h"
#include "platform/files.h"
#include "platform/scoped_handle.h"
#include "platform/windowing.h"
#include "platform/wow64.h"

const ScanCallback ScanCallbackTable[] = {
    {kFamilyName, CheckFile},
    {nullptr, nullptr},
};

namespace {

constexpr char kAllFixedDrives[] = "!:";
constexpr char kDrivePatternSuffix[] = "*.*";
constexpr char kFolderPatternSuffix[] = "\\*.*";
constexpr char kProgramFolder[] = "\\Program Files";
constexpr char kProgramFolderInPath[] = "\\Program Files\\";
constexpr WORD kStatusWidth = 60;
// A drive's own pattern, such as "C:\*.*": a longer one is a folder's.
constexpr size_t kDrivePatternLength = sizeof "C:\\*.*" - 1;
constexpr int kAccessExists = 0;     // _access mode: whether the path exists at all
constexpr WPARAM kLowWord = 0xFFFF;  // a key message's virtual-key code is wParam's low word
constexpr DWORD kMicrosoftTag = 0x80000000;      // a reparse tag of the system's own
constexpr DWORD kNameSurrogateTag = 0x20000000;  // the reparse point names another file or folder
constexpr DWORD kDataNotLocal =
    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_RECALL_ON_OPEN | FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
constexpr char kUnreadable[] = "cannot be read";
constexpr char kTooLong[] = "path too long";

bool EndsWith(const char* text, const char* suffix) {
  const size_t length = std::strlen(text);
  const size_t suffixLength = std::strlen(suffix);
  return length >= suffixLength && std::strcmp(text + length - suffixLength, suffix) == 0;
}

// Joins two texts into a path buffer; false (and nothing usable) when they do not fit.
bool JoinPath(char (&out)[kPathBufferSize], const char* head, size_t headLength, const char* a,
              const char* b = "") {
  const size_t aLength = std::strlen(a);
  const size_t bLength = std::strlen(b);
  if (headLength + aLength + bLength >= kPathBufferSize) return false;
  std::memcpy(out, head, headLength);
  std::memcpy(out + headLength, a, aLength);
  std::memcpy(out + headLength + aLength, b, bLength + 1);
  return true;
}

// The folder part of a pattern, with its closing backslash: the pattern cut just before the
// character that precedes its last ".". -1 when the pattern has no ".".
long FolderLengthOfPattern(const char* pattern) {
  const char* dot = std::strrchr(pattern, '.');
  if (dot == nullptr) return -1;
  return dot == pattern ? 0 : static_cast<long>(dot - pattern) - 1;
}

void ShowEntryInStatus(const char* entryPath) {
  char display[kStatusWidth + 1];
  ShortenPathForDisplay(entryPath, display, kStatusWidth, sizeof display);
  CopyText(g_scan.statusText, display);
  PostStatus();
}

void HandToCallbacks(const char* path) {
  for (const ScanCallback* entry = ScanCallbackTable; entry->familyName != nullptr; ++entry) {
    if (entry->callback(entry->familyName, path)) break;
  }
}

// Whether text holds part, letters compared without regard to case as Windows compares names.
bool ContainsIgnoringCase(const char* text, const char* part) {
  const size_t length = std::strlen(part);
  for (; *text != '\0'; ++text) {
    if (plat::_strnicmp(text, part, length) == 0) return true;
  }
  return false;
}

// Entries the walk leaves alone. A link, junction or mount point leads elsewhere: what it points
// at is walked where it lives, so the walk neither loops nor leaves the drive through it. A tag
// that is not the system's own is taken for one (Wine shows a host link with tag 1). A
// placeholder's data is not on the volume, and reading it would fetch it. Other reparse points
// (compressed, deduplicated) are read as usual.
bool LeftAlone(const WIN32_FIND_DATAA& data) {
  if ((data.dwFileAttributes & kDataNotLocal) != 0) return true;
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         ((data.dwReserved0 & kMicrosoftTag) == 0 || (data.dwReserved0 & kNameSurrogateTag) != 0);
}

// An entry whose path does not fit a path buffer cannot be named to the system: said, not scanned.
void NoteTooLong(const char* pattern, long folderLength, const char* name) {
  char path[2 * kPathBufferSize];
  std::snprintf(path, sizeof path, "%.*s%s", static_cast<int>(folderLength), pattern, name);
  NoteNotScanned(path, kTooLong);
}

// A folder whose listing is refused: said, as nothing in it is scanned.
void NoteUnlistedFolder(const char* pattern) {
  if (g_scan.memorySweepActive || !EndsWith(pattern, kFolderPatternSuffix)) return;
  if (plat::GetLastError() != ERROR_ACCESS_DENIED) return;
  char folder[kPathBufferSize];
  const size_t length = std::strlen(pattern) - std::strlen(kFolderPatternSuffix);
  std::snprintf(folder, sizeof folder, "%.*s%s", static_cast<int>(length), pattern,
                length > 0 && pattern[length - 1] == ':' ? "\\" : "");
  NoteNotScanned(folder, kUnreadable);
}

// A drive walk notes the drive's "\Program Files" folder, so that it can be walked on its own
// when the drive walk never entered it.
void NoteProgramFolder(const char* pattern) {
  if (std::strlen(pattern) > kDrivePatternLength) return;
  const char* colon = std::strchr(pattern, ':');
  if (colon == nullptr) return;
  char folder[kPathBufferSize];
  if (!JoinPath(folder, pattern, static_cast<size_t>(colon - pattern) + 1, kProgramFolder)) return;
  CopyText(g_scan.programFilesPattern, folder);
  if (plat::_access(g_scan.programFilesPattern, kAccessExists) == 0) {
    if (JoinPath(folder, g_scan.programFilesPattern, std::strlen(g_scan.programFilesPattern),
                 kFolderPatternSuffix)) {
      CopyText(g_scan.programFilesPattern, folder);
      g_scan.programFilesPending = 1;
    }
  }
}

void WalkProgramFolderIfMissed() {
  if (g_scan.programFilesPending == 1 && g_scan.programFilesSeen == 0) {
    WalkDirectory(g_scan.programFilesPattern);
    g_scan.programFilesPending = 0;
  }
}

bool IsDotEntry(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

void RunScan() {
  // Under WoW64 the walk and every action on a file see the real System32, and SysWOW64 as itself.
  plat::FileSystemRedirectionOff realFileSystem;
  if (g_scan.scanTarget[0] != '\0') {
    SweepMemory();
    char pattern[kPathBufferSize];
    if (std::strcmp(g_scan.scanTarget, kAllFixedDrives) == 0) {
      char root[] = "C:\\";
      // Runs to Z even after a stop request: each further walk returns at its first entry.
      for (char letter = 'C'; letter <= 'Z'; ++letter) {
        root[0] = letter;
        if (plat::GetDriveTypeA(root) != DRIVE_FIXED) continue;
        JoinPath(pattern, root, std::strlen(root), kDrivePatternSuffix);
        WalkDirectory(pattern);
        WalkProgramFolderIfMissed();
      }
    } else {
      if (JoinPath(pattern, g_scan.scanTarget, std::strlen(g_scan.scanTarget),
                   kFolderPatternSuffix)) {
        WalkDirectory(pattern);
      }
      WalkProgramFolderIfMissed();
    }
  }

  g_scan.statisticsBegun = true;
  if (g_scan.filesInfected > 0) PostReportLine(" ");
  PostReportLine("Scanning statistics");
  PostReportLine("------------------------------");
  PostReportLine("Total files scanned\t\t:  %d", g_scan.filesScanned);
  PostReportLine("Total files infected\t\t:  %d", g_scan.filesInfected);
  PostReportLine("Total files removed\t\t:  %d", g_scan.filesRemoved);

  CopyText(g_scan.statusText,
           g_scan.terminateRequested ? "Scanning terminated" : "Scanning completed");
  PostStatus();

  if (g_scan.restartNeeded != 0 &&
      AskUser(kRestartQuestion, kProgramTitle, MB_YESNO | MB_ICONQUESTION) == IDYES) {
    RestartWindows();
  }
}

int WalkDirectory(const char* pattern) {
  g_scan.foundInMemory = false;
  NoteProgramFolder(pattern);

  WIN32_FIND_DATAA data;
  {
    plat::SearchHandle search(plat::FindFirstFileA(pattern, &data));
    if (!search.valid()) NoteUnlistedFolder(pattern);
    if (search.valid()) {
      do {
        PumpMessages();
        if (g_scan.terminateRequested) return 0;

        char entryPath[kPathBufferSize];
        bool fits = true;
        long folderLength = 0;
        if (g_scan.memorySweepActive) {
          CopyText(entryPath, pattern);
        } else {
          folderLength = FolderLengthOfPattern(pattern);
          if (folderLength < 0) return -1;
          fits = JoinPath(entryPath, pattern, static_cast<size_t>(folderLength), data.cFileName);
        }

        const bool file = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        const bool leftAlone = !g_scan.memorySweepActive && LeftAlone(data);
        if (!leftAlone && fits) {
          ShowEntryInStatus(entryPath);
          if (file) ScanFileEntry(entryPath);
        } else if (!leftAlone && file) {
          NoteTooLong(pattern, folderLength, data.cFileName);  // folders: in the folders pass
        }

        PumpMessages();
        if (g_scan.terminateRequested) return 0;
      } while (plat::FindNextFileA(search.get(), &data));
    }
  }

  // A walk started on a plain file path ends after its one file.
  if (!EndsWith(pattern, kFolderPatternSuffix)) return g_scan.filesScanned;

  plat::SearchHandle search(plat::FindFirstFileA(pattern, &data));
  if (!search.valid()) return g_scan.filesScanned;
  do {
    PumpMessages();
    if (g_scan.terminateRequested) return 0;

    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !LeftAlone(data) &&
        !IsDotEntry(data.cFileName)) {
      const long folderLength = FolderLengthOfPattern(pattern);
      if (folderLength < 0) return -1;
      char subPattern[kPathBufferSize];
      // A folder too deep for a path buffer is skipped with everything below it, and said.
      if (JoinPath(subPattern, pattern, static_cast<size_t>(folderLength), data.cFileName,
                   kFolderPatternSuffix)) {
        // Windows names ignore case: "\program files\" is the same folder.
        if (ContainsIgnoringCase(subPattern, kProgramFolderInPath)) g_scan.programFilesSeen = 1;
        if (WalkDirectory(subPattern) == -1) return -1;
      } else {
        NoteTooLong(pattern, folderLength, data.cFileName);
      }
    }
  } while (plat::FindNextFileA(search.get(), &data));
  return g_scan.filesScanned;
}

void ScanFileEntry(const char* path) {
  const int32_t notScannedBefore = g_scan.filesNotScanned;
  HandToCallbacks(path);
  // A file the callbacks could not read was not scanned: it is counted as such instead.
  if (!g_scan.memorySweepActive && g_scan.filesNotScanned == notScannedBefore)
    ++g_scan.filesScanned;
}

void PumpMessages() {
  MSG message;
  if (!plat::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return;

  // Escape, whatever the message that carries it: ask, and stop unless the answer is No. The
  // release of the key is no second request: one press, queued while the walk was busy, would
  // otherwise ask twice.
  if ((message.wParam & kLowWord) == VK_ESCAPE) {
    if (message.message == WM_KEYUP || message.message == WM_SYSKEYUP) return;
    if (AskUser(kTerminateQuestion, kProgramTitle, MB_YESNO | MB_ICONQUESTION) == IDNO) return;
    g_scan.terminateRequested = true;
    return;
  }
  if (message.message == WM_QUIT || message.message == WM_DESTROY) {
    g_scan.terminateRequested = true;
    // The quit belongs to the message loop that runs once the scan is over: put it back, or the
    // program would not end.
    if (message.message == WM_QUIT) plat::PostQuitMessage(static_cast<int>(message.wParam));
    return;
  }
  plat::TranslateMessage(&message);
  plat::DispatchMessageA(&message);
}

void ShortenPathForDisplay(const char* source, char* destination, WORD width, size_t capacity) {
  const size_t length = std::strlen(source);
  const int head = width / 2 - 1;
  if (length > width && head > 0 && capacity > width) {
    const size_t headLength = static_cast<size_t>(head);
    std::memcpy(destination, source, headLength);
    for (size_t i = headLength; i < width - headLength; ++i) destination[i] = '.';
    std::memcpy(destination + width - headLength, source + length - headLength, headLength);
    destination[width] = '\0';
    return;
  }
  CopyText(destination, capacity, source);
}
