#include "ServerPropertiesDlg.h"

#include <ctime>

#include "Bellcast.h"
#include "DiscoveryService.h"
#include "Dpi.h"
#include "Messages.h"
#include "Prodwick.h"
#include "RoleTables.h"
#include "Strings.h"
#include "resource.h"

namespace {

constexpr int kVersionColumnWidth = 48;
constexpr int kBuildColumnWidth = 35;
// Bound on the entries asked of the product list, as for every enumeration.
constexpr DWORD kMaxProductIndex = 0x10000;
constexpr size_t kNameChars = 250;
constexpr size_t kDescriptionChars = 256;

}  // namespace

const kv::MessageEntry<CServerPropertiesDlg> CServerPropertiesDlg::kMessages[5] = {
    kv::OnNotify(IDC_PROPERTIES_TAB, TCN_SELCHANGE, &CServerPropertiesDlg::OnTabChange),
    kv::OnCommand(IDC_PROPERTIES_HELP, BN_CLICKED, &CServerPropertiesDlg::OnHelp),
    kv::OnMessage(WM_HELP, &CServerPropertiesDlg::OnHelpKey),
    kv::OnMessage(kv::WM_KV_SHORTCUT, &CServerPropertiesDlg::OnShortcut),
    kv::OnMessage(WM_DESTROY, &CServerPropertiesDlg::OnDestroy),
};

const kv::Shortcut<CServerPropertiesDlg> CServerPropertiesDlg::kShortcuts[4] = {
    {VK_TAB, kv::kKeyCtrl, &CServerPropertiesDlg::OnNextTab},
    {VK_NEXT, kv::kKeyCtrl, &CServerPropertiesDlg::OnNextTab},
    {VK_TAB, kv::kKeyCtrl | kv::kKeyShift, &CServerPropertiesDlg::OnPreviousTab},
    {VK_PRIOR, kv::kKeyCtrl, &CServerPropertiesDlg::OnPreviousTab},
};

CServerPropertiesDlg::CServerPropertiesDlg(const DiscoveryEntry* entry, HWND parent)
    : CDialog(IDD_PROPERTIES, parent),
      m_strServerName(kv::FixedField(entry->serverName, sizeof(entry->serverName))),
      m_strDomainName(kv::FixedField(entry->domainName, sizeof(entry->domainName))),
      m_strLastRespond(FormatRespondTime(entry->lastRespondTime)),
      m_strAddress(FormatAddress(entry->ipv4)),
      m_strTabProducts(LoadResString(IDS_TAB_PRODUCTS)),
      m_strTabDistributed(LoadResString(IDS_TAB_DISTRIBUTED)),
      m_strTabPrimary(LoadResString(IDS_TAB_PRIMARY)),
      m_pageDistributed(m_strServerName),
      m_pagePrimary(m_strServerName),
      m_nRole(RoleNone) {}

// The pages' windows go while the pages are whole (a modeless run).
CServerPropertiesDlg::~CServerPropertiesDlg() { DestroyWindow(); }

std::string CServerPropertiesDlg::FormatRespondTime(uint32_t secondsSince1970) {
  const time_t seconds = static_cast<time_t>(secondsSince1970);
  struct tm local {};
  if (localtime_s(&local, &seconds) != 0) return std::string();
  char text[128] = {};
  if (std::strftime(text, sizeof(text), "%A, %B %d, %Y  -  %H:%M", &local) == 0) return std::string();
  return text;
}

std::string CServerPropertiesDlg::FormatAddress(const uint8_t (&ipv4)[4]) {
  return kv::Format("%u.%u.%u.%u", ipv4[0], ipv4[1], ipv4[2], ipv4[3]);
}

bool CServerPropertiesDlg::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
}

void CServerPropertiesDlg::DoDataExchange(kv::CDataExchange& dx) {
  kv::DDX_Text(dx, IDC_SERVER_NAME, m_strServerName);
  kv::DDX_Text(dx, IDC_DOMAIN_NAME, m_strDomainName);
  kv::DDX_Text(dx, IDC_LAST_RESPOND, m_strLastRespond);
  kv::DDX_Text(dx, IDC_IP_ADDRESS, m_strAddress);
}

BOOL CServerPropertiesDlg::OnInitDialog() {
  m_listProducts.AttachDlgItem(m_hWnd, IDC_PRODUCTS_LIST);
  m_tab.AttachDlgItem(m_hWnd, IDC_PROPERTIES_TAB);
  CDialog::OnInitDialog();
  m_shortcuts.Attach(m_hWnd, kShortcuts);
  m_tab.InsertItem(0, m_strTabProducts);
  InitProductColumns();

  m_nRole = QueryServerRole(m_strServerName.c_str());
  if (m_nRole == RolePrimary) {
    m_tab.InsertItem(1, m_strTabDistributed);
    if (m_pageDistributed.Create(m_hWnd)) PlacePage(m_pageDistributed);
    ::SetWindowTextA(m_hWnd, LoadResString(IDS_TITLE_PRIMARY).c_str());
  } else if (m_nRole == RoleDistributed) {
    m_tab.InsertItem(1, m_strTabPrimary);
    if (m_pagePrimary.Create(m_hWnd)) PlacePage(m_pagePrimary);
    ::SetWindowTextA(m_hWnd, LoadResString(IDS_TITLE_DISTRIBUTED).c_str());
  }

  m_tab.SetCurSel(0);
  ShowControl(m_listProducts.GetSafeHwnd());
  FillProducts();
  return FALSE;  // the focus is on the products list
}

