// The simulated machine's processes and system calls answer as Windows does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/processes.h"
#include "tests/double/sim_machine.h"

namespace {

const DWORD kSentinel = 0xbdbdbdbd;
using List = std::vector<std::pair<DWORD, std::string>>;

// The last error a call leaves, with the sentinel set first so that a silent call shows.
template <typename Call>
long ErrorOf(Call call) {
  plat::SetLastError(0xdeadbeef);
  call();
  return static_cast<long>(plat::GetLastError());
}

template <typename Fn>
Fn Entry(const char* library, const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void (*)()>(plat::GetProcAddress(plat::LoadLibraryA(library), name)));
}

class SimProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vexpurge-proc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    host_ = pattern;
    m.MapDrive('C', host_);
  }
  void TearDown() override {
    EXPECT_EQ(m.OpenHandles(), 0u) << "handle leak";
    std::filesystem::remove_all(host_);
  }
  std::string Stage(const std::string& name) {  // a real file C:\<name>
    std::ofstream(host_ + "/" + name) << "MZ";
    return "C:\\" + name;
  }
  List Snapshot() {
    HANDLE h = snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    List listed;
    for (BOOL ok = first(h, &entry); ok; ok = next(h, &entry)) {
      listed.emplace_back(entry.th32ProcessID, entry.szExeFile);
    }
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(plat::CloseHandle(h));
    return listed;
  }

  sim::Machine& m = (sim::Reset(), sim::machine());  // a new machine for each test
  CreateToolhelp32SnapshotFn snapshot =
      Entry<CreateToolhelp32SnapshotFn>("kernel32", "CreateToolhelp32Snapshot");
  Process32FirstFn first = Entry<Process32FirstFn>("kernel32", "Process32First");
  Process32NextFn next = Entry<Process32NextFn>("kernel32", "Process32Next");
  std::string host_;
};

TEST_F(SimProcesses, VersionRecords) {
  OSVERSIONINFOA info;
  std::memset(&info, 0xbd, sizeof info);
  info.dwOSVersionInfoSize = sizeof info - 1;
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::GetVersionExA(&info)); }), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(info.dwMajorVersion, kSentinel);
  info.dwOSVersionInfoSize = sizeof info;
  m.SetVersion(sim::WindowsVersion::WinMe);
  ASSERT_TRUE(plat::GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId * 1000 + info.dwMajorVersion * 100 + info.dwMinorVersion, 1490u);
  m.SetVersion(sim::WindowsVersion::NT4);
  ASSERT_TRUE(plat::GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId * 1000 + info.dwMajorVersion * 100 + info.dwMinorVersion, 2400u);
  EXPECT_EQ(info.dwBuildNumber, 1381u);
  m.SetVersion(sim::WindowsVersion::QueryFails);
  EXPECT_FALSE(plat::GetVersionExA(&info));
}

TEST_F(SimProcesses, ToolhelpNamesOn9xAndNtAsOfTheSnapshot) {
  m.AddProcess(4, "C:\\WINDOWS\\Explorer.EXE");
  m.AddProcess(9, "C:\\gone.exe").running = false;
  m.AddProcess(12, "C:\\bad\\worm.exe").toolhelpName = "WORM.EXE";
  m.SetVersion(sim::WindowsVersion::Win98);
  EXPECT_EQ(Snapshot(), (List{{4, "C:\\WINDOWS\\Explorer.EXE"}, {12, "WORM.EXE"}}));
  m.SetVersion(sim::WindowsVersion::WinXP);
  EXPECT_EQ(Snapshot(), (List{{4, "Explorer.EXE"}, {12, "WORM.EXE"}}));

  HANDLE h = snapshot(TH32CS_SNAPPROCESS, 0);
  m.FindProcess(4)->running = false;  // after the snapshot: still listed there
  m.AddProcess(30, "C:\\" + std::string(300, 'x') + ".exe");
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry - 1;
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(first(h, &entry)); }), 24);  // ERROR_BAD_LENGTH
  entry.dwSize = sizeof entry;
  ASSERT_TRUE(first(h, &entry));
  EXPECT_EQ(entry.th32ProcessID, 4u);
  plat::CloseHandle(h);
  const List listed = Snapshot();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[1].second.size(), MAX_PATH - 1u) << "the long name is cut to the record";
  m.snapshotFails = true;
  EXPECT_EQ(snapshot(TH32CS_SNAPPROCESS, 0), INVALID_HANDLE_VALUE);
}

