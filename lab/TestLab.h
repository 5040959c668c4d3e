// A lab of a test's own: registry roots named after the test and the
// process, set for this process (KV_LAB_ROOT, KV_PRODUCT_ROOT,
// KV_TOOL_SETTINGS_ROOT) so that the seam, the product libraries and every
// program started from here use them; everything is removed at the end,
// including the lab host, open sessions and the local service's changes.
#pragma once

#include <windows.h>

#include <string>

#include "LabAdmin.h"

namespace kvlab {

class CScopedLab {
 public:
  explicit CScopedLab(const char* name, DWORD transitionMs = 0);
  ~CScopedLab();
  CScopedLab(const CScopedLab&) = delete;
  CScopedLab& operator=(const CScopedLab&) = delete;

  // Adds a machine with the account Administrator / password, publishing
  // through the lab host.
  LONG Add(const std::string& name, const std::string& password = "pw", bool trust = false);
  // Runs the real local kvdiscoverysvc on this lab (an installed one is
  // reconfigured and put back as it was at the end).
  LONG StartLocalDiscovery();
  LONG StopLocalDiscovery();
  const std::string& Root() const { return m_labRoot; }

 private:
  std::string m_labRoot, m_productRoot, m_toolRoot;
  std::string m_savedEnv[3];
  bool m_hadEnv[3] = {};
  bool m_serviceTouched = false;
  bool m_serviceExisted = false;
  bool m_serviceWasRunning = false;
  std::string m_serviceCommand;
};

// What `kvlab audit` prints for the lab of this process.
std::string AuditText();

// Runs program (a file name in this program's folder) with args, without
// handing it this process's standard handles, and waits for it: its exit
// code, or the CreateProcessA error when it could not start.
DWORD RunBesideThisProgram(const std::string& program, const std::string& args);

}  // namespace kvlab
