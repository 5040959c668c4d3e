// The server commands of the main dialog's context menus: Properties,
// Discovery Service Status and Security. They leave the views and the
// refresh flags alone; the dialogs they open run nested message loops, so a
// timer refresh pass may run while one is up.
#include <windows.h>

#include "AdminSession.h"
#include "App.h"
#include "DiscoveryStatusDlg.h"
#include "Dunlin.h"
#include "MessageBox.h"
#include "Messages.h"
#include "Remote.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "ServerCredentialsDlg.h"
#include "ServerPropertiesDlg.h"
#include "Strings.h"
#include "resource.h"

namespace {

constexpr UINT kNoInformationFlags = MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;  // 0x42030
constexpr UINT kNoRecordFlags = MB_OK | MB_ICONWARNING;

}  // namespace

void CRoleConsoleDlg::OnTreeServerProperties() {
  HTREEITEM item = m_treeServers.GetSelectedItem();
  if (item) OnServerProperties(m_treeServers.GetItemText(item));
}

void CRoleConsoleDlg::OnListServerProperties() {
  int selected = m_listServers.GetSelectedItem();
  if (selected >= 0) OnServerProperties(m_listServers.GetItemText(selected));
}

void CRoleConsoleDlg::OnServerProperties(const std::string& server) {
  CCommandScope running(*this);
  if (!running) return;
  ShowOperation(IDS_OP_PROPERTIES);
  DiscoveryEntry entry{};
  if (FindServerEntry(server, &entry) != 0) {
    kv::ShowMessageBox(m_hWnd, kv::Format("%s\n%s", server.c_str(), LoadResString(IDS_NO_INFORMATION).c_str()),
                       LoadResString(IDS_APP_TITLE), kNoInformationFlags);
  } else {
    CServerPropertiesDlg dlg(&entry, m_hWnd);
    dlg.DoModal();
  }
  ShowOperation(0);
}

void CRoleConsoleDlg::OnTreeDiscoveryStatus() {
  HTREEITEM item = m_treeServers.GetSelectedItem();
  if (item) OnDiscoveryStatus(m_treeServers.GetItemText(item));
}

void CRoleConsoleDlg::OnListDiscoveryStatus() {
  int selected = m_listServers.GetSelectedItem();
  if (selected >= 0) OnDiscoveryStatus(m_listServers.GetItemText(selected));
}

void CRoleConsoleDlg::OnDiscoveryStatus(const std::string& server) {
  CCommandScope running(*this);
  if (!running) return;
  ShowOperation(IDS_OP_DS_STATUS);
  if (!server.empty()) {
    CDiscoveryStatusDlg dlg(server, m_hWnd);
    dlg.DoModal();
  }
  ShowOperation(0);
}

void CRoleConsoleDlg::OnSecurity() {
  HTREEITEM item = m_treeServers.GetSelectedItem();
  // The name is taken now: a refresh pass may run while the credentials
  // dialog is up and move or delete the item.
  if (item) OnSecurity(m_treeServers.GetItemText(item));
}

// Security stores credentials, nothing else: the role part of the record
// (the primary's name and the distributed flag) is written back exactly as
// the server holds it. It comes from the local table when that holds the
// whole record, else from the server itself over the session just opened;
// a server without a whole record of its own gets nothing written.
void CRoleConsoleDlg::OnSecurity(const std::string& server) {
  CCommandScope running(*this);
  if (!running) return;
  std::string userName, password;
  ShowOperation(IDS_OP_SECURITY);
  RoleRecord record{};
  DWORD size = sizeof(record);
  const bool haveRecord = ReadLocalRoleRecord(server.c_str(), kSanProductCode, &record, &size) == ERROR_SUCCESS &&
                          LoadCredentials(record, size, userName, password);

  CServerCredentialsDlg dlg(userName, password, server, m_hWnd);
  if (dlg.DoModal() != IDOK) {
    ShowOperation(0);
    return;
  }
  ::UpdateWindow(m_hWnd);

  const std::string remote = AdminSessionName(server.c_str(), "ipc$");
  kv::CWaitCursor wait;
  DWORD status = AddAdminConnection(remote, userName, password);
  if (status == ERROR_SESSION_CREDENTIAL_CONFLICT) {
    // A connection under other credentials: replace it, once.
    kvr::WNetCancelConnection2A(remote.c_str(), 0, TRUE);
    status = AddAdminConnection(remote, userName, password);
  }
  if (status != ERROR_SUCCESS) {
    ShowSystemError(LoadResString(IDS_FAILED_TRANSACTION), status);
    ShowOperation(0);
    return;
  }
  kv::CNetConnection connection = kvr::MakeNetConnection(remote);

  DWORD recordSize = sizeof(record);
  if (!haveRecord && ::ReadRoleRecord(server.c_str(), kSanProductCode, &record, &recordSize) != 0) {
    kv::ShowMessageBox(m_hWnd, FormatResString(IDS_SECURITY_NO_RECORD, server), LoadResString(IDS_FAILED_TRANSACTION),
                       kNoRecordFlags);
  } else {
    StoreCredentials(record, userName, password);
    recordSize = sizeof(record);
    if (::WriteRoleRecord(server.c_str(), kSanProductCode, &record, &recordSize) != 0)
      kv::ShowMessageBox(m_hWnd, LoadResString(IDS_WRITE_FAILED), LoadResString(IDS_FAILED_TRANSACTION), MB_OK);
    else
      ::RefreshDiscoveryTable(0, 0);
  }
  connection.Cancel();
  ShowOperation(0);
}
