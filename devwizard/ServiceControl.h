// A Windows service of the local machine with its status and stop
// operations. The wizard builds one, for the tape engine, and stops it
// before a device option runs.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <string>

class CServiceControl {
 public:
  CServiceControl(std::string serviceName, std::string displayName, std::string fileName, DWORD serviceType,
                  std::string groupName);

  // The tape engine: "KVTapeEngine", own process and interactive.
  static CServiceControl TapeEngine();

  // TRUE unless the service is stopped; FALSE as well when the Service
  // Control Manager or the service cannot be opened with full access or its
  // status cannot be read.
  BOOL IsActive() const;
  // TRUE when the service ends up stopped or does not exist. With wait set,
  // follows the stop as long as the service advances its checkpoint.
  BOOL Stop(BOOL wait) const;
  // TRUE when the service is stopped, or was already stopping (a stop in
  // progress is not waited for). The poll period is the service's own wait
  // hint; the wait ends when the state leaves STOP_PENDING, the checkpoint
  // does not advance between two polls, or the status cannot be read.
  static BOOL StopAndWait(SC_HANDLE service, BOOL wait);

  const std::string& ServiceName() const { return m_strServiceName; }
  const std::string& DisplayName() const { return m_strDisplayName; }
  const std::string& FileName() const { return m_strFileName; }
  DWORD ServiceType() const { return m_dwServiceType; }
  const std::string& GroupName() const { return m_strGroupName; }

 private:
  std::string m_strServiceName;
  std::string m_strDisplayName;
  std::string m_strFileName;
  DWORD m_dwServiceType;
  std::string m_strGroupName;
};
