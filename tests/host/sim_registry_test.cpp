// The simulated registry: what only the simulated machine can stage (denied rights, the 9x
// family, keys deleted under open handles, performance data) and its helper API.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/double/sim_machine.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SimRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    startHandles_ = sim::machine().OpenHandles();
  }
  void TearDown() override {
    EXPECT_EQ(sim::machine().OpenHandles(), startHandles_) << "key handle leaked";
  }

  sim::Registry& reg() { return sim::machine().registry; }

  HKEY Open(HKEY root, const char* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA(root, path, 0, access, &key), ERROR_SUCCESS) << path;
    return key;
  }

 private:
  size_t startHandles_ = 0;
};

}  // namespace

TEST_F(SimRegistry, HelpersLayOutStringsAndShareKeysAcrossSpellings) {
  const char* sm = "\\System\\currentcontrolset\\Control\\\\Session Manager\\";
  reg().SetString(HKEY_LOCAL_MACHINE, sm, "Path", "C:\\x.exe");
  reg().SetMultiString(HKEY_LOCAL_MACHINE, sm, "Multi", {"a", "bc"});
  EXPECT_EQ(reg().GetValue(HKEY_LOCAL_MACHINE, sm, "path"),
            (Bytes{'C', ':', '\\', 'x', '.', 'e', 'x', 'e', 0}));
  EXPECT_EQ(reg().GetValue(HKEY_LOCAL_MACHINE, sm, "Multi"), (Bytes{'a', 0, 'b', 'c', 0, 0}));
  EXPECT_EQ(reg().GetString(HKEY_LOCAL_MACHINE, sm, "Multi"), "a");
  EXPECT_EQ(reg().GetString(HKEY_LOCAL_MACHINE, sm, "none"), std::nullopt);

  // The standard key was reused, not doubled under another spelling.
  EXPECT_EQ(reg().SubkeyNames(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control"),
            (std::vector<std::string>{"Session Manager"}));
  reg().SetValue(HKEY_LOCAL_MACHINE, sm, "PATH", REG_EXPAND_SZ, Bytes{'y', 0});
  EXPECT_EQ(reg().ValueNames(HKEY_LOCAL_MACHINE, sm), (std::vector<std::string>{"Path", "Multi"}));
  for (const char* path : {"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                           "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices",
                           "SYSTEM\\CurrentControlSet\\Services"}) {
    EXPECT_TRUE(reg().KeyExists(HKEY_LOCAL_MACHINE, path)) << path;
  }
  EXPECT_TRUE(
      reg().KeyExists(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
  EXPECT_FALSE(reg().KeyExists(HKEY_USERS, "Software"));
}

// Wine sorts names, so creation order can only be pinned here.
TEST_F(SimRegistry, EnumerationFollowsCreationOrder) {
  for (const char* name : {"Zeta", "alpha", "Mid"}) {
    reg().SetString(HKEY_CURRENT_USER, "K", name, name);
    reg().CreateKey(HKEY_CURRENT_USER, std::string("K\\") + name);
  }
  HKEY key = Open(HKEY_CURRENT_USER, "K");
  ASSERT_EQ(plat::RegDeleteValueA(key, "ALPHA"), ERROR_SUCCESS);
  char name[16];
  DWORD length = sizeof name;
  ASSERT_EQ(plat::RegEnumValueA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Mid");
  length = sizeof name;
  ASSERT_EQ(plat::RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Zeta");
  EXPECT_EQ(reg().SubkeyNames(HKEY_CURRENT_USER, "K"),
            (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
  plat::RegCloseKey(key);
}

TEST_F(SimRegistry, QueryReturnsStoredBytesAndNeverOverruns) {
  reg().SetValue(HKEY_CURRENT_USER, "K", "Bare", REG_SZ, Bytes{'a', 'b', 'c'});
  HKEY key = Open(HKEY_CURRENT_USER, "K");
  BYTE data[8];
  std::memset(data, 0xbd, sizeof data);
  DWORD size = 2;
  EXPECT_EQ(plat::RegQueryValueExA(key, "Bare", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(data[0], 0xbd);
  size = 3;
  ASSERT_EQ(plat::RegQueryValueExA(key, "Bare", nullptr, nullptr, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 4), "abc\xbd");  // no terminator added

  // The name needs five characters with its terminator: four is refused untouched.
  char name[8];
  std::memset(name, 0xbd, sizeof name);
  DWORD length = 4;
  EXPECT_EQ(plat::RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(static_cast<unsigned char>(name[0]), 0xbd);
  length = 5;
  ASSERT_EQ(plat::RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::string(name, 6), std::string("Bare\0\xbd", 6));

  // Values far beyond any real size are stored whole.
  const Bytes huge(3u << 20, 0x5a);
  ASSERT_EQ(plat::RegSetValueExA(key, "Huge", 0, REG_BINARY, huge.data(),
                                 static_cast<DWORD>(huge.size())),
            ERROR_SUCCESS);
  size = 0;
  ASSERT_EQ(plat::RegQueryValueExA(key, "Huge", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, huge.size());
  EXPECT_EQ(reg().GetValue(HKEY_CURRENT_USER, "K", "huge"), huge);
  plat::RegCloseKey(key);
}

TEST_F(SimRegistry, DeniedRightsRefuseOpenCreateAndDelete) {
  reg().DenyAccess(HKEY_LOCAL_MACHINE, "Software\\Locked", KEY_SET_VALUE | DELETE);
  HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xbdbdbdbd));
  EXPECT_EQ(plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked", 0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(plat::RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\locked", 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Locked"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(reg().KeyExists(HKEY_LOCAL_MACHINE, "Software\\Locked"));
  plat::RegCloseKey(Open(HKEY_LOCAL_MACHINE, "Software\\Locked", KEY_READ));
}

TEST_F(SimRegistry, NtDeletesLeavesOnlyWhile9xTakesTheTree) {
  reg().CreateKey(HKEY_LOCAL_MACHINE, "Software\\Bad\\Sub\\Leaf");
  HKEY leaf = Open(HKEY_LOCAL_MACHINE, "Software\\Bad\\Sub\\Leaf");
  EXPECT_EQ(plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Bad"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(plat::RegDeleteKeyA(leaf, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(reg().KeyExists(HKEY_LOCAL_MACHINE, "Software\\Bad\\Sub\\Leaf"));

  sim::machine().SetVersion(sim::WindowsVersion::Win98);
  ASSERT_EQ(plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\bad"), ERROR_SUCCESS);
  EXPECT_FALSE(reg().KeyExists(HKEY_LOCAL_MACHINE, "Software\\Bad"));
  EXPECT_TRUE(
      reg().KeyExists(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"));

  // A handle into the removed tree answers ERROR_KEY_DELETED and still closes.
  DWORD values = 0;
  EXPECT_EQ(plat::RegQueryInfoKeyA(leaf, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &values, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(plat::RegSetValueExA(leaf, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
            ERROR_KEY_DELETED);
  HKEY below = nullptr;
  EXPECT_EQ(
      plat::RegCreateKeyExA(leaf, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &below, nullptr),
      ERROR_KEY_DELETED);
  EXPECT_EQ(plat::RegCloseKey(leaf), ERROR_SUCCESS);
  EXPECT_FALSE(reg().KeyExists(HKEY_LOCAL_MACHINE, "Software\\Bad"));
}

TEST_F(SimRegistry, RootsAndHandlesOpenAndCloseWithoutLeaks) {
  const size_t start = sim::machine().OpenHandles();
  HKEY same = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(plat::RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);

  HKEY a = Open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services");
  HKEY b = Open(a, "", KEY_SET_VALUE);
  EXPECT_NE(a, b);
  // Windows wants KEY_QUERY_VALUE here (Wine does not check, so the contract cannot pin it).
  DWORD count = 0;
  EXPECT_EQ(plat::RegQueryInfoKeyA(b, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(sim::machine().OpenHandles(), start + 2);
  EXPECT_EQ(plat::RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_EQ(plat::RegCloseKey(a), ERROR_INVALID_HANDLE);
  EXPECT_EQ(plat::RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_EQ(sim::machine().OpenHandles(), start);
  EXPECT_EQ(plat::RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistry, PerformanceDataLeavesSizeAloneUntilTheBufferFits) {
  Bytes block(300);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  sim::machine().performanceData["230"] = block;

  std::vector<BYTE> buffer(512, 0xbd);
  DWORD size = 100;
  DWORD type = 0xdeadbeef;
  EXPECT_EQ(
      plat::RegQueryValueExA(HKEY_PERFORMANCE_DATA, "230", nullptr, &type, buffer.data(), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(buffer[0], 0xbd);
  size = 300;
  ASSERT_EQ(
      plat::RegQueryValueExA(HKEY_PERFORMANCE_DATA, "230", nullptr, &type, buffer.data(), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(size, 300u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 300), block);
  EXPECT_EQ(buffer[300], 0xbd);

  size = 512;
  EXPECT_EQ(
      plat::RegQueryValueExA(HKEY_PERFORMANCE_DATA, "232", nullptr, nullptr, buffer.data(), &size),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sim::machine().performanceQueries, 3);
}

TEST_F(SimRegistry, ResetTakesTheSameMachineBackToItsStartState) {
  const char* kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const char* kServices = "SYSTEM\\CurrentControlSet\\Services";
  sim::Machine& m = sim::machine();
  // Round one keeps the standard keys in place; round two has one deleted and made again under
  // another spelling, so the tree is made anew.
  for (const bool respell : {false, true}) {
    SCOPED_TRACE(respell ? "standard key respelled" : "standard keys kept");
    reg().SetString(HKEY_LOCAL_MACHINE, kRun, "x", "C:\\x.exe");
    reg().CreateKey(HKEY_CURRENT_USER, "Software\\Vendor\\Deep");
    reg().DenyAccess(HKEY_LOCAL_MACHINE, kServices, KEY_SET_VALUE);
    if (respell) {
      ASSERT_EQ(plat::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRun), ERROR_SUCCESS);
      reg().CreateKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RUN");
    }
    HKEY held = Open(HKEY_CURRENT_USER, "Software\\Vendor\\Deep");
    m.SetVersion(sim::WindowsVersion::Win98);
    m.environment["TEMP"] = "D:\\T";
    m.environment["Extra"] = "1";
    m.MapMemoryDrive('C');
    ASSERT_TRUE(m.PutFile("C:\\a.txt", "a"));
    m.AddProcess(8, "C:\\p.exe");
    m.sleeps.push_back(1);
    m.dialogAnswers.push_back(IDYES);
    m.heldPrivileges.clear();

    sim::Reset();
    ASSERT_EQ(&sim::machine(), &m);
    EXPECT_EQ(m.OpenHandles(), 0u);
    EXPECT_EQ(plat::RegCloseKey(held), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg().SubkeyNames(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion"),
              (std::vector<std::string>{"Run", "RunServices"}));
    EXPECT_TRUE(reg().ValueNames(HKEY_LOCAL_MACHINE, kRun).empty());
    EXPECT_EQ(reg().SubkeyNames(HKEY_CURRENT_USER, "Software"),
              (std::vector<std::string>{"Microsoft"}));
    plat::RegCloseKey(Open(HKEY_LOCAL_MACHINE, kServices, KEY_SET_VALUE));
    EXPECT_EQ(m.systemDirectory, "C:\\WINDOWS\\system32");
    EXPECT_FALSE(m.Is9x());
    EXPECT_EQ(m.environment.size(), 6u);
    EXPECT_EQ(m.environment["TEMP"], "C:\\WINDOWS\\TEMP");
    EXPECT_EQ(plat::GetFileAttributesA("C:\\a.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(m.processes.empty());
    EXPECT_TRUE(m.sleeps.empty());
    EXPECT_TRUE(m.dialogAnswers.empty());
    EXPECT_EQ(m.heldPrivileges, (std::set<std::string>{"SeDebugPrivilege", "SeShutdownPrivilege"}));
  }
}
