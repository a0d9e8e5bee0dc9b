// What the logic expects of the registry calls, pinned on both the simulated machine and Wine.
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/contract/contract_fixture.h"

#ifndef REG_CREATED_NEW_KEY
#define REG_CREATED_NEW_KEY 1L
#define REG_OPENED_EXISTING_KEY 2L
#endif
#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif

namespace {

class RegistryContract : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    ASSERT_EQ(
        plat::RegOpenKeyExA(HKEY_CURRENT_USER, ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &key_),
        ERROR_SUCCESS);
  }
  void TearDown() override {
    if (key_ != nullptr) plat::RegCloseKey(key_);
    ContractTest::TearDown();
  }

  HKEY Key() const { return key_; }

  void SetBinary(const char* name, const std::string& bytes) {
    ASSERT_EQ(
        plat::RegSetValueExA(key_, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
        ERROR_SUCCESS);
  }

  LONG Create(HKEY root, const std::string& path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    const LONG rc = plat::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS, nullptr, &key, disposition);
    if (rc == ERROR_SUCCESS) {
      EXPECT_EQ(plat::RegCloseKey(key), ERROR_SUCCESS);
    }
    return rc;
  }

  std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
      char name[256];
      DWORD length = sizeof name;
      const LONG rc =
          plat::RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) {
        EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
        break;
      }
      EXPECT_EQ(length, std::strlen(name));
      names.push_back(name);
    }
    return names;
  }

  DWORD Count(bool subkeys) {
    DWORD count = 0xdeadbeef;
    EXPECT_EQ(plat::RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, subkeys ? &count : nullptr,
                                     nullptr, nullptr, subkeys ? nullptr : &count, nullptr, nullptr,
                                     nullptr, nullptr),
              ERROR_SUCCESS);
    return count;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

