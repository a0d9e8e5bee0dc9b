// Version probes, privileges, restart, service stop and service key removal.
#include <string>
#include <vector>

#include "cleanup/service_keys.h"
#include "engine/scan_driver.h"
#include "memory/privileges.h"
#include "memory/restart.h"
#include "memory/service_stop.h"
#include "memory/version.h"
#include "tests/double/sim_machine.h"
#include "tests/support/scan_fixture.h"

namespace {

using sim::WindowsVersion;

struct Probes {
  WindowsVersion version;
  int kind;
  int generation;
};

TEST(VersionProbes, EveryGeneration) {
  const Probes cases[] = {
      {WindowsVersion::Win95, 4, 0},      {WindowsVersion::Win98, 4, 0},
      {WindowsVersion::WinMe, 4, 0},      {WindowsVersion::NT351, 5, 5},
      {WindowsVersion::NT4, 5, 5},        {WindowsVersion::Win2000, 5, 6},
      {WindowsVersion::WinXP, 5, 6},      {WindowsVersion::Vista, 5, 0},
      {WindowsVersion::Win7, 5, 0},       {WindowsVersion::Win32s, 1, 0},
      {WindowsVersion::QueryFails, 0, 0},
  };
  for (const Probes& c : cases) {
    sim::Reset();
    sim::machine().SetVersion(c.version);
    EXPECT_EQ(GetPlatformKind(), c.kind) << static_cast<int>(c.version);
    EXPECT_EQ(GetNtGeneration(), c.generation) << static_cast<int>(c.version);
  }
  // The manifest declares Windows 8.1 and 10/11, which then report their own numbers: NT 6 and
  // later alike.
  for (const DWORD major : {6u, 10u}) {
    sim::Reset();
    sim::machine().version.major = major;
    sim::machine().version.minor = major == 6 ? 3 : 0;
    EXPECT_EQ(GetPlatformKind(), PlatformNt) << major;
    EXPECT_EQ(GetNtGeneration(), NtGenerationNone) << major;
  }
}

class System : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    ResetScanState();
  }
  sim::Machine& machine() { return sim::machine(); }
};

