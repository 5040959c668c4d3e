#include "RoleConsoleApp.h"

#include "RoleConsoleDlg.h"

CRoleConsoleApp theApp;

BOOL CRoleConsoleApp::InitInstance() {
  // The mutex only marks that a console runs on this machine; its handle lives
  // (and with it the name) until the process ends.
  ::CreateMutexA(nullptr, FALSE, "QuaysideMutex");
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return FALSE;

  CRoleConsoleDlg dlg;
  dlg.Run(*this);
  return FALSE;
}