TEST_F(RegistryContract, CreateReportsNewThenExistingAndNamesIgnoreCase) {
  DWORD disposition = 0xdeadbeef;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, ScratchKey() + "\\New\\Deeper", &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  disposition = 0xdeadbeef;
  ASSERT_EQ(Create(Key(), "new\\DEEPER", &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  HKEY opened = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(Key(), "NEW\\deeper", 0, KEY_READ, &opened), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegCloseKey(opened), ERROR_SUCCESS);
  // A trailing backslash is harmless; subkey paths are relative, so a leading one is not.
  ASSERT_EQ(plat::RegOpenKeyExA(Key(), "New\\", 0, KEY_READ, &opened), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegCloseKey(opened), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegOpenKeyExA(Key(), "\\New", 0, KEY_READ, &opened), ERROR_BAD_PATHNAME);

  // The key keeps the spelling it was created with.
  char name[64];
  std::memset(name, 0xbd, sizeof name);
  DWORD length = sizeof name;
  ASSERT_EQ(plat::RegEnumKeyExA(Key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "New");
  EXPECT_EQ(length, 3u);

  // Opening without a subkey gives a second handle to the same key.
  SetBinary("Here", "x");
  HKEY again = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(Key(), "", 0, KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_NE(again, Key());
  EXPECT_EQ(ValueNames(again), (std::vector<std::string>{"Here"}));
  EXPECT_EQ(plat::RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(Key()), (std::vector<std::string>{"Here"}));
}

TEST_F(RegistryContract, MissingKeysAndValues) {
  HKEY opened = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xbdbdbdbd));
  EXPECT_EQ(plat::RegOpenKeyExA(Key(), "Absent", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(opened, nullptr);
  EXPECT_EQ(plat::RegOpenKeyExA(Key(), "Absent\\Below", 0, KEY_READ, &opened),
            ERROR_FILE_NOT_FOUND);

  BYTE data[8];
  DWORD size = sizeof data;
  EXPECT_EQ(plat::RegQueryValueExA(Key(), "absent", nullptr, nullptr, data, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::RegQueryValueExA(Key(), nullptr, nullptr, nullptr, data, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::RegDeleteValueA(Key(), "absent"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::RegDeleteKeyA(Key(), "Absent"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, QueryAnswersSizeMoreDataAndExactBytes) {
  const std::string bytes("\x01\x00\x02\xff\x7f", 5);
  SetBinary("Blob", bytes);
  DWORD type = 0xdeadbeef;
  DWORD size = 0xdeadbeef;
  ASSERT_EQ(plat::RegQueryValueExA(Key(), "blob", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(size, 5u);

  BYTE data[16];
  size = 3;
  EXPECT_EQ(plat::RegQueryValueExA(Key(), "Blob", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  std::memset(data, 0xbd, sizeof data);
  size = sizeof data;
  ASSERT_EQ(plat::RegQueryValueExA(Key(), "Blob", nullptr, nullptr, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 6), bytes + "\xbd");

  // A null and an empty name both mean the default value.
  const char text[] = "C:\\WINDOWS\\evil.exe";
  ASSERT_EQ(
      plat::RegSetValueExA(Key(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
      ERROR_SUCCESS);
  char string[64];
  std::memset(string, 0xbd, sizeof string);
  size = sizeof string;
  ASSERT_EQ(plat::RegQueryValueExA(Key(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(string),
                                   &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof text);
  EXPECT_STREQ(string, text);
  EXPECT_EQ(static_cast<unsigned char>(string[sizeof text]), 0xbd);
}

// Windows lists values in creation order, Wine by name: these names agree on both.
TEST_F(RegistryContract, EnumerationShiftsLaterValuesDownAfterDelete) {
  SetBinary("Alpha", "1");
  SetBinary("beta", "22");
  SetBinary("Gamma", "333");
  EXPECT_EQ(ValueNames(Key()), (std::vector<std::string>{"Alpha", "beta", "Gamma"}));
  ASSERT_EQ(plat::RegDeleteValueA(Key(), "BETA"), ERROR_SUCCESS);

  char name[16];
  std::memset(name, 0xbd, sizeof name);
  DWORD length = sizeof name;
  DWORD type = 0xdeadbeef;
  BYTE data[8];
  std::memset(data, 0xbd, sizeof data);
  DWORD size = sizeof data;
  ASSERT_EQ(plat::RegEnumValueA(Key(), 1, name, &length, nullptr, &type, data, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Gamma");
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 4), "333\xbd");
  length = sizeof name;
  EXPECT_EQ(plat::RegEnumValueA(Key(), 2, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryContract, EnumerationRefusesShortBuffers) {
  SetBinary("LongerName", "123456");
  ASSERT_EQ(Create(Key(), "Subkey"), ERROR_SUCCESS);
  char name[32];
  DWORD length = 10;  // the characters fit, the terminator does not
  EXPECT_EQ(plat::RegEnumValueA(Key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  BYTE data[4];
  DWORD size = sizeof data;
  length = sizeof name;
  EXPECT_EQ(plat::RegEnumValueA(Key(), 0, name, &length, nullptr, nullptr, data, &size),
            ERROR_MORE_DATA);

  length = 6;
  EXPECT_EQ(plat::RegEnumKeyExA(Key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  length = 7;
  std::memset(name, 0xbd, sizeof name);
  ASSERT_EQ(plat::RegEnumKeyExA(Key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Subkey");
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(static_cast<unsigned char>(name[7]), 0xbd);
  length = sizeof name;
  EXPECT_EQ(plat::RegEnumKeyExA(Key(), 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryContract, HandleRightsGateEachCall) {
  SetBinary("Keep", "x");
  HKEY reader = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(Key(), nullptr, 0, KEY_READ, &reader), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegDeleteValueA(reader, "Keep"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(
      plat::RegSetValueExA(reader, "New", 0, REG_BINARY, reinterpret_cast<const BYTE*>("y"), 1),
      ERROR_ACCESS_DENIED);
  DWORD size = 0;
  EXPECT_EQ(plat::RegQueryValueExA(reader, "Keep", nullptr, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(plat::RegCloseKey(reader), ERROR_SUCCESS);

  HKEY writer = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(Key(), nullptr, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegQueryValueExA(writer, "Keep", nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  char name[16];
  DWORD length = sizeof name;
  EXPECT_EQ(plat::RegEnumKeyExA(writer, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(plat::RegDeleteValueA(writer, "Keep"), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegCloseKey(writer), ERROR_SUCCESS);
  EXPECT_EQ(Count(false), 0u);
}

TEST_F(RegistryContract, InfoCountsSubkeysValuesAndLongestEntries) {
  ASSERT_EQ(Create(Key(), "ab"), ERROR_SUCCESS);
  ASSERT_EQ(Create(Key(), "Longest"), ERROR_SUCCESS);
  SetBinary("v", "123456789");
  SetBinary("LongerValue", "12");
  DWORD subKeys = 0xdeadbeef, maxSubKey = 0xdeadbeef, values = 0xdeadbeef;
  DWORD maxName = 0xdeadbeef, maxData = 0xdeadbeef;
  ASSERT_EQ(plat::RegQueryInfoKeyA(Key(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                                   &values, &maxName, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 2u);
  EXPECT_EQ(maxSubKey, 7u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(maxName, 11u);
  EXPECT_EQ(maxData, 9u);
  EXPECT_EQ(plat::RegQueryInfoKeyA(Key(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
}

TEST_F(RegistryContract, DeleteKeyTakesLeavesOnly) {
  ASSERT_EQ(Create(Key(), "Parent\\Child"), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegDeleteKeyA(Key(), "Parent"), ERROR_ACCESS_DENIED);
  HKEY still = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(Key(), "Parent\\Child", 0, KEY_READ, &still), ERROR_SUCCESS);
  plat::RegCloseKey(still);

  EXPECT_EQ(plat::RegDeleteKeyA(HKEY_CURRENT_USER, (ScratchKey() + "\\parent\\CHILD").c_str()),
            ERROR_SUCCESS);
  EXPECT_EQ(plat::RegOpenKeyExA(Key(), "Parent\\Child", 0, KEY_READ, &still), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::RegDeleteKeyA(Key(), "Parent"), ERROR_SUCCESS);
  EXPECT_EQ(Count(true), 0u);
}