TEST_F(SimProcesses, PsapiListsIdsAndBoundedModulePaths) {
  m.AddProcess(4, "C:\\WINDOWS\\Explorer.EXE");
  m.AddProcess(8, "C:\\gone.exe").running = false;
  m.AddProcess(12, "C:\\bad\\worm.exe").moduleName = "\\??\\C:\\bad\\worm.exe";
  m.AddProcess(16, "C:\\x.exe");
  auto enumerate = Entry<EnumProcessesFn>("PSAPI", "EnumProcesses");
  auto moduleName = Entry<GetModuleFileNameExAFn>("psapi.dll", "GetModuleFileNameExA");
  DWORD ids[4] = {kSentinel, kSentinel, kSentinel, kSentinel}, bytes = kSentinel;
  ASSERT_TRUE(enumerate(ids, 2 * sizeof(DWORD) + 3, &bytes));
  EXPECT_EQ(std::vector<DWORD>(ids, ids + 3), (std::vector<DWORD>{4, 12, kSentinel}));
  EXPECT_EQ(bytes, 8u);
  ASSERT_TRUE(enumerate(ids, sizeof ids, &bytes));
  EXPECT_EQ(bytes, 12u);
  EXPECT_EQ(ids[2], 16u);

  const DWORD query = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
  char name[32];
  std::memset(name, 0xbd, sizeof name);
  HANDLE h = plat::OpenProcess(query, FALSE, 12);
  EXPECT_EQ(moduleName(h, nullptr, name, 8), 7u);
  EXPECT_STREQ(name, "\\??\\C:\\");
  EXPECT_EQ(name[8], '\xbd');
  plat::CloseHandle(h);
  h = plat::OpenProcess(query, FALSE, 4);
  EXPECT_EQ(moduleName(h, nullptr, name, sizeof name), 23u);
  EXPECT_STREQ(name, "C:\\WINDOWS\\Explorer.EXE");
  plat::CloseHandle(h);
  h = plat::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 16);
  name[0] = '\xbd';
  EXPECT_EQ(ErrorOf([&] { EXPECT_EQ(moduleName(h, nullptr, name, 32), 0u); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(name[0], '\xbd');
  plat::CloseHandle(h);
}

TEST_F(SimProcesses, OpenTerminateOutcomesAndReleasedFiles) {
  const std::string image = Stage("worm.exe"), log = Stage("worm.log");
  m.AddProcess(4, "C:\\a.exe").refusesTermination = true;
  m.AddProcess(8, "C:\\b.exe").survivesTermination = true;
  sim::Process& worm = m.AddProcess(12, image);
  worm.heldFiles.push_back({log});
  EXPECT_EQ(ErrorOf([] { EXPECT_FALSE(plat::OpenProcess(PROCESS_TERMINATE, FALSE, 99)); }),
            ERROR_INVALID_PARAMETER);
  auto terminate = [](DWORD pid, DWORD access) {
    HANDLE h = plat::OpenProcess(access, FALSE, pid);
    const long error = ErrorOf([&] { plat::TerminateProcess(h, 1); });
    EXPECT_TRUE(plat::CloseHandle(h));
    return error;
  };
  EXPECT_EQ(terminate(12, PROCESS_QUERY_INFORMATION), ERROR_ACCESS_DENIED);
  EXPECT_EQ(worm.terminateCalls, 0);
  EXPECT_EQ(terminate(4, PROCESS_TERMINATE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(terminate(8, PROCESS_TERMINATE), 0xdeadbeef);
  EXPECT_TRUE(m.FindProcess(4)->running && m.FindProcess(8)->running);

  EXPECT_EQ(ErrorOf([&] { plat::DeleteFileA(image.c_str()); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ErrorOf([&] { plat::DeleteFileA(log.c_str()); }), ERROR_SHARING_VIOLATION);
  HANDLE h = plat::OpenProcess(PROCESS_TERMINATE, FALSE, 12);
  EXPECT_TRUE(plat::TerminateProcess(h, 7));
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::TerminateProcess(h, 8)); }), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(plat::CloseHandle(h));
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::CloseHandle(h)); }), ERROR_INVALID_HANDLE);
  EXPECT_EQ(worm.exitCode, 7u);
  EXPECT_EQ(worm.terminateCalls, 2);
  EXPECT_EQ(plat::OpenProcess(PROCESS_TERMINATE, FALSE, 12), nullptr);
  EXPECT_TRUE(plat::DeleteFileA(image.c_str()));
  EXPECT_TRUE(plat::DeleteFileA(log.c_str()));
}

