// Services on Windows: advapi32's service control manager, unchanged.
#include "platform/services.h"

namespace plat {

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  return ::OpenSCManagerA(machine, database, access);
}
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  return ::OpenServiceA(manager, name, access);
}
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  return ::ControlService(service, control, status);
}
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  return ::QueryServiceStatus(service, status);
}
BOOL CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(handle); }

}  // namespace plat
