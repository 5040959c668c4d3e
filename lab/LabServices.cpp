// Services: the simulated machines' Discovery Services and the real local
// one, which the lab installs pointed at its own roots.
#include "LabAdmin.h"

#include "LabAdminShared.h"

namespace kvlab {

namespace {

std::string ModuleDirectory() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ModuleDirectory), &module);
  char path[MAX_PATH] = {};
  std::string text(path, ::GetModuleFileNameA(module, path, MAX_PATH));
  return text.substr(0, text.find_last_of('\\') + 1);
}

}  // namespace

LONG ControlLabService(const std::string& machine, const std::string& service, ServiceOp op, SERVICE_STATUS& status) {
  std::string canonical = machine.empty() ? LocalComputerName() : FindMachine(machine);
  if (canonical.empty() && !IsLocalName(machine)) return ERROR_BAD_NETPATH;
  if (canonical.empty() || Reach(canonical).local) {
    kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return static_cast<LONG>(::GetLastError());
    kv::CServiceHandle svc(
        ::OpenServiceA(scm.Get(), service.c_str(), SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP));
    if (!svc) return static_cast<LONG>(::GetLastError());
    BOOL ok = op == ServiceStart  ? ::StartServiceA(svc.Get(), 0, nullptr)
              : op == ServiceStop ? ::ControlService(svc.Get(), SERVICE_CONTROL_STOP, &status)
                                  : TRUE;
    if (!ok) return static_cast<LONG>(::GetLastError());
    return ::QueryServiceStatus(svc.Get(), &status) ? ERROR_SUCCESS : static_cast<LONG>(::GetLastError());
  }
  ServiceTiming timing;
  if (!ReadServiceTiming(canonical, service, timing)) return ERROR_SERVICE_DOES_NOT_EXIST;
  uint64_t now = NowMs();
  status = ComputeServiceStatus(timing, now);
  if (op == ServiceStart) {
    if (status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
    if (LONG rc = EnsureHost()) return rc;
    WriteServiceTarget(canonical, service, SERVICE_RUNNING);
  } else if (op == ServiceStop) {
    if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (status.dwCurrentState != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    WriteServiceTarget(canonical, service, SERVICE_STOPPED);
  }
  if (op != ServiceQuery && ReadServiceTiming(canonical, service, timing))
    status = ComputeServiceStatus(timing, NowMs());
  return ERROR_SUCCESS;
}

LONG InstallLocalService() {
  std::string command = "\"" + ModuleDirectory() + "kvdiscoverysvc.exe\" --lab-root \"" + LabRoot() +
                        "\" --product-root \"" + ProductRoot() + "\"";
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, SERVICE_ALL_ACCESS));
  if (svc) {
    if (!::ChangeServiceConfigA(svc.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, command.c_str(),
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      return static_cast<LONG>(::GetLastError());
    return ERROR_SUCCESS;
  }
  svc.Reset(::CreateServiceA(scm.Get(), kDiscovery, "Kestrava Discovery Service", SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                             nullptr, nullptr, nullptr, nullptr, nullptr));
  return svc ? ERROR_SUCCESS : static_cast<LONG>(::GetLastError());
}

LONG StopLocalService(DWORD timeoutMs) {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, SERVICE_QUERY_STATUS | SERVICE_STOP));
  if (!svc) return static_cast<LONG>(::GetLastError());
  SERVICE_STATUS status = {};
  if (!::ControlService(svc.Get(), SERVICE_CONTROL_STOP, &status) && ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
    return static_cast<LONG>(::GetLastError());
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    if (::QueryServiceStatus(svc.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED) return ERROR_SUCCESS;
    ::Sleep(20);
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

LONG StartLocalService() {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, SERVICE_QUERY_STATUS | SERVICE_START));
  if (!svc) return static_cast<LONG>(::GetLastError());
  if (!::StartServiceA(svc.Get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return static_cast<LONG>(::GetLastError());
  SERVICE_STATUS status = {};
  for (int i = 0; i < 500; ++i) {
    if (::QueryServiceStatus(svc.Get(), &status) && status.dwCurrentState == SERVICE_RUNNING) return ERROR_SUCCESS;
    ::Sleep(20);
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

LONG RemoveLocalService() {
  StopLocalService();
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, DELETE));
  if (!svc) return static_cast<LONG>(::GetLastError());
  return ::DeleteService(svc.Get()) ? ERROR_SUCCESS : static_cast<LONG>(::GetLastError());
}

std::string ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    default:
      return "state " + std::to_string(state);
  }
}

}  // namespace kvlab
