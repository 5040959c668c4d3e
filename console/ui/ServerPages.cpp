// The second-tab pages of the Properties dialog: the distributed servers of
// a primary (read from the primary's own registry) and the primary of a
// distributed server (read from its role record on the server itself).
#include <windows.h>

#include <string>
#include <vector>

#include "AdminSession.h"
#include "App.h"
#include "DiscoveryStatusDlg.h"
#include "Dunlin.h"
#include "Messages.h"
#include "RoleTables.h"
#include "ServerImages.h"
#include "ServerPropertiesDlg.h"
#include "Strings.h"
#include "resource.h"

namespace {

constexpr int kMemberImage = 1;

}  // namespace

// --- CServerPage ---------------------------------------------------------------

const kv::MessageEntry<CServerPage> CServerPage::kMessages[1] = {
    kv::OnMessage(WM_DESTROY, &CServerPage::OnDestroy),
};

CServerPage::CServerPage(UINT templateId, std::string server) : CDialog(templateId), m_strServer(std::move(server)) {}

// The window goes while this object is whole, so its session is cancelled.
CServerPage::~CServerPage() { DestroyWindow(); }

bool CServerPage::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
}

bool CServerPage::OpenPageSession() {
  if (m_bSession) return true;
  DWORD status = 0;
  {
    kv::CWaitCursor wait;
    status = OpenAdminSession(m_strServer.c_str(), "ipc$", nullptr, nullptr);
  }
  if (status == SessionCancelled) return false;
  if (status != 0) {
    ShowSystemError(LoadResString(IDS_FAILED_TRANSACTION), status);
    return false;
  }
  m_bSession = TRUE;
  return true;
}

void CServerPage::ShowServiceStatus(const std::string& name) {
  if (name.empty()) return;
  CDiscoveryStatusDlg dlg(name, ::GetParent(m_hWnd));
  dlg.DoModal();
}

LRESULT CServerPage::OnDestroy(WPARAM, LPARAM) {
  if (m_bSession) CloseAdminSession(m_strServer.c_str());
  m_bSession = FALSE;
  return 0;
}

// --- CDistributedServersPage -----------------------------------------------------

const kv::MessageEntry<CDistributedServersPage> CDistributedServersPage::kMessages[2] = {
    kv::OnCommand(IDC_DS_STATUS, BN_CLICKED, &CDistributedServersPage::OnDsStatus),
    kv::OnMessage(WM_DESTROY, &CDistributedServersPage::OnDestroy),
};

CDistributedServersPage::CDistributedServersPage(std::string server)
    : CServerPage(IDD_DISTRIBUTED_PAGE, std::move(server)) {}

CDistributedServersPage::~CDistributedServersPage() { DestroyWindow(); }

bool CDistributedServersPage::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CServerPage::ProcessMessageTable(m, w, l, r);
}

BOOL CDistributedServersPage::OnInitDialog() {
  m_listServers.AttachDlgItem(m_hWnd, IDC_DISTRIBUTED_LIST);
  CServerPage::OnInitDialog();
  LoadServerImages(m_imlServers, IDB_TREE_IMAGES);
  m_listServers.SetImageList(m_imlServers.GetSafeHandle(), LVSIL_SMALL);
  RECT r = m_listServers.GetWindowRect();
  m_listServers.InsertColumn(0, "Distributed Servers", LVCFMT_LEFT, (r.right - r.left) - 4);
  return TRUE;
}

void CDistributedServersPage::Fill() {
  if (!OpenPageSession()) return;
  kv::CWaitCursor wait;
  m_listServers.DeleteAllItems();
  kv::CRegKey root, key;
  if (OpenDistributedList(root, key, m_strServer.c_str()) != ERROR_SUCCESS) return;
  // Every name, however long; a list that fails part way shows what came
  // before the failure.
  std::vector<std::string> names;
  ReadDistributedList(key.Get(), names);
  CloseDistributedList(root, key);
  // One repaint for the whole list: drawing and scrolling to each row as it
  // comes costs seconds for a few hundred members.
  m_listServers.SetRedraw(FALSE);
  for (const std::string& name : names) m_listServers.InsertItem(m_listServers.GetItemCount(), name, kMemberImage);
  m_listServers.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
  m_listServers.SetRedraw(TRUE);
  m_listServers.Invalidate();
}

void CDistributedServersPage::OnDsStatus() {
  int selected = m_listServers.GetSelectedItem();
  if (selected < 0) return;
  ShowServiceStatus(m_listServers.GetItemText(selected));
}

LRESULT CDistributedServersPage::OnDestroy(WPARAM w, LPARAM l) {
  // The list view would destroy its image list with itself; m_imlServers owns it.
  m_listServers.SetImageList(nullptr, LVSIL_SMALL);
  return CServerPage::OnDestroy(w, l);
}

// --- CPrimaryServerPage -------------------------------------------------------------

const kv::MessageEntry<CPrimaryServerPage> CPrimaryServerPage::kMessages[1] = {
    kv::OnCommand(IDC_DS_STATUS, BN_CLICKED, &CPrimaryServerPage::OnDsStatus),
};

CPrimaryServerPage::CPrimaryServerPage(std::string server) : CServerPage(IDD_PRIMARY_PAGE, std::move(server)) {}

bool CPrimaryServerPage::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CServerPage::ProcessMessageTable(m, w, l, r);
}

void CPrimaryServerPage::DoDataExchange(kv::CDataExchange& dx) { kv::DDX_Text(dx, IDC_PRIMARY_NAME, m_strPrimary); }

void CPrimaryServerPage::Fill() {
  if (!OpenPageSession()) return;
  RoleRecord record{};
  DWORD size = sizeof(record);
  int status = 0;
  {
    kv::CWaitCursor wait;
    status = ::ReadRoleRecord(m_strServer.c_str(), kSanProductCode, &record, &size);
  }
  if (status != 0) {
    ShowSystemError(LoadResString(IDS_FAILED_TRANSACTION), static_cast<DWORD>(status));
    return;
  }
  m_strPrimary = kv::FixedField(record.primaryName, sizeof(record.primaryName));
  UpdateData(FALSE);
}

void CPrimaryServerPage::OnDsStatus() { ShowServiceStatus(m_strPrimary); }
