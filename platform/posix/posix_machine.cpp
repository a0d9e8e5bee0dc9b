// The machine's core: the one instance, its handle table, drives, version record, and the base
// calls (last error, version).
#include <algorithm>
#include <cctype>

#include "platform/posix/posix_internal.h"

namespace posix {

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

namespace {
std::unique_ptr<Machine> g_machine;

// In the environment's own order (names without regard to case), so that a look at whether it
// holds just these takes one walk.
const std::pair<const char*, const char*> kEnvironment[] = {
    {"ProgramFiles", "C:\\Program Files"}, {"SystemDrive", "C:"},
    {"SystemRoot", "C:\\WINDOWS"},         {"TEMP", "C:\\WINDOWS\\TEMP"},
    {"TMP", "C:\\WINDOWS\\TEMP"},          {"windir", "C:\\WINDOWS"},
};

bool HoldsStartEnvironment(const std::map<std::string, std::string, NoCaseLess>& environment) {
  if (environment.size() != sizeof kEnvironment / sizeof kEnvironment[0]) return false;
  auto it = environment.begin();
  for (const auto& [name, value] : kEnvironment) {
    if (it->first != name || it->second != value) return false;
    ++it;
  }
  return true;
}

// Assigned only when it differs: the text kept needs no new memory.
void SetText(std::string* text, const char* value) {
  if (*text != value) *text = value;
}

}  // namespace

Machine& machine() {
  if (!g_machine) g_machine = std::make_unique<Machine>();
  return *g_machine;
}

void Reset() { g_machine = std::make_unique<Machine>(); }

void Install(std::unique_ptr<Machine> replacement) { g_machine = std::move(replacement); }
void Release() { g_machine.reset(); }

Machine::Machine() : impl_(std::make_unique<Impl>()) {
  for (const auto& [name, value] : kEnvironment) environment[name] = value;
}

Machine::~Machine() = default;

void Machine::Restore() {
  SetText(&windowsDirectory, kStartWindowsDirectory);
  SetText(&systemDirectory, kStartSystemDirectory);
  SetText(&tempDirectory, kStartTempDirectory);
  if (!HoldsStartEnvironment(environment)) {
    environment.clear();
    for (const auto& [name, value] : kEnvironment) environment[name] = value;
  }
  ReleaseMemory(&rebootDeletes);
  refuseBootDeletes = false;
  registry.Restore();
  version = VersionRecord{};
  width = Width::None;
  librarySearchRestricted = false;
  queue.clear();
  onPeek = nullptr;
  peeks = 0;
  translated = 0;
  dispatched = 0;
  lastError = 0;
  static_cast<MachineState&>(*impl_) = MachineState();
}

void Machine::MapDrive(char letter, const std::string& hostFolder, UINT type) {
  impl_->drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] =
      Drive{hostFolder, type};
}

void Machine::SetDriveType(char letter, UINT type) {
  auto& drive = impl_->drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))];
  drive.type = type;
}

std::string Machine::HostPath(const std::string& windowsPath) const {
  const Resolved resolved = Resolve(windowsPath);
  return resolved.error == 0 && resolved.exists ? resolved.host : std::string();
}

FileMeta& Machine::Meta(const std::string& windowsPath) {
  const Resolved resolved = Resolve(windowsPath);
  // Not resolvable: kept under its own spelling.
  const std::string key = resolved.windows.empty() ? windowsPath : resolved.windows;
  ++impl_->fileGeneration;  // the caller may change what a listing shows
  return impl_->MetaOf(key);
}

DWORD Machine::Attributes(const std::string& windowsPath) const {
  return plat::GetFileAttributesA(windowsPath.c_str());
}

