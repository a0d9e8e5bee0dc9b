// The simulated machine's services stop, refuse and report as Windows' control manager does.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/services.h"
#include "tests/double/sim_machine.h"

namespace {

const DWORD kUnwritten = 0xbdbdbdbd;

class SimServices : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(plat::CloseServiceHandle(manager));
    EXPECT_EQ(m.OpenHandles(), 0u) << "handle leak";
  }
  SC_HANDLE Open(const char* name, DWORD access = SERVICE_ALL_ACCESS) {
    plat::SetLastError(0xdeadbeef);
    return plat::OpenServiceA(manager, name, access);
  }
  // Sends the stop control; the state reported, or kUnwritten. error: the last error after it.
  DWORD Stop(SC_HANDLE service, DWORD* error = nullptr) {
    SERVICE_STATUS status;
    std::memset(&status, 0xbd, sizeof status);
    plat::SetLastError(0xdeadbeef);
    const BOOL ok = plat::ControlService(service, SERVICE_CONTROL_STOP, &status);
    EXPECT_EQ(ok != FALSE, error == nullptr);
    if (error != nullptr) *error = plat::GetLastError();
    return status.dwCurrentState;
  }
  DWORD Query(SC_HANDLE service) {
    SERVICE_STATUS status;
    std::memset(&status, 0xbd, sizeof status);
    EXPECT_TRUE(plat::QueryServiceStatus(service, &status));
    return status.dwCurrentState;
  }

  sim::Machine& m = (sim::Reset(), sim::machine());  // a new machine for each test
  SC_HANDLE manager = plat::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
};

TEST_F(SimServices, OpeningFailures) {
  m.AddService("WormSvc");
  m.AddService("Guarded").openDenied = true;
  EXPECT_EQ(Open("NoSuch"), nullptr);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(Open("Guarded"), nullptr);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE service = Open("wormsvc");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(plat::OpenServiceA(service, "WormSvc", SERVICE_ALL_ACCESS), nullptr) << "no manager";
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(plat::CloseServiceHandle(service));
  EXPECT_FALSE(plat::CloseServiceHandle(service));
  m.managerDenied = true;
  EXPECT_EQ(plat::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(SimServices, StopBehaviours) {
  m.AddProcess(50, "C:\\svc\\worm.exe");
  m.AddService("AtOnce").pid = 50;
  m.AddService("Refuses").stop = sim::StopBehaviour::Refuses;
  m.AddService("Ignores").stop = sim::StopBehaviour::Ignores;
  SC_HANDLE atOnce = Open("AtOnce"), refuses = Open("Refuses"), ignores = Open("Ignores");
  SC_HANDLE queryOnly = Open("Ignores", SERVICE_QUERY_STATUS);
  DWORD error = 0;
  EXPECT_EQ(Stop(atOnce), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(m.FindProcess(50)->running);
  EXPECT_EQ(Stop(atOnce, &error), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(Stop(refuses, &error), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(Stop(ignores), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Query(ignores), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Stop(queryOnly, &error), kUnwritten) << "without the stop right nothing is sent";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(m.FindService("AtOnce")->controls + m.FindService("Ignores")->controls, 3);
  for (SC_HANDLE h : {atOnce, refuses, ignores, queryOnly}) plat::CloseServiceHandle(h);
}

TEST_F(SimServices, PendingStopsCountPolls) {
  m.AddProcess(60, "C:\\svc\\slow.exe");
  sim::Service& slow = m.AddService("Slow");
  slow.stop = sim::StopBehaviour::AfterPolls;
  slow.pollsUntilStopped = 2;
  slow.pid = 60;
  m.AddService("Stuck").stop = sim::StopBehaviour::Never;
  SC_HANDLE slowHandle = Open("Slow", SERVICE_STOP | SERVICE_QUERY_STATUS), stuck = Open("Stuck");
  DWORD error = 0;
  EXPECT_EQ(Stop(slowHandle), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(Stop(slowHandle, &error), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(error, 1061u) << "ERROR_SERVICE_CANNOT_ACCEPT_CTRL while pending";
  EXPECT_EQ(Query(slowHandle), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_TRUE(m.FindProcess(60)->running);
  EXPECT_EQ(Query(slowHandle), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(m.FindProcess(60)->running);
  EXPECT_EQ(Query(slowHandle), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(slow.queries, 3);
  EXPECT_EQ(Stop(stuck), static_cast<DWORD>(SERVICE_STOP_PENDING));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Query(stuck), static_cast<DWORD>(SERVICE_STOP_PENDING));
  plat::CloseServiceHandle(slowHandle);
  plat::CloseServiceHandle(stuck);
}

}  // namespace
