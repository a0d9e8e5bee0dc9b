#include "memory/service_stop.h"

#include "platform/scoped_handle.h"
#include "platform/services.h"

namespace {

// Standard required rights and the six low rights: all of the manager's, and for a service
// query, configuration, status, dependents, start and stop.
constexpr DWORD kServiceAccess = 0xF003F;
constexpr DWORD kPollInterval = 1000;


}  // namespace

int StopService(const char* name, bool stop) {
  plat::ServiceHandle manager(plat::OpenSCManagerA(nullptr, nullptr, kServiceAccess));
  if (manager.get() == nullptr) return 0;
  plat::ServiceHandle service(plat::OpenServiceA(manager.get(), name, kServiceAccess));
  if (service.get() == nullptr) return 0;
  if (!stop) return 1;

  SERVICE_STATUS status = {};
  if (!plat::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return 0;
  // A last query follows the last wait: a service that stops during it has stopped.
  for (int waits = 0;; ++waits) {
    if (!plat::QueryServiceStatus(service.get(), &status)) break;
    if (status.dwCurrentState != SERVICE_STOP_PENDING || waits == kMaxStopPolls) break;
    plat::Sleep(kPollInterval);
  }
  return status.dwCurrentState == SERVICE_STOPPED ? 1 : 0;
}
