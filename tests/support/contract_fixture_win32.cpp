// Windows side of the contract fixture: a fresh folder under C:\vxtests and a fresh key under
// HKEY_CURRENT_USER\Software\VexpurgeTests, both removed again after the test.
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/contract/contract_fixture.h"

namespace {

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE search = ::FindFirstFileA((path + "\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(child.c_str());
      }
    } while (::FindNextFileA(search, &data));
    ::FindClose(search);
  }
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryA(path.c_str());
}

void RemoveKeyTree(HKEY root, const std::string& path) {
  HKEY key;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    char name[256];
    for (;;) {
      DWORD length = sizeof name;
      if (::RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      RemoveKeyTree(key, name);
    }
    ::RegCloseKey(key);
  }
  ::RegDeleteKeyA(root, path.c_str());
}

}  // namespace

void ContractTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(info->test_suite_name()) + "." + info->name();
  ::CreateDirectoryA("C:\\vxtests", nullptr);
  scratch_ = "C:\\vxtests\\" + name;
  RemoveTree(scratch_);
  ASSERT_TRUE(::CreateDirectoryA(scratch_.c_str(), nullptr)) << scratch_;
  scratchKey_ = "Software\\VexpurgeTests\\" + name;
  RemoveKeyTree(HKEY_CURRENT_USER, scratchKey_);
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, scratchKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(key);
}

void ContractTest::TearDown() {
  RemoveTree(scratch_);
  RemoveKeyTree(HKEY_CURRENT_USER, scratchKey_);
}
