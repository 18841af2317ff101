// The simulated service control manager: services by key name with their current state, the
// manager's and the services' handles, and the access rules an ordinary user meets.
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "sim/internal.h"
#include "sim/sim_services.h"

namespace sim {
namespace internal {
namespace {

const DWORD kErrorInvalidName = 123;
const DWORD kErrorInvalidAddress = 487;
const DWORD kErrorCallNotImplemented = 120;
const DWORD kErrorDatabaseDoesNotExist = 1065;
const DWORD kRpcServerUnavailable = 1722;

// What an ordinary user may ask of the manager (connect, enumerate, query the lock status,
// read control) and of a service (query its configuration and status, enumerate dependents,
// interrogate, user-defined controls, read control). Generic read maps into both.
const DWORD kUserManagerRights = 0x0001 | 0x0004 | 0x0010 | 0x00020000u | GENERIC_READ;
const DWORD kUserServiceRights = 0x0001 | 0x0004 | 0x0008 | 0x0080 | 0x0100 | 0x00020000u | GENERIC_READ;

struct Service {
  std::string name;
  DWORD state;
};

struct ServiceState {
  std::map<std::string, Service> services;  // by upper-case name
  DWORD managerError = 0;
  std::vector<ServiceCall> calls;
  std::set<HANDLE> handles;  // every manager and service handle handed out
};
ServiceState g_services;

void ResetServices() { g_services = ServiceState(); }
ResetHook g_servicesHook(&ResetServices);

struct ManagerObject : HandleObject {
  const char* Kind() const override { return "scmanager"; }
  DWORD access = 0;
};

struct ServiceObject : HandleObject {
  const char* Kind() const override { return "scservice"; }
  std::string key;  // upper-case name
  DWORD access = 0;
};

void Record(const char* api, const char* name, DWORD access, bool succeeded) {
  ServiceCall call;
  call.api = api;
  call.nameGiven = name != nullptr;
  call.name = name ? name : "";
  call.access = access;
  call.succeeded = succeeded;
  g_services.calls.push_back(call);
}

const char* HandleKind(HANDLE handle) {
  if (FindHandleAs<ManagerObject>(handle) != nullptr) return "manager";
  if (FindHandleAs<ServiceObject>(handle) != nullptr) return "service";
  return "invalid";
}

bool IsValidState(DWORD state) { return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED; }

}  // namespace
}  // namespace internal

using namespace internal;

void AddService(const std::string& name, DWORD state) {
  if (!IsValidState(state)) abort();  // a test asked for a state Windows does not have
  g_services.services[Upper(name)] = Service{name, state};
}

void SetServiceState(const std::string& name, DWORD state) {
  auto it = g_services.services.find(Upper(name));
  if (it == g_services.services.end() || !IsValidState(state)) abort();
  it->second.state = state;
}

void RemoveService(const std::string& name) { g_services.services.erase(Upper(name)); }

void SetServiceManagerUnavailable(DWORD error) { g_services.managerError = error; }

const std::vector<ServiceCall>& ServiceCalls() { return g_services.calls; }

int OpenServiceHandleCount() {
  int count = 0;
  for (HANDLE handle : g_services.handles)
    if (strcmp(HandleKind(handle), "invalid") != 0) ++count;
  return count;
}

}  // namespace sim

using namespace sim;
using namespace sim::internal;

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
  SC_HANDLE result = nullptr;
  if (!IsNtFamily()) {
    SetLastError(kErrorCallNotImplemented);  // Windows 9x has no service manager
  } else if (Fault<FaultRow("OpenSCManagerA")>()) {
  } else if (machineName != nullptr && machineName[0] != '\0') {
    SetLastError(kRpcServerUnavailable);  // no network in the simulated machine
  } else if (databaseName != nullptr && _stricmp(databaseName, "ServicesActive") != 0) {
    SetLastError(kErrorDatabaseDoesNotExist);
  } else if (g_services.managerError != 0) {
    SetLastError(g_services.managerError);
  } else if (!HasAdminRights() && (access & ~kUserManagerRights) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else {
    auto manager = std::make_unique<ManagerObject>();
    manager->access = access;
    HANDLE handle = AddHandle(std::move(manager));
    g_services.handles.insert(handle);
    result = reinterpret_cast<SC_HANDLE>(handle);
  }
  Record("OpenSCManagerA", machineName, access, result != nullptr);
  return result;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
  SC_HANDLE result = nullptr;
  if (FindHandleAs<ManagerObject>(reinterpret_cast<HANDLE>(manager)) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if (serviceName == nullptr) {
    SetLastError(kErrorInvalidAddress);
  } else if (Fault<FaultRow("OpenServiceA")>()) {
  } else if (serviceName[0] == '\0' || strlen(serviceName) > 256) {
    SetLastError(kErrorInvalidName);
  } else {
    auto it = g_services.services.find(Upper(serviceName));
    if (it == g_services.services.end()) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    } else if (!HasAdminRights() && (access & ~kUserServiceRights) != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
    } else {
      auto service = std::make_unique<ServiceObject>();
      service->key = it->first;
      service->access = access;
      HANDLE handle = AddHandle(std::move(service));
      g_services.handles.insert(handle);
      result = reinterpret_cast<SC_HANDLE>(handle);
    }
  }
  Record("OpenServiceA", serviceName, access, result != nullptr);
  return result;
}

BOOL QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  ServiceObject* service = FindHandleAs<ServiceObject>(reinterpret_cast<HANDLE>(handle));
  const char* kind = HandleKind(reinterpret_cast<HANDLE>(handle));
  BOOL ok = FALSE;
  if (service == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if ((service->access & (SERVICE_QUERY_STATUS | GENERIC_READ | GENERIC_ALL)) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);  // the handle was not opened for status queries
  } else if (status == nullptr) {
    SetLastError(kErrorInvalidAddress);
  } else if (Fault<FaultRow("QueryServiceStatus")>()) {
  } else {
    auto it = g_services.services.find(service->key);
    if (it == g_services.services.end()) {
      // Deleted while the handle was open: the manager still answers for the handle.
      memset(status, 0, sizeof(*status));
      status->dwServiceType = 0x10;
      status->dwCurrentState = SERVICE_STOPPED;
    } else {
      DWORD state = it->second.state;
      bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                     state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
      memset(status, 0, sizeof(*status));
      status->dwServiceType = 0x1;  // a kernel driver
      status->dwCurrentState = state;
      status->dwControlsAccepted = state == SERVICE_STOPPED || pending ? 0 : 0x1;  // SERVICE_ACCEPT_STOP
      status->dwCheckPoint = pending ? 1 : 0;
      status->dwWaitHint = pending ? 3000 : 0;
    }
    ok = TRUE;
  }
  Record("QueryServiceStatus", kind, 0, ok != FALSE);
  return ok;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  HANDLE raw = reinterpret_cast<HANDLE>(handle);
  const char* kind = HandleKind(raw);
  BOOL ok = FALSE;
  if (strcmp(kind, "invalid") == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if (Fault<FaultRow("CloseServiceHandle")>()) {
    RemoveHandle(raw);  // gone all the same
  } else {
    RemoveHandle(raw);
    ok = TRUE;
  }
  Record("CloseServiceHandle", kind, 0, ok != FALSE);
  return ok;
}