TEST_F(System, PrivilegeStepsAndTheTokenIsClosed) {
  EXPECT_TRUE(EnablePrivilege("SeDebugPrivilege").tokenOpened);
  EXPECT_EQ(EnablePrivilege("SeDebugPrivilege").adjustError, 0u);
  EXPECT_EQ(machine().tokenOpens, 2);  // every request repeats every step
  EXPECT_EQ(machine().enabledPrivileges.count("SeDebugPrivilege"), 1u);
  machine().heldPrivileges.clear();
  EXPECT_EQ(EnablePrivilege("SeShutdownPrivilege").adjustError,
            static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  machine().tokenOpenFails = true;
  EXPECT_FALSE(EnablePrivilege("SeShutdownPrivilege").tokenOpened);
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(System, RestartOn98NeedsNoToken) {
  machine().SetVersion(WindowsVersion::Win98);
  EXPECT_EQ(RestartWindows(), 1u);
  ASSERT_EQ(machine().restarts.size(), 1u);
  EXPECT_EQ(machine().restarts[0].flags, static_cast<UINT>(EWX_REBOOT | EWX_FORCE));
  EXPECT_EQ(machine().tokenOpens, 0);
}

TEST_F(System, RestartOnNtEnablesTheShutdownPrivilegeFirst) {
  for (WindowsVersion version :
       {WindowsVersion::WinXP, WindowsVersion::NT4, WindowsVersion::QueryFails}) {
    sim::Reset();
    machine().SetVersion(version);
    EXPECT_EQ(RestartWindows(), 1u);
    EXPECT_EQ(machine().enabledPrivileges.count("SeShutdownPrivilege"), 1u);
    EXPECT_EQ(machine().restarts.size(), 1u);
  }
}

TEST_F(System, RestartIsAbandonedWithoutThePrivilege) {
  machine().SetVersion(WindowsVersion::WinXP);
  machine().heldPrivileges.erase("SeShutdownPrivilege");
  EXPECT_EQ(RestartWindows(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  machine().tokenOpenFails = true;
  EXPECT_EQ(RestartWindows(), 0u);
  EXPECT_TRUE(machine().restarts.empty());
}

TEST_F(System, TheScansRestartQuestionAnsweredYesRestarts) {
  sim::MainWindow window;
  g_scan.restartNeeded = 1;
  machine().dialogAnswers.push_back(IDYES);
  RunScan();
  EXPECT_EQ(machine().restarts.size(), 1u);
  machine().dialogAnswers.push_back(IDCANCEL);
  RunScan();
  EXPECT_EQ(machine().restarts.size(), 1u);
}

// --- Service stop -------------------------------------------------------------------------------

TEST_F(System, ServiceThatStopsWithinTwoPolls) {
  sim::Service& service = machine().AddService("slow");
  service.stop = sim::StopBehaviour::AfterPolls;
  service.pollsUntilStopped = 2;
  EXPECT_TRUE(StopService("SLOW"));
  EXPECT_EQ(service.queries, 2);
  EXPECT_EQ(machine().sleeps, (std::vector<DWORD>{1000}));
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(System, ServiceThatStopsAtOnceNeedsNoSleep) {
  machine().AddService("quick");
  EXPECT_TRUE(StopService("quick"));
  EXPECT_TRUE(machine().sleeps.empty());
}

TEST_F(System, ServiceThatStaysStopPendingIsGivenUpOnInBoundedTime) {
  sim::Service& service = machine().AddService("stuck");
  service.stop = sim::StopBehaviour::Never;
  EXPECT_FALSE(StopService("stuck"));
  EXPECT_EQ(machine().sleeps.size(), static_cast<size_t>(kMaxStopPolls));
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

TEST_F(System, ServiceThatStopsDuringTheLastWaitCountsAsStopped) {
  sim::Service& service = machine().AddService("late");
  service.stop = sim::StopBehaviour::AfterPolls;
  service.pollsUntilStopped = kMaxStopPolls + 1;
  EXPECT_TRUE(StopService("late"));
  EXPECT_EQ(machine().sleeps.size(), static_cast<size_t>(kMaxStopPolls));
}

TEST_F(System, RefusedOrMissingOrForbiddenGiveZeroAtOnce) {
  machine().AddService("refuses").stop = sim::StopBehaviour::Refuses;
  machine().AddService("ignores").stop = sim::StopBehaviour::Ignores;
  EXPECT_FALSE(StopService("refuses"));
  EXPECT_FALSE(StopService("ignores"));
  EXPECT_FALSE(StopService("nosuch"));
  EXPECT_TRUE(machine().sleeps.empty());
  EXPECT_EQ(machine().FindService("ignores")->controls, 1);
  machine().managerDenied = true;
  EXPECT_FALSE(StopService("ignores"));
  EXPECT_EQ(machine().FindService("ignores")->controls, 1);
  EXPECT_EQ(machine().OpenHandles(), 0u);
}

// --- Service key removal --------------------------------------------------------------------

class ServiceKeys : public System {
 protected:
  void Service(int set, const std::string& name, std::vector<std::string> subkeys) {
    const std::string key = "SYSTEM\\ControlSet00" + std::to_string(set) + "\\Services\\" + name;
    machine().registry.CreateKey(HKEY_LOCAL_MACHINE, key);
    for (const std::string& sub : subkeys)
      machine().registry.CreateKey(HKEY_LOCAL_MACHINE, key + "\\" + sub);
  }
  bool Exists(int set, const std::string& name) {
    return machine().registry.KeyExists(
        HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet00" + std::to_string(set) + "\\Services\\" + name);
  }
};

TEST_F(ServiceKeys, RemovedCompletelyFromBothSets) {
  Service(1, "svcx", {"Enum", "Security"});
  Service(2, "svcx", {"Enum", "Security"});
  Service(1, "other", {"Enum"});
  EXPECT_TRUE(RemoveServiceKeys("svcx"));
  EXPECT_FALSE(Exists(1, "svcx"));
  EXPECT_FALSE(Exists(2, "svcx"));
  EXPECT_TRUE(Exists(1, "other"));
}

TEST_F(ServiceKeys, ControlSetTwoOnly) {
  Service(2, "svcx", {"Enum"});
  EXPECT_TRUE(RemoveServiceKeys("svcx"));
  EXPECT_FALSE(Exists(2, "svcx"));
}

TEST_F(ServiceKeys, AnExtraSubkeyKeepsTheServiceKeyOnNt) {
  Service(1, "svcx", {"Enum", "Security", "Parameters"});
  EXPECT_TRUE(RemoveServiceKeys("svcx"));
  EXPECT_TRUE(Exists(1, "svcx"));
  EXPECT_EQ(
      machine().registry.SubkeyNames(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\svcx"),
      (std::vector<std::string>{"Parameters"}));
}

TEST_F(ServiceKeys, On9xTheWholeTreeGoes) {
  machine().SetVersion(WindowsVersion::Win98);
  Service(1, "svcx", {"Parameters"});
  EXPECT_TRUE(RemoveServiceKeys("svcx"));
  EXPECT_FALSE(Exists(1, "svcx"));
}

TEST_F(ServiceKeys, NowhereOrNoNameRemovesNothing) {
  Service(1, "svcx", {});
  EXPECT_FALSE(RemoveServiceKeys("nosuch"));
  EXPECT_FALSE(RemoveServiceKeys(""));
  EXPECT_TRUE(Exists(1, "svcx"));
  EXPECT_TRUE(machine().registry.KeyExists(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services"));
  EXPECT_FALSE(RemoveServiceKeys(std::string(600, 'n').c_str()));  // too long for a key path
}

}  // namespace
