#include "tests/wine/wine_fixture.h"

#include <cstring>
#include <utility>

#include "engine/scan_state.h"
#include "engine/signatures/signature_record.h"
#include "platform/files.h"
#include "tools/specimen/specimen.h"

const SignatureRecord& Row(int row) { return SignatureTable[row - 1]; }

Lines g_lines;

namespace {

LRESULT CALLBACK CollectLines(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == AppendLineMessage) {
    g_lines.emplace_back(g_scan.ReportLine);
    return 0;
  }
  if (message == SetStatusMessage) return 0;
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.rfind('\\'));
}

Bytes ReadAll(const std::string& path) {
  Bytes bytes;
  const int fd = plat::_open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return bytes;
  char buffer[65536];
  int n;
  while ((n = plat::_read(fd, buffer, sizeof buffer)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  plat::_close(fd);
  return bytes;
}

bool WriteAll(const std::string& path, const Bytes& bytes) {
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  const int fd =
      plat::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const bool ok = plat::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                  static_cast<int>(bytes.size());
  plat::_close(fd);
  return ok;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

bool Exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string RawValue(HKEY root, const char* key, const char* name) {
  std::string data;
  HKEY handle;
  if (::RegOpenKeyExA(root, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return data;
  DWORD size = 0;
  if (::RegQueryValueExA(handle, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
      size > 0) {
    data.resize(size);
    if (::RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]),
                           &size) != ERROR_SUCCESS) {
      data.clear();
    }
    data.resize(size);
  }
  ::RegCloseKey(handle);
  return data;
}

// The boot-time list pairs each file with its new name, an empty string for a delete, so empty
// strings do not end it.
std::vector<std::string> MultiString(HKEY root, const char* key, const char* name) {
  std::vector<std::string> strings;
  const std::string data = RawValue(root, key, name);
  size_t at = 0;
  while (at < data.size()) {
    const size_t end = data.find('\0', at);
    const std::string entry =
        data.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!entry.empty()) strings.push_back(entry);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return strings;
}

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kPending[] = "PendingFileRenameOperations";

MessageBoxWatcher::MessageBoxWatcher(std::string caption) : caption_(std::move(caption)) {
  thread_ = std::thread([this] {
    HWND last = nullptr;
    while (!stop_) {
      HWND box = ::FindWindowA("#32770", caption_.c_str());
      if (box != nullptr) {
        // One box may take a moment to go after its answer: count it once.
        if (box != last) ++answered_;
        last = box;
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
      }
      ::Sleep(100);
    }
  });
}

MessageBoxWatcher::~MessageBoxWatcher() {
  stop_ = true;
  thread_.join();
}

PendingRenamesGuard::PendingRenamesGuard()
    : before_(RawValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending)) {}

PendingRenamesGuard::~PendingRenamesGuard() {
  HKEY key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS)
    return;
  if (before_.empty()) {
    ::RegDeleteValueA(key, kPending);
  } else {
    ::RegSetValueExA(key, kPending, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(before_.data()),
                     static_cast<DWORD>(before_.size()));
  }
  ::RegCloseKey(key);
}

void WineDetection::SetUp() {
  ContractTest::SetUp();
  ResetScanState();
  g_lines.clear();
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = CollectLines;
  windowClass.hInstance = ::GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "VexpurgeTestReport";
  ::RegisterClassA(&windowClass);
  window_ = ::CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, windowClass.hInstance, nullptr);
  ASSERT_NE(window_, nullptr);
  g_scan.mainWindow = window_;
  g_scan.memorySweepActive = false;
  g_scan.removalAction = ActionRemove;
}

void WineDetection::TearDown() {
  for (PROCESS_INFORMATION& process : started_) {
    ::TerminateProcess(process.hProcess, 0);
    ::WaitForSingleObject(process.hProcess, 5000);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  for (const auto& value : runValues_) {
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, value.first.c_str(), 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
      ::RegDeleteValueA(key, value.second.c_str());
      ::RegCloseKey(key);
    }
  }
  ::DestroyWindow(window_);
  ContractTest::TearDown();
}

std::string WineDetection::Put(const std::string& name, const Bytes& bytes) {
  const std::string path = Scratch() + "\\" + name;
  EXPECT_TRUE(WriteAll(path, bytes)) << path;
  return path;
}

void WineDetection::SetStartupValue(const char* key, const std::string& name,
                                    const std::string& data) {
  HKEY handle;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &handle, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
  ::RegCloseKey(handle);
  runValues_.emplace_back(key, name);
}

bool WineDetection::HasStartupValue(const char* key, const std::string& name) {
  HKEY handle;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  const bool found =
      ::RegQueryValueExA(handle, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  ::RegCloseKey(handle);
  return found;
}

std::string WineDetection::StartRunningSpecimen(const char* name, bool hold, const char* source) {
  Bytes program = ReadAll(ProgramFolder() + "\\" + source);
  EXPECT_FALSE(program.empty()) << source << " must be beside the test program";
  const int index = specimen::FindPaddableRecord(program);
  EXPECT_GE(index, 0);
  if (index < 0) return "";
  EXPECT_TRUE(specimen::PadToMatch(program, SignatureTable[index]));
  const std::string path = Put(name, program);
  std::string command = "\"" + path + "\" --seconds 60" + (hold ? " --hold" : "");
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  EXPECT_TRUE(::CreateProcessA(path.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, Scratch().c_str(), &startup, &process));
  started_.push_back(process);
  ::Sleep(300);
  EXPECT_EQ(::WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  detectionName_ = SignatureTable[index].Name();
  return path;
}

bool WineDetection::SpecimenRunning(size_t index) {
  return index < started_.size() &&
         ::WaitForSingleObject(started_[index].hProcess, 0) == WAIT_TIMEOUT;
}
