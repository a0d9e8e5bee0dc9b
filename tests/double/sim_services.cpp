// Scripted services for the tests: the control manager, service handles, the stop control
// and status queries. Each service stops the way its StopBehaviour says; a stopped service's
// process ends with it, which releases its image and held files.
#include <cstring>

#include "tests/double/sim_internal.h"

namespace sim {

namespace {

constexpr DWORD kErrorCannotAcceptControl = 1061;  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
constexpr DWORD kAcceptStop = 0x00000001;          // SERVICE_ACCEPT_STOP

SC_HANDLE AsServiceHandle(HANDLE handle) { return reinterpret_cast<SC_HANDLE>(handle); }
HANDLE AsHandle(SC_HANDLE handle) { return reinterpret_cast<HANDLE>(handle); }

void Stop(Service& service) {
  service.state = SERVICE_STOPPED;
  if (service.pid == 0) return;
  if (Process* process = machine().FindProcess(service.pid)) process->running = false;
}

void FillStatus(const Service& service, SERVICE_STATUS* status) {
  if (status == nullptr) return;
  std::memset(status, 0, sizeof *status);
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = service.state;
  status->dwControlsAccepted = service.state == SERVICE_RUNNING ? kAcceptStop : 0;
}

// The service behind a handle that was opened with the given right; sets the error otherwise.
Service* ServiceFor(SC_HANDLE handle, DWORD right) {
  Machine& m = machine();
  const HandleEntry* entry = m.impl().Get(AsHandle(handle), HandleEntry::Kind::Service);
  if (entry == nullptr) return Fail(ERROR_INVALID_HANDLE, static_cast<Service*>(nullptr));
  if ((entry->access & right) != right) {
    return Fail(ERROR_ACCESS_DENIED, static_cast<Service*>(nullptr));
  }
  Service* service = m.FindService(entry->service);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE, static_cast<Service*>(nullptr));
  return service;
}

}  // namespace

}  // namespace sim

namespace plat {

SC_HANDLE OpenSCManagerA(LPCSTR /*machine*/, LPCSTR /*database*/, DWORD access) {
  sim::Machine& m = sim::machine();
  if (m.managerDenied) return sim::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{nullptr});
  sim::HandleEntry entry;
  entry.kind = sim::HandleEntry::Kind::Manager;
  entry.access = access;
  return sim::AsServiceHandle(m.impl().Add(std::move(entry)));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  sim::Machine& m = sim::machine();
  if (m.impl().Get(sim::AsHandle(manager), sim::HandleEntry::Kind::Manager) == nullptr) {
    return sim::Fail(ERROR_INVALID_HANDLE, SC_HANDLE{nullptr});
  }
  if (name == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, SC_HANDLE{nullptr});
  const sim::Service* service = m.FindService(name);
  if (service == nullptr) return sim::Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE{nullptr});
  if (service->openDenied) return sim::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{nullptr});
  sim::HandleEntry entry;
  entry.kind = sim::HandleEntry::Kind::Service;
  entry.access = access;
  entry.service = service->name;
  return sim::AsServiceHandle(m.impl().Add(std::move(entry)));
}

BOOL ControlService(SC_HANDLE handle, DWORD control, SERVICE_STATUS* status) {
  if (control != SERVICE_CONTROL_STOP) {
    // Only the stop control is modelled; a handle still has to be valid to be told so.
    if (sim::machine().impl().Get(sim::AsHandle(handle), sim::HandleEntry::Kind::Service) ==
        nullptr) {
      return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return sim::Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
  }
  sim::Service* service = sim::ServiceFor(handle, SERVICE_STOP);
  if (service == nullptr) return FALSE;
  ++service->controls;
  // Windows fills the status for these refusals as well as for success.
  if (service->state == SERVICE_STOPPED) {
    sim::FillStatus(*service, status);
    return sim::Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
  }
  if (service->state != SERVICE_RUNNING) {  // pending services take no controls
    sim::FillStatus(*service, status);
    return sim::Fail(sim::kErrorCannotAcceptControl, FALSE);
  }
  switch (service->stop) {
    case sim::StopBehaviour::Refuses:
      sim::FillStatus(*service, status);
      return sim::Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    case sim::StopBehaviour::Ignores:
      break;
    case sim::StopBehaviour::AtOnce:
      sim::Stop(*service);
      break;
    case sim::StopBehaviour::AfterPolls:
    case sim::StopBehaviour::Never:
      service->state = SERVICE_STOP_PENDING;
      break;
  }
  sim::FillStatus(*service, status);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE handle, SERVICE_STATUS* status) {
  sim::Service* service = sim::ServiceFor(handle, SERVICE_QUERY_STATUS);
  if (service == nullptr) return FALSE;
  if (status == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  ++service->queries;
  // The query that uses up the last poll already sees the service stopped.
  if (service->state == SERVICE_STOP_PENDING && service->stop == sim::StopBehaviour::AfterPolls &&
      --service->pollsUntilStopped <= 0) {
    sim::Stop(*service);
  }
  sim::FillStatus(*service, status);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  auto& impl = sim::machine().impl();
  const HANDLE raw = sim::AsHandle(handle);
  if (impl.Get(raw, sim::HandleEntry::Kind::Manager) == nullptr &&
      impl.Get(raw, sim::HandleEntry::Kind::Service) == nullptr) {
    return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  impl.Close(raw);
  return TRUE;
}

}  // namespace plat
