#include "ServiceControl.h"

#include "Handles.h"

CServiceControl::CServiceControl(std::string serviceName, std::string displayName, std::string fileName,
                                 DWORD serviceType, std::string groupName)
    : m_strServiceName(std::move(serviceName)),
      m_strDisplayName(std::move(displayName)),
      m_strFileName(std::move(fileName)),
      m_dwServiceType(serviceType),
      m_strGroupName(std::move(groupName)) {
  if (m_strDisplayName.empty()) m_strDisplayName = m_strServiceName;
}

CServiceControl CServiceControl::TapeEngine() {
  return CServiceControl("KVTapeEngine", "KestravaNet Tape Engine", "TAPESVC.EXE",
                         SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, "KestravaNet");
}

BOOL CServiceControl::IsActive() const {
  kv::CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return FALSE;
  kv::CServiceHandle service(::OpenServiceA(manager.Get(), m_strServiceName.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return FALSE;
  SERVICE_STATUS status{};
  // A status that cannot be read counts as not active: nothing is asked or stopped.
  if (!::QueryServiceStatus(service.Get(), &status)) return FALSE;
  return status.dwCurrentState != SERVICE_STOPPED;
}

BOOL CServiceControl::Stop(BOOL wait) const {
  kv::CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return FALSE;
  kv::CServiceHandle service(::OpenServiceA(manager.Get(), m_strServiceName.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? TRUE : FALSE;
  BOOL stopped = StopAndWait(service.Get(), wait);
  service.Reset();  // the service handle goes before the manager's
  return stopped;
}

BOOL CServiceControl::StopAndWait(SC_HANDLE service, BOOL wait) {
  SERVICE_STATUS status{};
  // A status that cannot be read: the stop is still tried, the control call decides.
  if (::QueryServiceStatus(service, &status) &&
      (status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == SERVICE_STOP_PENDING))
    return TRUE;
  if (!::ControlService(service, SERVICE_CONTROL_STOP, &status)) return FALSE;
  if (wait && status.dwCurrentState == SERVICE_STOP_PENDING) {
    for (;;) {
      DWORD checkPoint = status.dwCheckPoint;
      ::Sleep(status.dwWaitHint);
      SERVICE_STATUS now{};
      if (!::QueryServiceStatus(service, &now)) break;
      status = now;
      if (status.dwCheckPoint <= checkPoint) break;
      if (status.dwCurrentState != SERVICE_STOP_PENDING) break;
    }
  }
  return status.dwCurrentState == SERVICE_STOPPED ? TRUE : FALSE;
}