TEST_F(SimProcesses, PrivilegeProtocol) {
  sim::Process& guarded = m.AddProcess(4, "C:\\guarded.exe");
  guarded.openDenied = guarded.openWithDebugPrivilege = true;
  LUID shutdown{}, debug{}, unknown{kSentinel, 0};
  ASSERT_TRUE(plat::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown));
  ASSERT_TRUE(plat::LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &debug));
  EXPECT_EQ(shutdown.LowPart * 100 + debug.LowPart, 1920u);
  EXPECT_EQ(ErrorOf([&] { plat::LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &unknown); }),
            ERROR_NO_SUCH_PRIVILEGE);
  EXPECT_EQ(unknown.LowPart, kSentinel);
  EXPECT_EQ(ErrorOf([] { EXPECT_FALSE(plat::OpenProcess(PROCESS_TERMINATE, FALSE, 4)); }),
            ERROR_ACCESS_DENIED);

  m.heldPrivileges = {"SeDebugPrivilege"};
  HANDLE token = nullptr;
  ASSERT_TRUE(plat::OpenProcessToken(plat::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  struct {
    TOKEN_PRIVILEGES head;
    LUID_AND_ATTRIBUTES second;
  } state{};
  state.head.PrivilegeCount = 2;
  state.head.Privileges[0] = {shutdown, SE_PRIVILEGE_ENABLED};
  state.second = {debug, SE_PRIVILEGE_ENABLED};
  BOOL adjusted = FALSE;
  auto adjust = [&] {
    adjusted = plat::AdjustTokenPrivileges(token, FALSE, &state.head, 0, nullptr, nullptr);
  };
  EXPECT_EQ(ErrorOf(adjust), ERROR_NOT_ALL_ASSIGNED);
  EXPECT_TRUE(adjusted) << "Windows succeeds and leaves only the last error to tell";
  EXPECT_EQ(m.enabledPrivileges, std::set<std::string>{"SeDebugPrivilege"});
  state.head.Privileges[0] = {debug, SE_PRIVILEGE_ENABLED};
  EXPECT_EQ(ErrorOf(adjust), 0);
  EXPECT_TRUE(plat::CloseHandle(token));
  EXPECT_EQ(ErrorOf(adjust), ERROR_INVALID_HANDLE);
  HANDLE h = plat::OpenProcess(PROCESS_TERMINATE, FALSE, 4);
  EXPECT_NE(h, nullptr) << "SeDebugPrivilege opens the guarded process";
  plat::CloseHandle(h);
  m.tokenOpenFails = true;
  EXPECT_FALSE(plat::OpenProcessToken(plat::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  EXPECT_EQ(m.tokenOpens, 2);
}

TEST_F(SimProcesses, MissingLibrariesAndEntryPoints) {
  HMODULE kernel = plat::LoadLibraryA("KERNEL32.DLL");
  EXPECT_EQ(plat::LoadLibraryA("kernel32"), kernel);
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::GetProcAddress(kernel, "EnumProcesses")); }),
            ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(plat::LoadLibraryA("nosuch.dll"), nullptr);
  m.missingLibraries.insert("psapi.dll");
  EXPECT_EQ(ErrorOf([] { EXPECT_FALSE(plat::LoadLibraryA("PSAPI")); }), ERROR_MOD_NOT_FOUND);
  m.missingEntryPoints.insert("Process32Next");
  EXPECT_NE(plat::GetProcAddress(kernel, "Process32First"), nullptr);
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::GetProcAddress(kernel, "Process32Next")); }),
            ERROR_PROC_NOT_FOUND);
}

TEST_F(SimProcesses, WideToNarrowIsBoundedAndCountsTheTerminator) {
  const char16_t text[] = u"Caf\u00e9 \u4e2d";  // 6 units and the terminator
  char out[16];
  long error = 0;
  auto convert = [&](int count, int capacity) {
    std::memset(out, 0xbd, sizeof out);
    int result = -1;
    error = ErrorOf([&] {
      result = plat::WideCharToMultiByte(CP_ACP, 0, text, count, capacity ? out : nullptr, capacity,
                                         nullptr, nullptr);
    });
    return result;
  };
  EXPECT_EQ(convert(-1, 0), 7);
  EXPECT_EQ(convert(-1, sizeof out), 7);
  EXPECT_EQ(std::string(out, 8), std::string("Caf\xe9 ?\0\xbd", 8));
  EXPECT_EQ(convert(3, sizeof out), 3);
  EXPECT_EQ(out[3], '\xbd') << "a counted string gets no terminator";
  EXPECT_EQ(convert(-1, 6), 0);
  EXPECT_EQ(error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(out[6], '\xbd');
  m.wideConversionFails = true;
  EXPECT_EQ(convert(-1, sizeof out), 0);
}

TEST_F(SimProcesses, RestartIsRecordedAndExitUnwinds) {
  EXPECT_TRUE(plat::ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
  m.exitWindowsResult = FALSE;
  EXPECT_FALSE(plat::ExitWindowsEx(EWX_SHUTDOWN, 5));
  ASSERT_EQ(m.restarts.size(), 2u);
  EXPECT_EQ(m.restarts[0].flags, static_cast<UINT>(EWX_REBOOT | EWX_FORCE));
  EXPECT_EQ(m.restarts[1].reason, 5u);
  int status = -1;
  try {
    plat::exit(3);
  } catch (const sim::ProgramExit& e) {
    status = e.status;
  }
  EXPECT_EQ(status, 3);
  EXPECT_EQ(m.exits, std::vector<int>{3});
}

}  // namespace