void Machine::SetVersion(WindowsVersion v) {
  version = VersionRecord{};
  switch (v) {
    case WindowsVersion::Win32s:
      version = {false, VER_PLATFORM_WIN32s, 3, 10, 0};
      break;
    case WindowsVersion::Win95:
      version = {false, VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950};
      break;
    case WindowsVersion::Win98:
      version = {false, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222};
      break;
    case WindowsVersion::WinMe:
      version = {false, VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000};
      break;
    case WindowsVersion::NT351:
      version = {false, VER_PLATFORM_WIN32_NT, 3, 51, 1057};
      break;
    case WindowsVersion::NT4:
      version = {false, VER_PLATFORM_WIN32_NT, 4, 0, 1381};
      break;
    case WindowsVersion::Win2000:
      version = {false, VER_PLATFORM_WIN32_NT, 5, 0, 2195};
      break;
    case WindowsVersion::WinXP:
      version = {false, VER_PLATFORM_WIN32_NT, 5, 1, 2600};
      break;
    case WindowsVersion::Vista:
      version = {false, VER_PLATFORM_WIN32_NT, 6, 0, 6002};
      break;
    case WindowsVersion::Win7:
      version = {false, VER_PLATFORM_WIN32_NT, 6, 1, 7601};
      break;
    case WindowsVersion::QueryFails:
      version.queryFails = true;
      break;
  }
  // The 9x family keeps its system files in "system", the NT family in "system32".
  systemDirectory = windowsDirectory + (Is9x() ? "\\SYSTEM" : "\\system32");
}

HWND Machine::CreateWindow(WindowProc procedure) {
  HWND window = reinterpret_cast<HWND>(impl_->nextWindow);
  impl_->nextWindow += 0x10;
  impl_->windows[window] = std::make_shared<const WindowProc>(std::move(procedure));
  return window;
}

void Machine::DestroyWindow(HWND window) { impl_->windows.erase(window); }

size_t Machine::OpenHandles() const {
  return impl_->handles.size() + impl_->descriptors.size() + impl_->streams.size();
}

Machine::Impl::Descriptor& Machine::Impl::AddDescriptor(int fd, const std::string& key,
                                                        long long sizeAtOpen, bool readOnly) {
  Descriptor& descriptor = PutEntry(&descriptors, &spareDescriptors, fd);
  descriptor.key = key;
  descriptor.position = 0;
  descriptor.sizeAtOpen = sizeAtOpen;
  descriptor.readOnly = readOnly;
  descriptor.listing = nullptr;
  descriptor.entryIndex = 0;
  return descriptor;
}

HANDLE Machine::Impl::Add(HandleEntry entry) {
  const ULONG_PTR value = nextHandle;
  nextHandle += 4;
  if (spareHandle.empty()) {
    handles.emplace(value, std::move(entry));
  } else {
    spareHandle.key() = value;
    spareHandle.mapped() = std::move(entry);
    handles.insert(std::move(spareHandle));
  }
  return reinterpret_cast<HANDLE>(value);
}

HandleEntry* Machine::Impl::Get(HANDLE handle, HandleEntry::Kind kind) {
  auto it = handles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == handles.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

bool Machine::Impl::Close(HANDLE handle) {
  auto closed = handles.extract(reinterpret_cast<ULONG_PTR>(handle));
  if (closed.empty()) return false;
  closed.mapped() = HandleEntry();  // lets go of what it held now, as a close does
  spareHandle = std::move(closed);
  return true;
}

std::vector<std::string> SplitPath(std::string_view path) {
  // One allocation for the list: paths are split on every registry and file call.
  std::vector<std::string> parts;
  parts.reserve(std::count(path.begin(), path.end(), '\\') + 1);
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('\\', begin);
    if (end == std::string_view::npos) end = path.size();
    if (end > begin) parts.emplace_back(path.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

MSG KeyPress(WPARAM key, HWND window) { return Message(WM_KEYDOWN, key, 0, window); }

MSG Message(UINT message, WPARAM wParam, LPARAM lParam, HWND window) {
  MSG msg{};
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  return msg;
}

}  // namespace posix

namespace plat {

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  const posix::VersionRecord& version = posix::machine().version;
  if (info == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    return posix::Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  if (version.queryFails) return posix::Fail(ERROR_INVALID_PARAMETER, FALSE);
  info->dwMajorVersion = version.major;
  info->dwMinorVersion = version.minor;
  info->dwBuildNumber = version.build;
  info->dwPlatformId = version.platformId;
  info->szCSDVersion[0] = '\0';
  return TRUE;
}

DWORD GetLastError() { return posix::machine().lastError; }
void SetLastError(DWORD code) { posix::machine().lastError = code; }

}  // namespace plat