void CServerPropertiesDlg::InitProductColumns() {
  RECT r = m_listProducts.GetWindowRect();
  const int w = r.right - r.left;
  m_listProducts.InsertColumn(0, LoadResString(IDS_COL_PRODUCT), LVCFMT_LEFT, w / 2);
  // The fixed widths are for 96 DPI; text grows with the DPI, and so do they.
  const int version = kv::ScaleToDpi(kVersionColumnWidth), build = kv::ScaleToDpi(kBuildColumnWidth);
  m_listProducts.InsertColumn(1, LoadResString(IDS_COL_VERSION), LVCFMT_LEFT, version);
  m_listProducts.InsertColumn(2, LoadResString(IDS_COL_BUILD), LVCFMT_LEFT, build);
  m_listProducts.InsertColumn(3, LoadResString(IDS_COL_DESCRIPTION), LVCFMT_LEFT,
                              w / 2 - (version + build + kv::ScaleToDpi(4)));
}

void CServerPropertiesDlg::FillProducts() {
  m_listProducts.DeleteAllItems();
  CProductList list;
  if (list.Open(m_strServerName.c_str()) != 0) return;
  for (DWORD index = 0; index < kMaxProductIndex; ++index) {
    ProductEntry entry{};
    if (::NextProductEntry(list.Get(), index, &entry) != 0) break;
    const int code = static_cast<int>(entry.productCode);
    char name[kNameChars + 1] = {};
    if (LOWORD(::GetProductName(code, name, entry.value, entry.version)) == 0) name[0] = '\0';
    const int row = m_listProducts.InsertItem(static_cast<int>(index), kv::FixedField(name, kNameChars));
    if (row < 0) continue;
    m_listProducts.EnsureVisible(row);
    m_listProducts.SetItemText(row, 1, kv::Format("%u.%u", (entry.version >> 8) & 0xFF, entry.version & 0xFF));
    m_listProducts.SetItemText(row, 2, kv::Format("%u", entry.version >> 16));
    char description[kDescriptionChars + 1] = {};
    ::GetProductDescription(code, description, entry.value, entry.version, entry.data);
    m_listProducts.SetItemText(row, 3, kv::FixedField(description, kDescriptionChars));
  }
  m_listProducts.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
}

void CServerPropertiesDlg::PlacePage(CServerPage& page) {
  RECT place{};
  ::GetWindowRect(GetDlgItem(IDC_PAGE_FRAME), &place);
  ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&place), 2);
  ::MoveWindow(page.GetSafeHwnd(), place.left, place.top, place.right - place.left, place.bottom - place.top, TRUE);
}

CServerPage& CServerPropertiesDlg::RolePage() {
  if (m_nRole == RolePrimary) return m_pageDistributed;
  return m_pagePrimary;
}

void CServerPropertiesDlg::ShowControl(HWND control) {
  ::ShowWindow(control, SW_SHOW);
  ::BringWindowToTop(control);
  ::InvalidateRect(control, nullptr, TRUE);
  ::SetFocus(control);
}

LRESULT CServerPropertiesDlg::OnTabChange(NMHDR*) {
  CServerPage& page = RolePage();
  if (m_tab.GetCurSel() == 0) {
    if (page.GetSafeHwnd()) ::ShowWindow(page.GetSafeHwnd(), SW_HIDE);
    ShowControl(m_listProducts.GetSafeHwnd());
    return 0;
  }
  if (!page.GetSafeHwnd()) return 0;
  m_listProducts.ShowWindow(SW_HIDE);
  ShowControl(page.GetSafeHwnd());
  BOOL& filled = m_nRole == RolePrimary ? m_bDistributedFilled : m_bPrimaryFilled;
  if (!filled) {
    // Set first: the fill may run a nested message loop (credentials,
    // failure boxes), and a second selection meanwhile must not fill again.
    filled = TRUE;
    page.Fill();
  }
  return 0;
}

LRESULT CServerPropertiesDlg::OnShortcut(WPARAM index, LPARAM) { return kv::RunShortcut(this, kShortcuts, index); }

void CServerPropertiesDlg::OnNextTab() { StepTab(1); }
void CServerPropertiesDlg::OnPreviousTab() { StepTab(-1); }

// What a click on the tab does: select it, then show its page.
void CServerPropertiesDlg::StepTab(int step) {
  const int count = m_tab.GetItemCount();
  if (count < 2) return;
  m_tab.SetCurSel((m_tab.GetCurSel() + step + count) % count);
  OnTabChange(nullptr);
}

LRESULT CServerPropertiesDlg::OnDestroy(WPARAM, LPARAM) {
  m_shortcuts.Detach();
  return 0;
}

void CServerPropertiesDlg::OnHelp() { ShowHelpTopic(m_hWnd); }

LRESULT CServerPropertiesDlg::OnHelpKey(WPARAM, LPARAM) {
  PassHelpKeyToMainWindow();
  return TRUE;
}
