// Host side of the contract fixture: a new simulated machine whose C: is a fresh temporary
// folder, removed again after the test.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/registry.h"
#include "tests/contract/contract_fixture.h"
#include "tests/double/sim_machine.h"

void ContractTest::SetUp() {
  sim::Reset();
  char pattern[] = "/tmp/vexpurge-test-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  host_ = made;
  sim::machine().MapDrive('C', host_);
  scratch_ = "C:\\scratch";
  std::filesystem::create_directory(host_ + "/scratch");
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  scratchKey_ =
      std::string("Software\\VexpurgeTests\\") + info->test_suite_name() + "." + info->name();
  HKEY key = nullptr;
  ASSERT_EQ(plat::RegCreateKeyExA(HKEY_CURRENT_USER, scratchKey_.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  plat::RegCloseKey(key);
}

void ContractTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(host_, ignored);
}
