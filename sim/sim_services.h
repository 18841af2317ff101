// Test-facing side of the simulated service control manager.
#ifndef VORLAX_SIM_SIM_SERVICES_H
#define VORLAX_SIM_SIM_SERVICES_H

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

// Installs (or replaces) a service by its key name, compared without case as the manager does.
// state is one of SERVICE_STOPPED .. SERVICE_PAUSED.
void AddService(const std::string& name, DWORD state);
void SetServiceState(const std::string& name, DWORD state);
void RemoveService(const std::string& name);

// The manager cannot be reached: OpenSCManagerA fails with error (0 makes it reachable again).
void SetServiceManagerUnavailable(DWORD error);

// Every call into the manager, in order, for checks of arguments and of the closing order.
struct ServiceCall {
  std::string api;     // "OpenSCManagerA", "OpenServiceA", "QueryServiceStatus", "CloseServiceHandle"
  std::string name;    // service name (OpenServiceA), machine name (OpenSCManagerA), or the
                       // kind of handle closed or queried: "manager" / "service" / "invalid"
  bool nameGiven;      // false when a null pointer was passed for the name
  DWORD access;        // access asked for (opens only)
  bool succeeded;
};
const std::vector<ServiceCall>& ServiceCalls();

// Manager and service handles still open (leak checks).
int OpenServiceHandleCount();

}  // namespace sim

#endif
