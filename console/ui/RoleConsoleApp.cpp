#include "RoleConsoleApp.h"

#include "MessageBox.h"
#include "Messages.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "StartupTrace.h"
#include "resource.h"

namespace {

constexpr UINT kStartupFailureFlags = MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;  // 0x42030

void ShowStartupFailure(UINT textId) {
  kv::ShowMessageBox(nullptr, LoadResString(textId), LoadResString(IDS_FAILED_TRANSACTION), kStartupFailureFlags);
}

}  // namespace

BOOL CRoleConsoleApp::InitInstance() {
  // Controls are plain common controls here: there is no control container
  // to enable, and 3-D controls are the system's own look.

  // The mutex only marks that a console runs on this machine; its handle lives
  // (and with it the name) until the process ends.
  m_instanceMutex.Reset(::CreateMutexA(nullptr, FALSE, "QuaysideMutex"));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return FALSE;

  // The discovery table's root first: a machine without either root shows
  // only that message.
  if (!LoadDiscoveryTableRoot()) {
    ShowStartupFailure(IDS_NO_DISCOVERY_TABLE);
    return FALSE;
  }
  if (!LoadProductRoot()) {
    ShowStartupFailure(IDS_NO_PRODUCT_ROOT);
    return FALSE;
  }

  kv::StartupMark("registry roots");
  CRoleConsoleDlg dlg;
  dlg.Run(*this);
  return FALSE;
}
