#include "memory/service_stop.h"

#include "platform/scoped_handle.h"
#include "platform/services.h"

namespace {

// Standard required rights and the six low rights: for a service, query and change of its
// configuration, status, dependents, start and stop. The same number as SC_MANAGER_ALL_ACCESS.
constexpr DWORD kServiceAccess = 0xF003F;
constexpr DWORD kPollInterval = 1000;

}  // namespace

bool StopService(const char* name) {
  plat::ServiceHandle manager(plat::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) return false;
  plat::ServiceHandle service(plat::OpenServiceA(manager.get(), name, kServiceAccess));
  if (service.get() == nullptr) return false;

  SERVICE_STATUS status = {};
  if (!plat::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
  // A last query follows the last wait: a service that stops during it has stopped.
  for (int waits = 0;; ++waits) {
    if (!plat::QueryServiceStatus(service.get(), &status)) break;
    if (status.dwCurrentState != SERVICE_STOP_PENDING || waits == kMaxStopPolls) break;
    plat::Sleep(kPollInterval);
  }
  return status.dwCurrentState == SERVICE_STOPPED;
}
